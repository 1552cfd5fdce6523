// Corvid routers (CV-10, CV-20): one password and no user name (Basic authentication ignores the
// name), HTTP/1.0 pages read to the close, a status page without a status line, the wireless
// form submitted as a GET, and a password form that wants the current password.
#pragma once

#include "KRZPSampleConfigurator.h"

class KRZPCorvidConfigurator : public KRZPSampleConfigurator {
  public:
    KRZPCorvidConfigurator(const std::string& modelName, const in_addr& address,
                           const KRZMacAddress& mac);
    KRZPCorvidConfigurator(const std::string& modelName, std::vector<KRZMacAddress> macs,
                           const std::string& userName, const std::string& pass);

  private:
    void _retrieveAttributes() override;
    bool _completeConfiguration() override;
    std::string getValidPasswordChars() const override;

    void writeWireless() override;
    void writeCredentials() override;
};
