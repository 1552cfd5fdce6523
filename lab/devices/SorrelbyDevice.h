// "sorrelby": an invented router with a challenge-response login and a JSON interface. The page at
// / is a script application; its script asks /api/challenge?user=NAME for a nonce, the user's salt
// and an iteration count, and answers /api/login with
// HMAC-SHA256(PBKDF2-HMAC-SHA256(password, salt, iterations, 32 bytes), nonce) in hex. A login
// gets a session cookie and a token that every later request carries in X-Sorrelby-Token; one
// administrator at a time (another login is answered "busy"); three failed logins lock logins for
// five minutes. Settings are JSON (/api/status, /api/wireless); a wireless change posts every
// member (channel and hidden flag included) and restarts the radio (option "restartMs", 3000
// unless set), which ends the session; a password change proves the current password over a fresh
// nonce and ends every session. Posts must come from the device's own page (Origin).
#pragma once

#include <map>
#include <random>
#include <set>

#include "lab/devices/EmulatedDevice.h"

namespace krzlab {

class SorrelbyDevice final : public EmulatedDevice {
  public:
    explicit SorrelbyDevice(const DeviceSpec& profile);
    ~SorrelbyDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    void onReboot() override;

  private:
    struct Session {
        std::string cookie, token;
    };
    HttpReply reply(int status, const std::string& body) const;
    HttpReply startPage() const;
    HttpReply challenge(const std::string& user);
    HttpReply login(const std::string& body);
    HttpReply applyWireless(const std::string& body);
    HttpReply applyAdmin(const std::string& body);
    // Whether the request carries the session's cookie and token.
    bool inSession(const HttpRequest& request) const;
    // The proof a browser computes for `password` over `nonce` (the caller holds the lock).
    std::string proof(const std::string& password, const std::string& nonce) const;
    // Whether `nonce` was given out and not used yet; it is used up either way.
    bool takeNonce(const std::string& nonce);
    std::string randomHex(int bytes);

    std::string salt_;
    int iterations_;
    int restartMs_;
    std::set<std::string> nonces_;
    Session session_;  // one administrator at a time; empty cookie: nobody logged in
    int failures_ = 0;
    std::chrono::steady_clock::time_point lockedUntil_;
    std::string channel_ = "6", hidden_ = "0";
    std::mt19937 random_;
};

}  // namespace krzlab
