// The HTTP side of krzpap ui, kept in a unit of its own: the server library's system headers and
// the library's own socket declarations cannot meet in one unit.
//
// It serves the page's built-in files and the routes the host adds, on 127.0.0.1 only, to whoever
// holds the one-time secret: the secret is exchanged once for an HttpOnly, SameSite=Strict cookie
// named after the port, and the page's token is handed over in that one redirect's fragment;
// every request needs the cookie and a Host naming the address it listens on (against DNS
// rebinding); every API request also needs the token, and every request that is not GET the
// page's Origin (against other pages and other local servers the browser sends the cookie to).
// Every answer forbids caching, referrers, framing and anything but the page's own files.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace krzpap {

class UiHttp {
  public:
    // The request's body in; the status, JSON answer out.
    using Handler = std::function<void(const std::string& body, int& status, std::string& json)>;

    UiHttp();
    ~UiHttp();
    UiHttp(const UiHttp&) = delete;
    UiHttp& operator=(const UiHttp&) = delete;

    void get(const std::string& path, Handler handler);
    // `bodyLimit`: for the one route that takes a file; 0 for the page's usual 64 KiB.
    void post(const std::string& path, Handler handler, size_t bodyLimit = 0);
    // Called once, when the secret has been exchanged for the cookie.
    void onSecretSpent(std::function<void()> action);
    // Binds 127.0.0.1:port (0: a free port); the port, or 0 when it cannot.
    int bind(int port);
    // The address to open, with the secret.
    std::string url() const;
    // Serves on a thread of its own until stop().
    void start();
    void stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace krzpap
