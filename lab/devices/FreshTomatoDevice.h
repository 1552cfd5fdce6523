// "freshtomato": the open firmware's web administration as its published sources show it. HTTP
// Basic on every page, the realm being the router's name (option "routerName"); each page carries
// its settings in one script object `nvram = {...}`, among them the page id `http_id` that every
// post to tomato.cgi sends back as `_http_id` (a wrong or missing one: the connection closes with
// no reply at all). A post sets the settings it names and keeps the rest; `_ajax=1` answers
// "@msg:Settings saved."; `_service=*` restarts every service, the web server too (away for
// restartMs, 10000 unless set); the page id lives in nvram and changes only with a factory reset.
#pragma once

#include <random>
#include <string>

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

class FreshTomatoDevice final : public EmulatedDevice {
  public:
    explicit FreshTomatoDevice(const DeviceSpec& profile);
    ~FreshTomatoDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    // A factory reset clears nvram: the web server makes a new page id when it starts.
    void resetExtras() override { httpId_ = newHttpId(); }

  private:
    std::string newHttpId();
    HttpReply reply(int status, const std::string& body, const char* type = "text/html") const;
    HttpReply unauthorized() const;
    // A page of ours: `title` after the router's name, the nvram object, and `content`.
    HttpReply page(const std::string& title, const std::string& nvram,
                   const std::string& content) const;
    HttpReply statusPage() const;
    HttpReply networkPage() const;
    HttpReply accessPage() const;
    HttpReply save(const FormFields& form);
    // Applies the posted wireless and password fields; "" when done, else the field refused.
    std::string applyFields(const FormFields& form);

    std::string routerName_;
    std::string httpId_;  // under mutex_
    std::mt19937 random_;
};

}  // namespace krzlab
