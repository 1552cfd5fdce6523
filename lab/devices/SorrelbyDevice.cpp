#include "lab/devices/SorrelbyDevice.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>

#include "krzutil/KRZCryptoUtil.h"
#include "lab/devices/FormCoding.h"
#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

using nlohmann::json;

const char kCookieName[] = "srb_session";
const char kTokenHeader[] = "X-Sorrelby-Token";
constexpr int kDefaultRestartMs = 3000;
constexpr int kDefaultIterations = 1000;
constexpr int kLockAfter = 3;
constexpr std::size_t kMaxNonces = 16;
const std::chrono::minutes kLockFor(5);

const char* const kSecurity[][2] = {{"none", "open"},
                                    {"wep", "wep"},
                                    {"wpa-psk", "wpa"},
                                    {"wpa2-psk", "wpa2"},
                                    {"wpa-wpa2-psk", "wpa-mixed"}};
const char* const kCipher[][2] = {{"none", "none"}, {"wep64", "wep64"}, {"wep128", "wep128"},
                                  {"tkip", "tkip"}, {"aes", "aes"},     {"tkip-aes", "tkip+aes"}};

// A member of a JSON object that must be a string; false when it is missing or not one.
bool member(const json& body, const char* name, std::string& value) {
    if (!body.is_object() || !body.contains(name) || !body[name].is_string())
        return false;
    value = body[name].get<std::string>();
    return true;
}

std::string queryValue(const std::string& query, const std::string& name) {
    FormFields fields = parseUrlEncoded(query);
    return formField(fields, name.c_str());
}

// The page's application, in the project's words: the login as the interface wants it (the
// challenge, PBKDF2 and HMAC by the browser's Web Crypto, the proof posted as JSON), the token
// kept for the tab and sent in X-Sorrelby-Token, and the wireless settings read and posted whole.
const char kAppJs[] = R"JS(var app = {
  token: sessionStorage.getItem('sorrelby-token'),
  hex: function (buffer) {
    return Array.from(new Uint8Array(buffer), function (b) {
      return ('0' + b.toString(16)).slice(-2);
    }).join('');
  },
  proof: async function (password, salt, iterations, nonce) {
    var text = new TextEncoder();
    var base = await crypto.subtle.importKey('raw', text.encode(password), 'PBKDF2', false,
                                             ['deriveBits']);
    var bits = await crypto.subtle.deriveBits(
        {name: 'PBKDF2', hash: 'SHA-256', salt: text.encode(salt), iterations: iterations},
        base, 256);
    var key = await crypto.subtle.importKey('raw', bits, {name: 'HMAC', hash: 'SHA-256'}, false,
                                            ['sign']);
    return app.hex(await crypto.subtle.sign('HMAC', key, text.encode(nonce)));
  },
  call: async function (path, body) {
    var options = {headers: {}};
    if (app.token) options.headers['X-Sorrelby-Token'] = app.token;
    if (body !== undefined) {
      options.method = 'POST';
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    var answer = await fetch(path, options);
    return {status: answer.status, json: await answer.json()};
  },
  say: function (text) { document.getElementById('note').textContent = text; },
  login: async function (form) {
    var user = form.user.value;
    var c = await app.call('/api/challenge?user=' + encodeURIComponent(user));
    var proof = await app.proof(form.password.value, c.json.salt, c.json.iterations, c.json.nonce);
    var r = await app.call('/api/login', {user: user, nonce: c.json.nonce, proof: proof});
    if (r.status != 200) return app.say(r.json.message || 'Wrong user name or password.');
    sessionStorage.setItem('sorrelby-token', r.json.token);
    location.href = '/wireless.html';
  },
  save: async function (form, held) {
    var posted = Object.assign({}, held, {ssid: form.ssid.value, passphrase: form.passphrase.value});
    var r = await app.call('/api/wireless', posted);
    app.say(r.status == 202 ? 'Saved. The radio restarts now.' : 'Not saved: ' + r.json.error);
  },
  show: async function () {
    var root = document.getElementById('app');
    if (!app.token || location.pathname == '/') {
      root.innerHTML = '<form id="login"><label>User <input name="user"></label> ' +
          '<label>Password <input name="password" type="password"></label> ' +
          '<button>Log in</button></form><p id="note"></p>';
      root.querySelector('form').onsubmit = function (e) { e.preventDefault(); app.login(this); };
      return;
    }
    var r = await app.call('/api/wireless');
    if (r.status != 200) { sessionStorage.removeItem('sorrelby-token'); location.href = '/'; return; }
    root.innerHTML = '<form id="wireless"><label>Network name <input name="ssid"></label> ' +
        '<label>Passphrase <input name="passphrase" type="password"></label> ' +
        '<button>Save</button></form><p id="note"></p>';
    var form = root.querySelector('form');
    form.ssid.value = r.json.ssid;
    form.passphrase.value = r.json.passphrase;
    form.onsubmit = function (e) { e.preventDefault(); app.save(this, r.json); };
  }
};
document.addEventListener('DOMContentLoaded', app.show);
)JS";

}  // namespace

SorrelbyDevice::SorrelbyDevice(const DeviceSpec& profile)
    : EmulatedDevice(profile), random_(std::random_device{}()) {
    auto restart = profile.options.find("restartMs");
    restartMs_ =
        restart == profile.options.end() ? kDefaultRestartMs : std::atoi(restart->second.c_str());
    setRestartDelay(restartMs_);
    auto iterations = profile.options.find("iterations");
    iterations_ = iterations == profile.options.end() ? kDefaultIterations
                                                      : std::atoi(iterations->second.c_str());
    if (iterations_ < 1 || iterations_ > 1000000)
        throw std::invalid_argument("sorrelby: iterations from 1 to 1000000");
    salt_ = randomHex(8);
}

SorrelbyDevice::~SorrelbyDevice() {
    stop();
}

void SorrelbyDevice::onReboot() {
    session_ = Session();
    nonces_.clear();
}

std::string SorrelbyDevice::randomHex(int bytes) {
    std::string out;
    char two[3];
    for (int i = 0; i < bytes; ++i) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(random_() & 0xFF));
        out += two;
    }
    return out;
}

HttpReply SorrelbyDevice::reply(int status, const std::string& body) const {
    HttpReply out;
    out.status = status;
    out.reason = status == 200   ? "OK"
                 : status == 202 ? "Accepted"
                 : status == 400 ? "Bad Request"
                 : status == 401 ? "Unauthorized"
                 : status == 403 ? "Forbidden"
                 : status == 404 ? "Not Found"
                 : status == 409 ? "Conflict"
                                 : "Too Many Requests";
    out.headers.emplace_back("Server", "sorrelby-httpd");
    out.headers.emplace_back("Content-Type", "application/json");
    out.headers.emplace_back("Cache-Control", "no-store");
    out.body = body;
    return out;
}

HttpReply SorrelbyDevice::startPage() const {
    std::string model;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        model = spec_.model;
    }
    HttpReply page = reply(200, "");
    page.headers[1].second = "text/html; charset=utf-8";
    page.body = "<!DOCTYPE html>\n<html><head><title>Sorrelby " + htmlEscape(model) +
                "</title>\n<script src=\"/app.js\"></script></head>\n"
                "<body><div id=\"app\">Loading...</div></body></html>\n";
    return page;
}

HttpReply SorrelbyDevice::handle(const HttpRequest& request) {
    const std::string& path = request.path;
    bool post = request.method == "POST";
    if (!post && (path == "/" || path == "/wireless.html" || path == "/admin.html"))
        return startPage();
    if (!post && path == "/app.js")
        return scriptReply("sorrelby-httpd", kAppJs);
    if (!post && path == "/api/challenge")
        return challenge(queryValue(request.query, "user"));
    if (post) {
        // Posts come from the device's own page, as a browser sends them.
        const std::string* origin = request.header("Origin");
        const std::string* host = request.header("Host");
        if (!origin || !host || *origin != "http://" + *host)
            return reply(403, R"({"ok":false,"error":"origin"})");
    }
    if (post && path == "/api/login")
        return login(request.body);
    if (!inSession(request))
        return reply(401, R"({"ok":false,"error":"session"})");
    if (post && path == "/api/logout") {
        std::lock_guard<std::mutex> lock(mutex_);
        session_ = Session();
        return reply(200, R"({"ok":true})");
    }
    if (post && path == "/api/wireless")
        return applyWireless(request.body);
    if (post && path == "/api/admin")
        return applyAdmin(request.body);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!post && path == "/api/status")
        return reply(200,
                     json::object({{"model", spec_.model}, {"firmware", spec_.firmware}}).dump());
    if (!post && path == "/api/wireless") {
        const WirelessSettings& w = spec_.wireless;
        return reply(200, json::object({{"ssid", w.ssid},
                                        {"security", translateMode(kSecurity, w.security, 0)},
                                        {"cipher", translateMode(kCipher, w.encryption, 0)},
                                        {"passphrase", w.key},
                                        {"channel", channel_},
                                        {"hidden", hidden_}})
                              .dump());
    }
    if (!post && path == "/api/admin")
        return reply(200, json::object({{"user", spec_.username}}).dump());
    return reply(404, R"({"ok":false,"error":"not found"})");
}

bool SorrelbyDevice::inSession(const HttpRequest& request) const {
    std::string cookie = cookieValue(request.header("Cookie"), kCookieName);
    const std::string* token = request.header(kTokenHeader);
    std::lock_guard<std::mutex> lock(mutex_);
    return !session_.cookie.empty() && cookie == session_.cookie && token &&
           *token == session_.token;
}

std::string SorrelbyDevice::proof(const std::string& password, const std::string& nonce) const {
    KRZBuf key = KRZCryptoUtil::pbkdf2Sha256(KRZBuf(password), KRZBuf(salt_),
                                             static_cast<unsigned>(iterations_), 32);
    return KRZCryptoUtil::hmac(KRZCryptoUtil::Digest::SHA256, key, KRZBuf(nonce)).toUtf8HexString();
}

bool SorrelbyDevice::takeNonce(const std::string& nonce) {
    return nonces_.erase(nonce) != 0;
}

HttpReply SorrelbyDevice::challenge(const std::string& user) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (user.empty())
        return reply(400, R"({"ok":false,"error":"user"})");
    if (nonces_.size() >= kMaxNonces)
        nonces_.erase(nonces_.begin());
    std::string nonce = randomHex(16);
    nonces_.insert(nonce);
    // An unknown user gets a salt too, so that the answer does not tell which users exist.
    return reply(200, json::object({{"nonce", nonce},
                                    {"salt", user == spec_.username ? salt_ : randomHex(8)},
                                    {"iterations", iterations_}})
                          .dump());
}

HttpReply SorrelbyDevice::login(const std::string& text) {
    json body = json::parse(text, nullptr, false);
    std::string user, nonce, answer;
    if (!member(body, "user", user) || !member(body, "nonce", nonce) ||
        !member(body, "proof", answer))
        return reply(400, R"({"ok":false,"error":"request"})");
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (failures_ >= kLockAfter && now < lockedUntil_)
        return reply(429, R"({"ok":false,"error":"locked",)"
                          R"("message":"Too many failed logins. Try again in 5 minutes."})");
    bool fresh = takeNonce(nonce);
    if (!fresh || user != spec_.username || answer != proof(spec_.password, nonce)) {
        if (++failures_ >= kLockAfter)
            lockedUntil_ = now + kLockFor;
        return reply(403, R"({"ok":false,"error":"denied"})");
    }
    failures_ = 0;
    if (!session_.cookie.empty())
        return reply(409, R"({"ok":false,"error":"busy",)"
                          R"("message":"Another administrator is logged in."})");
    session_.cookie = randomHex(16);
    session_.token = randomHex(16);
    HttpReply out = reply(200, json::object({{"ok", true}, {"token", session_.token}}).dump());
    out.headers.emplace_back(
        "Set-Cookie", std::string(kCookieName) + "=" + session_.cookie + "; Path=/; HttpOnly");
    return out;
}

HttpReply SorrelbyDevice::applyWireless(const std::string& text) {
    json body = json::parse(text, nullptr, false);
    // Every member goes with every post: one left out is refused, never taken as a default.
    const char* const names[] = {"ssid", "security", "cipher", "passphrase", "channel", "hidden"};
    std::string posted[6];
    for (int i = 0; i < 6; ++i)
        if (!member(body, names[i], posted[i]))
            return reply(400, std::string(R"({"ok":false,"error":"missing )") + names[i] + "\"}");
    WirelessSettings next;
    next.ssid = posted[0];
    next.security = translateMode(kSecurity, posted[1], 1);
    next.encryption = translateMode(kCipher, posted[2], 1);
    next.key = next.security == "none" ? std::string() : posted[3];
    int channel = std::atoi(posted[4].c_str());
    std::string problem = next.security.empty() || next.encryption.empty()
                              ? "unknown security or cipher"
                              : settingsProblem(next);
    if (problem.empty() && (channel < 1 || channel > 13 || std::to_string(channel) != posted[4]))
        problem = "channel from 1 to 13";
    if (problem.empty() && posted[5] != "0" && posted[5] != "1")
        problem = "hidden is 0 or 1";
    if (!problem.empty())
        return reply(400, json::object({{"ok", false}, {"error", problem}}).dump());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        spec_.wireless = next;
        channel_ = posted[4];
        hidden_ = posted[5];
    }
    // The radio restarts: from this reply on, the device is away until it is back.
    rebootSoon();
    return reply(202, json::object({{"ok", true}, {"restartMs", restartMs_}}).dump());
}

HttpReply SorrelbyDevice::applyAdmin(const std::string& text) {
    json body = json::parse(text, nullptr, false);
    std::string user, password, nonce, answer;
    if (!member(body, "user", user) || !member(body, "password", password) ||
        !member(body, "nonce", nonce) || !member(body, "proof", answer))
        return reply(400, R"({"ok":false,"error":"request"})");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!takeNonce(nonce) || answer != proof(spec_.password, nonce))
        return reply(403, R"({"ok":false,"error":"denied"})");
    bool userOk = !user.empty() && user.size() <= 16 &&
                  user.find_first_not_of(
                      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                      "0123456789") == std::string::npos;
    if (!userOk || password.size() < 5 || password.size() > 63)
        return reply(400, R"({"ok":false,"error":"user 1-16 letters or digits, password 5-63"})");
    spec_.username = user;
    spec_.password = password;
    // A new password ends every session, the one that set it included.
    session_ = Session();
    return reply(200, R"({"ok":true})");
}

}  // namespace krzlab
