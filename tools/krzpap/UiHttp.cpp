#include "UiHttp.h"

#include "UiAssets.h"

#include <httplib.h>

#include <atomic>
#include <random>
#include <thread>

namespace krzpap {

namespace {

const char* const kCookieName = "krzpap_session";
const char* const kTokenHeader = "X-Krzpap-Token";
const char* const kTokenMark = "__KRZPAP_TOKEN__";

std::string randomHex(size_t bytes) {
    static const char* const kHex = "0123456789abcdef";
    std::random_device source;  // the system's random source, not a seeded generator
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        unsigned value = source() & 0xFFu;
        out += kHex[value >> 4];
        out += kHex[value & 15];
    }
    return out;
}

// Compares in a time that does not tell where the texts differ.
bool sameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string cookieValue(const std::string& header, const std::string& name) {
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find(';', at);
        std::string part = header.substr(at, end == std::string::npos ? end : end - at);
        size_t start = part.find_first_not_of(' ');
        if (start != std::string::npos && part.compare(start, name.size() + 1, name + "=") == 0)
            return part.substr(start + name.size() + 1);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return std::string();
}

void refuse(httplib::Response& res, int status, const std::string& why) {
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
}

}  // namespace

struct UiHttp::State {
    httplib::Server server;
    std::thread listener;
    int port = 0;
    std::string host;
    std::string origin;
    const std::string secret = randomHex(16);
    const std::string session = randomHex(16);
    const std::string token = randomHex(16);
    std::atomic<bool> secretSpent{false};
    std::function<void()> onSpent;

    bool refused(const httplib::Request& req, httplib::Response& res);
    void serveAsset(const httplib::Request& req, httplib::Response& res);
};

// The checks every request passes before it is routed; true when it was refused (or answered).
bool UiHttp::State::refused(const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Host") != host) {
        refuse(res, 403, "refused: this server answers only to " + host);
        return true;
    }
    if (req.has_param("secret")) {
        // The secret opens the page once; after that, or on any other request, it is refused.
        bool first = req.method == "GET" && req.path == "/" &&
                     sameSecret(req.get_param_value("secret"), secret) &&
                     !secretSpent.exchange(true);
        if (!first) {
            refuse(res, 403, "refused: this address has been used; start krzpap ui again");
            return true;
        }
        if (onSpent)
            onSpent();
        res.set_header("Set-Cookie", std::string(kCookieName) + "=" + session +
                                         "; Path=/; HttpOnly; SameSite=Strict");
        // Off the address bar and the history at once.
        res.status = 303;
        res.set_header("Location", "/");
        return true;
    }
    if (!sameSecret(cookieValue(req.get_header_value("Cookie"), kCookieName), session)) {
        refuse(res, 403,
               "refused: open the address that krzpap ui printed (it works once); start krzpap "
               "ui again for a new one");
        return true;
    }
    if (req.method != "GET" && req.method != "HEAD" &&
        (req.get_header_value("Origin") != origin ||
         !sameSecret(req.get_header_value(kTokenHeader), token))) {
        refuse(res, 403, "refused: a change must come from the page itself");
        return true;
    }
    return false;
}

void UiHttp::State::serveAsset(const httplib::Request& req, httplib::Response& res) {
    const UiAsset* asset = findUiAsset(req.path);
    if (asset == nullptr) {
        refuse(res, 404, "not found");
        return;
    }
    std::string content(reinterpret_cast<const char*>(asset->data), asset->size);
    size_t at = content.find(kTokenMark);
    if (at != std::string::npos)
        content.replace(at, std::string(kTokenMark).size(), token);
    res.set_content(content, asset->type);
}

UiHttp::UiHttp() : state_(std::make_unique<State>()) {
    httplib::Server& server = state_->server;
    server.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
         "connect-src 'self'; form-action 'none'; base-uri 'none'; frame-ancestors 'none'"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
    });
    server.set_payload_max_length(64 * 1024);
    // Short, so that a stop is not held up by an idle connection.
    server.set_keep_alive_timeout(1);
    State* state = state_.get();
    server.set_pre_routing_handler([state](const httplib::Request& req, httplib::Response& res) {
        return state->refused(req, res) ? httplib::Server::HandlerResponse::Handled
                                        : httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get(R"(/[a-z]*(\.[a-z]+)?)",
               [state](const httplib::Request& req, httplib::Response& res) {
                   state->serveAsset(req, res);
               });
}

UiHttp::~UiHttp() {
    stop();
}

namespace {

httplib::Server::Handler adapt(UiHttp::Handler handler) {
    return [handler](const httplib::Request& req, httplib::Response& res) {
        int status = 200;
        std::string json;
        handler(req.body, status, json);
        res.status = status;
        res.set_content(json, "application/json");
    };
}

}  // namespace

void UiHttp::get(const std::string& path, Handler handler) {
    state_->server.Get(path, adapt(std::move(handler)));
}

void UiHttp::post(const std::string& path, Handler handler) {
    state_->server.Post(path, adapt(std::move(handler)));
}

void UiHttp::onSecretSpent(std::function<void()> action) {
    state_->onSpent = std::move(action);
}

int UiHttp::bind(int port) {
    const std::string address = "127.0.0.1";
    if (port == 0)
        port = state_->server.bind_to_any_port(address);
    else if (!state_->server.bind_to_port(address, port))
        port = 0;
    if (port <= 0)
        return 0;
    state_->port = port;
    state_->host = address + ":" + std::to_string(port);
    state_->origin = "http://" + state_->host;
    return port;
}

std::string UiHttp::url() const {
    return state_->origin + "/?secret=" + state_->secret;
}

void UiHttp::start() {
    State* state = state_.get();
    state_->listener = std::thread([state] { state->server.listen_after_bind(); });
}

void UiHttp::stop() {
    state_->server.stop();
    if (state_->listener.joinable())
        state_->listener.join();
}

}  // namespace krzpap
