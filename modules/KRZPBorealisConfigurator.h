// Borealis routers (BR-5400): a login form that sets a session cookie, settings in JavaScript
// string literals, multipart forms, and a restart after every wireless change that drops the
// connection and the session.
#pragma once

#include "KRZPSampleConfigurator.h"

class KRZPBorealisConfigurator : public KRZPSampleConfigurator {
  public:
    KRZPBorealisConfigurator(const std::string& modelName, const in_addr& address,
                             const KRZMacAddress& mac);
    KRZPBorealisConfigurator(const std::string& modelName, std::vector<KRZMacAddress> macs,
                             const std::string& userName, const std::string& pass);

  private:
    bool _testLogin() override;
    void _retrieveAttributes() override;
    bool _completeConfiguration() override;
    std::string getValidUsernameChars() const override;

    // Posts the login form; keeps the session cookie and returns true when it is accepted.
    bool login();
    void requireLogin();
    // Runs `work` and then ends the session, however `work` ended, so that the owner's own
    // browser session is not taken over longer than needed.
    template <typename Work>
    auto inSession(Work work) -> decltype(work());
    // A page of the session; logs in again once when the session has been lost.
    std::string sessionPage(const std::string& url);
    void writeCredentials() override;
    void writeWireless() override;
};
