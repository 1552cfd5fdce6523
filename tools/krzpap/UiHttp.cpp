#include "UiHttp.h"

#include "UiAssets.h"
#include "krzlisten/krzlisten.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <thread>

namespace krzpap {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

const char* const kTokenHeader = "X-Krzpap-Token";

// The page's requests are small; a longer body, chunked or not, is refused unread.
constexpr size_t kBodyLimit = 64 * 1024;
// A whole request, from the first byte (or the end of the last answer) to its last, must come in
// this time, so that a slow or silent connection holds its place only so long.
constexpr auto kRequestTime = std::chrono::seconds(5);
constexpr auto kLongRequestTime = std::chrono::seconds(120);
// A connection is answered only while fewer than this many are open; the others are closed.
constexpr int kMaxConnections = 32;
// What is read and dropped after a refusal that ends the connection, so the answer is not lost to
// a reset while the client still sends.
constexpr size_t kDrainLimit = 1024 * 1024;

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

// The value of `name` in a list of `name=value` items separated by `separator`; nullopt when
// absent. Values are compared as sent: an encoded secret is not the secret.
std::optional<std::string> itemValue(const std::string& list, char separator,
                                     const std::string& name) {
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(separator, at);
        std::string part = list.substr(at, end == std::string::npos ? end : end - at);
        size_t start = part.find_first_not_of(' ');
        if (start != std::string::npos && part.compare(start, name.size() + 1, name + "=") == 0)
            return part.substr(start + name.size() + 1);
        if (start != std::string::npos && part.substr(start) == name)
            return std::string();
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return std::nullopt;
}

std::string header(const Request& req, beast::string_view name) {
    return std::string(req[name]);
}

}  // namespace

struct UiHttp::State {
    // Before the io_context: sessions count themselves out while it destroys them.
    int connections = 0;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptPause{io};
    std::thread listener;
    std::map<std::string, Handler> gets;
    std::map<std::string, Handler> posts;
    std::map<std::string, size_t> longPosts;  // the few that take more than kBodyLimit
    size_t longestBody = kBodyLimit;
    std::string host;
    std::string origin;
    // Cookies ignore ports: each server's cookie names its port, so that two servers in one
    // browser keep their sessions apart.
    std::string cookieName;
    const std::string secret = randomHex(16);
    const std::string session = randomHex(16);
    const std::string token = randomHex(16);
    bool secretSpent = false;  // the server's thread only
    std::function<void()> onSpent;

    class Session;
    void accept();
    Response answer(const Request& req);
    bool refused(const Request& req, const std::string& path, const std::string& query,
                 Response& res);
    void serveAsset(const std::string& path, Response& res);
};

namespace {

// Every answer forbids caching, referrers, framing and anything but the page's own files.
Response guarded(unsigned status, unsigned version) {
    Response res{static_cast<http::status>(status), version};
    res.set("Content-Security-Policy",
            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
            "connect-src 'self'; form-action 'none'; base-uri 'none'; frame-ancestors 'none'");
    res.set("Referrer-Policy", "no-referrer");
    res.set(http::field::cache_control, "no-store");
    res.set("X-Content-Type-Options", "nosniff");
    res.set("X-Frame-Options", "DENY");
    return res;
}

void refuse(Response& res, unsigned status, const std::string& why) {
    res.result(status);
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.body() = why + "\n";
}

}  // namespace

// One connection: requests read one at a time, each answered before the next is read.
class UiHttp::State::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, State& state) : stream_(std::move(socket)), state_(state) {
        ++state_.connections;
    }
    ~Session() { --state_.connections; }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void read() {
        parser_.emplace();
        // The header is checked against the longest bound any route takes (the parser refuses a
        // longer Content-Length at once), the body against its own route's.
        parser_->body_limit(state_.longestBody);
        stream_.expires_after(kRequestTime);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->onHeader(ec); });
    }

  private:
    // A long body is read only for a route that takes one, and only once the header passed
    // every check; its bound holds for the body as decoded, chunked or not.
    void onHeader(beast::error_code ec) {
        if (ec)
            return onRead(ec);
        const Request& req = parser_->get();
        const std::string target(req.target());
        const std::string path = target.substr(0, target.find('?'));
        auto longPost = state_.longPosts.find(path);
        const bool isLong = req.method() == http::verb::post && longPost != state_.longPosts.end();
        const size_t limit = isLong ? longPost->second : kBodyLimit;
        if (parser_->content_length() && *parser_->content_length() > limit)
            return refuseAndClose(413, "refused: the request is too long");
        parser_->body_limit(limit);
        if (isLong) {
            Response res = guarded(200, req.version());
            const size_t mark = target.find('?');
            if (state_.refused(req, path, mark == std::string::npos ? "" : target.substr(mark + 1),
                               res)) {
                res.keep_alive(false);
                return send(std::move(res), true);
            }
            stream_.expires_after(kLongRequestTime);
        }
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code read, size_t) { self->onRead(read); });
    }

    void onRead(beast::error_code ec) {
        if (ec == http::error::body_limit)
            return refuseAndClose(413, "refused: the request is too long");
        if (ec == http::error::header_limit)
            return refuseAndClose(431, "refused: the request's header is too long");
        if (ec && ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
            ec != http::error::end_of_stream)
            return refuseAndClose(400, "refused: not an HTTP request");
        if (ec)
            return;  // closed, reset or too slow: the connection ends here
        const Request& req = parser_->get();
        Response res = state_.answer(req);
        res.keep_alive(req.keep_alive());
        send(std::move(res), !req.keep_alive());
    }

    void refuseAndClose(unsigned status, const std::string& why) {
        Response res = guarded(status, 11);
        refuse(res, status, why);
        res.keep_alive(false);
        send(std::move(res), true);
    }

    void send(Response res, bool close) {
        response_.emplace(std::move(res));
        if (!response_->has_content_length() && !response_->chunked())
            response_->prepare_payload();
        stream_.expires_after(kRequestTime);
        http::async_write(stream_, *response_,
                          [self = shared_from_this(), close](beast::error_code ec, size_t) {
                              if (ec)
                                  return;
                              if (close)
                                  self->finish();
                              else
                                  self->read();
                          });
    }

    // Ends the connection after its answer; what the client still sends is read and dropped for
    // a moment, so the answer is not lost to a reset.
    void finish() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(std::chrono::seconds(1));
        drain();
    }

    void drain() {
        stream_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](beast::error_code ec, size_t n) {
                                    self->drained_ += n;
                                    if (!ec && self->drained_ < kDrainLimit)
                                        self->drain();
                                });
    }

    beast::tcp_stream stream_;
    State& state_;
    beast::flat_buffer buffer_{8192};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<Response> response_;
    char scratch_[4096];
    size_t drained_ = 0;
};

void UiHttp::State::accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors or the like: try again a moment later, not in a busy loop.
            acceptPause.expires_after(std::chrono::milliseconds(100));
            acceptPause.async_wait([this](beast::error_code waited) {
                if (!waited)
                    accept();
            });
            return;
        }
        if (connections < kMaxConnections)
            std::make_shared<Session>(std::move(socket), *this)->read();
        accept();  // a socket past the limit closes as it goes out of scope
    });
}

// The checks every request passes before it is routed; true when it was refused (or answered).
bool UiHttp::State::refused(const Request& req, const std::string& path, const std::string& query,
                            Response& res) {
    if (header(req, "Host") != host) {
        refuse(res, 403, "refused: this server answers only to " + host);
        return true;
    }
    if (std::optional<std::string> offered = itemValue(query, '&', "secret")) {
        // The secret opens the page once; after that, or on any other request, it is refused.
        bool first = req.method() == http::verb::get && path == "/" &&
                     sameSecret(*offered, secret) && !secretSpent;
        if (!first) {
            refuse(res, 403, "refused: this address has been used; start krzpap ui again");
            return true;
        }
        secretSpent = true;
        if (onSpent)
            onSpent();
        res.set(http::field::set_cookie,
                cookieName + "=" + session + "; Path=/; HttpOnly; SameSite=Strict");
        // Off the address bar and the history at once. The token rides in the fragment, which
        // the browser never sends again: the page keeps it in its origin's storage (port
        // included), so another server on 127.0.0.1 that the browser sends the cookie to cannot
        // get the token with it.
        res.result(http::status::see_other);
        res.set(http::field::location, "/#" + token);
        return true;
    }
    if (!sameSecret(itemValue(header(req, "Cookie"), ';', cookieName).value_or(""), session)) {
        refuse(res, 403,
               "refused: open the address that krzpap ui printed (it works once); start krzpap "
               "ui again for a new one");
        return true;
    }
    const bool change = req.method() != http::verb::get && req.method() != http::verb::head;
    if (change && header(req, "Origin") != origin) {
        refuse(res, 403, "refused: a change must come from the page itself");
        return true;
    }
    // The page's files are the same for everyone; what it asks and is told needs its token.
    if ((change || path.rfind("/api/", 0) == 0) && !sameSecret(header(req, kTokenHeader), token)) {
        refuse(res, 403, "refused: only the page itself may ask this");
        return true;
    }
    return false;
}

void UiHttp::State::serveAsset(const std::string& path, Response& res) {
    const UiAsset* asset = findUiAsset(path);
    if (asset == nullptr) {
        refuse(res, 404, "not found");
        return;
    }
    res.set(http::field::content_type, asset->type);
    res.body().assign(reinterpret_cast<const char*>(asset->data), asset->size);
}

Response UiHttp::State::answer(const Request& req) {
    Response res = guarded(200, req.version());
    const std::string target(req.target());
    const size_t mark = target.find('?');
    const std::string path = target.substr(0, mark);
    const std::string query = mark == std::string::npos ? "" : target.substr(mark + 1);
    if (refused(req, path, query, res))
        return res;
    const bool get = req.method() == http::verb::get || req.method() == http::verb::head;
    const auto& routes = get ? gets : posts;
    auto route = routes.find(path);
    if (route != routes.end() && (get || req.method() == http::verb::post)) {
        int status = 200;
        std::string json;
        try {
            route->second(req.body(), status, json);
        } catch (const std::exception&) {
            refuse(res, 500, "the server failed on this request");
            return res;
        }
        res.result(static_cast<unsigned>(status));
        res.set(http::field::content_type, "application/json");
        res.body() = std::move(json);
    } else if (get) {
        serveAsset(path, res);
    } else {
        refuse(res, 404, "not found");
    }
    if (req.method() == http::verb::head) {
        res.content_length(res.body().size());
        res.body().clear();
    }
    return res;
}

UiHttp::UiHttp() : state_(std::make_unique<State>()) {}

UiHttp::~UiHttp() {
    stop();
}

void UiHttp::get(const std::string& path, Handler handler) {
    state_->gets[path] = std::move(handler);
}

void UiHttp::post(const std::string& path, Handler handler, size_t bodyLimit) {
    state_->posts[path] = std::move(handler);
    if (bodyLimit > 0) {
        state_->longPosts[path] = bodyLimit;
        state_->longestBody = std::max(state_->longestBody, bodyLimit);
    }
}

void UiHttp::onSecretSpent(std::function<void()> action) {
    state_->onSpent = std::move(action);
}

int UiHttp::bind(int port) {
    tcp::acceptor& acceptor = state_->acceptor;
    const tcp::endpoint at(asio::ip::make_address_v4("127.0.0.1"),
                           static_cast<unsigned short>(port));
    beast::error_code ec;
    acceptor.open(at.protocol(), ec);
    if (ec)
        return 0;
    if (!krzlisten::guardListener(static_cast<std::uintptr_t>(acceptor.native_handle())))
        ec = asio::error::access_denied;
    if (!ec)
        acceptor.bind(at, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        acceptor.close(ec);
        return 0;
    }
    port = acceptor.local_endpoint().port();
    state_->host = "127.0.0.1:" + std::to_string(port);
    state_->origin = "http://" + state_->host;
    state_->cookieName = "krzpap_" + std::to_string(port);
    return port;
}

std::string UiHttp::url() const {
    return state_->origin + "/?secret=" + state_->secret;
}

void UiHttp::start() {
    State* state = state_.get();
    state->accept();
    state->listener = std::thread([state] { state->io.run(); });
}

void UiHttp::stop() {
    state_->io.stop();
    if (state_->listener.joinable())
        state_->listener.join();
}

}  // namespace krzpap
