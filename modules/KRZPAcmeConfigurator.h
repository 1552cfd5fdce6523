// Acme access points (AP-100, AP-200): Basic authentication, a status page, and two forms
// (wireless, administrator) that each carry a one-time token and answer a saved change with a
// confirmation line.
#pragma once

#include "KRZPSampleConfigurator.h"

class KRZPAcmeConfigurator : public KRZPSampleConfigurator {
  public:
    KRZPAcmeConfigurator(const std::string& modelName, const in_addr& address,
                         const KRZMacAddress& mac);
    KRZPAcmeConfigurator(const std::string& modelName, std::vector<KRZMacAddress> macs,
                         const std::string& userName, const std::string& pass);

  private:
    void _retrieveAttributes() override;
    bool _completeConfiguration() override;
    std::string getValidUsernameChars() const override;

    void writeWireless() override;
    void writeCredentials() override;
};
