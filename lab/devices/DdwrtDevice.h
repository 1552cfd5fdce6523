// "ddwrt": the open firmware whose web server checks HTTP Basic credentials on every page but its
// status page (Info.htm, also served for "/"), with the router's name (option "routerName",
// "DD-WRT" unless set) as the realm (option "infoPassword" "1": the status page asks too) and in
// every title. A request whose Referer names another host, or a POST without a Referer, is 400
// "Cross Site Action detected!". Pages are forms posting to apply.cgi with submit_button naming the
// page and action Apply (saved) or ApplyTake (saved and the services restarted: the server is away
// for the restart time, option "restartMs" or the profile's, 10 s unless set); a field left out of
// a post keeps its value, and the administrator's fields show a placeholder that keeps the value
// when posted back. Five refused logins in a row block the client: its connections close without a
// reply (lab profile's lockoutAfter overrides five).
#pragma once

#include <string>

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

class DdwrtDevice final : public EmulatedDevice {
  public:
    explicit DdwrtDevice(const DeviceSpec& profile);
    ~DdwrtDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    void resetExtras() override { failuresInARow_ = 0; }

  private:
    // Whether the request fails the firmware's cross-site check.
    static bool crossSite(const HttpRequest& request);
    // Whether the request carries the administrator's credentials; counts refusals.
    bool authorized(const HttpRequest& request);
    HttpReply apply(const FormFields& form);
    // mutex_ held for the pages.
    HttpReply page(const std::string& name, const std::string& title,
                   const std::string& content) const;
    HttpReply infoPage() const;
    HttpReply wirelessBasic(const std::string& note) const;
    HttpReply wirelessSecurity(const std::string& note) const;
    HttpReply management(const std::string& note) const;
    HttpReply error(int status, const std::string& reason, const std::string& text,
                    const std::string& authenticate = "") const;
    std::string build() const;

    std::string routerName_;
    bool infoPassword_ = false;
    int lockoutAfter_ = 5;
    int failuresInARow_ = 0;  // under mutex_
};

}  // namespace krzlab
