#include "lab/devices/LuciDevice.h"

#include <cstdio>
#include <cstdlib>

#include "lab/devices/WirelessRules.h"

namespace krzlab {

using nlohmann::json;

namespace {

const char kCookie[] = "sysauth_http";
const char kRoot[] = "/cgi-bin/luci";
const char kIface[] = "default_radio0";
constexpr std::size_t kMaxSessions = 16;

// ubus status codes as the JSON-RPC endpoint reports them in "result".
constexpr int kOk = 0, kInvalidArgument = 2, kNotFound = 4, kNoData = 5, kDenied = 6;

// The "encryption" option of a wireless interface: rows of {lab security, lab cipher, option}.
// The first row of a pair of settings is what the device shows; the cipherless forms are what
// the web interface writes for "auto".
const char* const kEncryption[][3] = {
    {"none", "none", "none"},
    {"wpa2-psk", "aes", "psk2"},
    {"wpa2-psk", "aes", "psk2+ccmp"},
    {"wpa2-psk", "tkip", "psk2+tkip"},
    {"wpa2-psk", "tkip-aes", "psk2+tkip+ccmp"},
    {"wpa-wpa2-psk", "tkip-aes", "psk-mixed"},
    {"wpa-wpa2-psk", "tkip-aes", "psk-mixed+tkip+ccmp"},
    {"wpa-wpa2-psk", "aes", "psk-mixed+ccmp"},
    {"wpa-wpa2-psk", "tkip", "psk-mixed+tkip"},
    {"wpa-psk", "tkip", "psk"},
    {"wpa-psk", "tkip", "psk+tkip"},
    {"wpa-psk", "aes", "psk+ccmp"},
    {"wpa-psk", "tkip-aes", "psk+tkip+ccmp"},
    {"wep", "wep64", "wep-open"},
    {"wep", "wep128", "wep-open"},
};

std::string encryptionOption(const WirelessSettings& w) {
    for (const auto& row : kEncryption)
        if (w.security == row[0] && w.encryption == row[1])
            return row[2];
    return "none";
}

bool fromEncryptionOption(const std::string& option, WirelessSettings& w) {
    for (const auto& row : kEncryption) {
        if (option == row[2] && std::string(row[0]) != "wep") {
            w.security = row[0];
            w.encryption = row[1];
            return true;
        }
    }
    return false;
}

std::string optionKey(const std::string& config, const std::string& section,
                      const std::string& option) {
    return config + "." + section + "." + option;
}

// The sections of the running configuration that are not the lab's settings: {config, section,
// type, options as "name=value" pairs}.
const struct {
    const char* config;
    const char* section;
    const char* type;
    const char* options[4][2];
} kSections[] = {
    {"wireless",
     "radio0",
     "wifi-device",
     {{"type", "mac80211"}, {"band", "2g"}, {"channel", "1"}, {"htmode", "HT20"}}},
    {"wireless",
     kIface,
     "wifi-iface",
     {{"device", "radio0"}, {"network", "lan"}, {"mode", "ap"}, {"disabled", "0"}}},
    {"system",
     "cfg01e48a",
     "system",
     {{"hostname", "OpenWrt"}, {"timezone", "UTC"}, {"ttylogin", "0"}, {"log_size", "64"}}},
};

json rpcError(const json& id, int code, const char* message) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

std::string reasonOf(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        default:
            return "Error";
    }
}

// The pages' scripts, in the project's words: `new LuCI(env)` and `L.require('ui')` as the pages
// call them, and the views they name drawn from the interface's own calls (uci get through /ubus
// with the page's session id). The wireless view saves as the web interface does: uci set over
// /ubus, apply_rollback with the page's form token, then the confirm with the token the apply
// handed out.
const char kLuciJs[] = R"JS(function LuCI(env) { this.env = env; }
LuCI.prototype.require = function (name) { return Promise.resolve(new LuCIViews(this.env)); };
function LuCIViews(env) { this.env = env; }
LuCIViews.prototype.call = function (object, method, args) {
  return fetch(this.env.ubuspath, {method: 'POST', headers: {'Content-Type': 'application/json'},
    body: JSON.stringify({jsonrpc: '2.0', id: 1, method: 'call',
                          params: [this.env.sessionid, object, method, args]})})
    .then(function (r) { return r.json(); })
    .then(function (j) { if (!j.result || j.result[0] !== 0) throw new Error('ubus'); return j.result[1]; });
};
LuCIViews.prototype.post = function (path, fields) {
  return fetch(this.env.scriptname + path, {method: 'POST',
    headers: {'Content-Type': 'application/x-www-form-urlencoded'},
    body: new URLSearchParams(fields).toString()});
};
LuCIViews.prototype.instantiateView = function (name) {
  var view = document.getElementById('view'), self = this;
  if (name !== 'network/wireless') { view.textContent = ''; return; }
  var radio = {config: 'wireless', section: 'default_radio0'};
  return this.call('uci', 'get', radio).then(function (held) {
    view.innerHTML = '<form id="wifi"><label>ESSID <input name="ssid"></label> ' +
        '<label>Key <input name="key" type="password"></label> ' +
        '<button>Save &amp; Apply</button></form><p id="note"></p>';
    var form = view.querySelector('form'), note = document.getElementById('note');
    form.ssid.value = held.values.ssid || '';
    form.key.value = held.values.key || '';
    form.onsubmit = function (e) {
      e.preventDefault();
      self.call('uci', 'set', Object.assign({values: {ssid: form.ssid.value, key: form.key.value}}, radio))
        .then(function () { return self.post('/admin/uci/apply_rollback',
                                             {sid: self.env.sessionid, token: self.env.token}); })
        .then(function (r) { return r.json(); })
        .then(function (applied) { return self.post('/admin/uci/confirm', {token: applied.token}); })
        .then(function (r) { note.textContent = r.status == 204 ? 'Settings applied.' : 'Not confirmed.'; })
        .catch(function () { note.textContent = 'Not saved.'; });
    };
  });
};
)JS";
const char kCbiJs[] = "/* The forms of these pages are drawn by luci.js. */\n";

}  // namespace

LuciDevice::LuciDevice(const DeviceSpec& profile)
    : EmulatedDevice(profile), random_(std::random_device{}()) {
    auto option = [&](const char* name, int fallback) {
        auto it = profile.options.find(name);
        return it == profile.options.end() ? fallback : std::atoi(it->second.c_str());
    };
    rollbackSeconds_ = option("rollbackSeconds", 0);
    sessionSeconds_ = option("sessionSeconds", 300);
    if (rollbackSeconds_ < 0 || sessionSeconds_ <= 0)
        throw std::invalid_argument("luci: rollbackSeconds and sessionSeconds must be positive");
    resetExtras();
}

LuciDevice::~LuciDevice() {
    stop();
}

void LuciDevice::onReboot() {
    sessions_.clear();
    rollback_.reset();
}

void LuciDevice::resetExtras() {
    extras_.clear();
    for (const auto& s : kSections)
        for (const auto& o : s.options)
            extras_[optionKey(s.config, s.section, o[0])] = o[1];
}

// uhttpd with redirect_https: 307 with no body, the port named only when it is not 443.
HttpReply LuciDevice::httpsRedirect(const HttpRequest& request) {
    HttpReply reply;
    reply.status = 307;
    reply.reason = "Temporary Redirect";
    reply.headers.emplace_back("Location", httpsLocation(request, false));
    reply.framing = Framing::Close;
    return reply;
}

HttpReply LuciDevice::handle(const HttpRequest& request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        expireRollback();
    }
    const std::string& path = request.path;
    if (path == "/ubus" || path == "/ubus/")
        return ubus(request);
    if (path == "/luci-static/resources/luci.js" || path == "/luci-static/resources/cbi.js") {
        HttpReply script =
            plain(200, "OK", path.find("luci.js") != std::string::npos ? kLuciJs : kCbiJs);
        script.headers[0].second = "application/javascript";
        return script;
    }
    std::string root = kRoot;
    if (path == root || path.compare(0, root.size() + 1, root + "/") == 0)
        return web(request, path.size() > root.size() + 1 ? path.substr(root.size() + 1) : "");
    if (path == "/" || path == "/index.html") {
        HttpReply reply = plain(200, "OK", "");
        reply.headers[0].second = "text/html";
        reply.body =
            "<!DOCTYPE html>\n<html><head><meta http-equiv=\"Cache-Control\" "
            "content=\"no-cache\">\n"
            "<meta http-equiv=\"refresh\" content=\"0; URL=cgi-bin/luci/\">\n</head>\n"
            "<body><a href=\"cgi-bin/luci/\">Continue to the administration pages</a></body>"
            "</html>\n";
        return reply;
    }
    return plain(404, "Not Found", "Not found");
}

HttpReply LuciDevice::web(const HttpRequest& request, const std::string& subpath) {
    std::string sid = cookieValue(request.header("Cookie"), kCookie);
    FormFields form = request.method == "POST" ? parseUrlEncoded(request.body) : FormFields();
    std::unique_lock<std::mutex> lock(mutex_);
    Session* session = liveSession(sid);
    if (session && session->token.empty())
        session = nullptr;  // a session made over /ubus has no form token: no web pages
    std::string path = subpath;
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    // The confirm needs no session, only the rollback's own token: the device may be reached
    // at a new address by then.
    if (path == "admin/uci/confirm") {
        if (request.method != "POST")
            return plain(405, "Method Not Allowed", "");
        if (!rollback_)
            return plain(204, "No data", "");
        if (formField(form, "token") != rollback_->token)
            return plain(403, "Permission denied", "Permission denied");
        rollback_.reset();
        return plain(204, "No Content", "");
    }
    if (!session) {
        bool tried = form.count("luci_username") != 0 && form.count("luci_password") != 0;
        bool accepted = tried && formField(form, "luci_username") == spec_.username &&
                        formField(form, "luci_password") == spec_.password;
        if (!accepted) {
            lock.unlock();
            return loginPage(tried);
        }
        std::string fresh = newSession(spec_.username, true);
        HttpReply reply = plain(302, "Found", "");
        reply.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + fresh +
                                                     "; path=/cgi-bin/luci/; SameSite=strict; "
                                                     "HttpOnly");
        reply.headers.emplace_back("Location", std::string(kRoot) + "/" + subpath);
        return reply;
    }
    Session current = *session;
    if (path == "admin/logout") {
        sessions_.erase(sid);
        HttpReply reply = plain(302, "Found", "");
        reply.headers.emplace_back("Set-Cookie", std::string(kCookie) +
                                                     "=; expires=Thu, 01 Jan 1970 00:00:00 GMT; "
                                                     "path=/cgi-bin/luci/");
        reply.headers.emplace_back("Location", std::string(kRoot) + "/");
        return reply;
    }
    if (path == "admin/uci/apply_rollback" || path == "admin/uci/revert") {
        if (request.method != "POST") {
            HttpReply reply = plain(405, "Method Not Allowed", "");
            reply.headers.emplace_back("Allow", "POST");
            return reply;
        }
        if (formField(form, "token") != current.token)
            return page("Form token mismatch",
                        "<p>The form's token does not belong to this session; reload the page.</p>",
                        403, nullptr, "");
        if (path == "admin/uci/revert") {
            session->staged.clear();
            return plain(200, "OK", "OK");
        }
        int seconds = rollbackSeconds_ > 0 ? rollbackSeconds_ : 90;
        json result = callLocked(sid, "uci", "apply", {{"rollback", true}, {"timeout", seconds}});
        // The web interface turns ubus states into HTTP ones.
        if (result.at(0) == kInvalidArgument)
            return plain(400, "Invalid argument", "Invalid argument");
        if (result.at(0) != kOk)
            return plain(403, "Permission denied", "Permission denied");
        rollback_->token = randomHex(16);
        HttpReply reply = plain(200, "OK", json{{"token", rollback_->token}}.dump());
        reply.headers[0].second = "application/json; charset=UTF-8";
        return reply;
    }
    std::string title, content;
    if (path.empty() || path == "admin" || path == "admin/status" ||
        path == "admin/status/overview") {
        title = "Status - Overview";
        content =
            "<div id=\"view\"><div class=\"spinning\">Loading the view</div></div>\n"
            "<script>L.require('ui').then(function(ui) { "
            "ui.instantiateView('status/index'); });</script>";
    } else if (path == "admin/network/wireless") {
        title = "Network - Wireless";
        content =
            "<div id=\"view\"><div class=\"spinning\">Loading the view</div></div>\n"
            "<script>L.require('ui').then(function(ui) { "
            "ui.instantiateView('network/wireless'); });</script>";
    } else if (path == "admin/system/admin") {
        title = "System - Administration";
        content =
            "<div id=\"view\"><div class=\"spinning\">Loading the view</div></div>\n"
            "<script>L.require('ui').then(function(ui) { "
            "ui.instantiateView('system/password'); });</script>";
    } else {
        return page("Not Found", "<p>No page here.</p>", 404, &current, sid);
    }
    return page(title, content, 200, &current, sid);
}

HttpReply LuciDevice::ubus(const HttpRequest& request) {
    if (request.method != "POST")
        return plain(400, "Bad Request", "");
    json body = json::parse(request.body, nullptr, false);
    json answer;
    if (body.is_discarded()) {
        answer = rpcError(nullptr, -32700, "Parse error");
    } else if (body.is_array()) {
        answer = json::array();
        for (const json& one : body)
            answer.push_back(one.is_object() ? ubusCall(one.value("id", json()), one)
                                             : rpcError(nullptr, -32600, "Invalid request"));
    } else if (body.is_object()) {
        answer = ubusCall(body.value("id", json()), body);
    } else {
        answer = rpcError(nullptr, -32600, "Invalid request");
    }
    HttpReply reply = plain(200, "OK", answer.dump());
    reply.headers[0].second = "application/json";
    return reply;
}

json LuciDevice::ubusCall(const json& id, const json& request) {
    if (request.value("jsonrpc", "") != "2.0" || !request.contains("method") ||
        !request["method"].is_string())
        return rpcError(id, -32600, "Invalid request");
    if (request["method"] != "call")
        return rpcError(id, -32601, "Method not found");
    const json params = request.value("params", json());
    if (!params.is_array() || params.size() < 3 || !params[0].is_string() ||
        !params[1].is_string() || !params[2].is_string() ||
        (params.size() > 3 && !params[3].is_object()))
        return rpcError(id, -32602, "Invalid parameters");
    const std::string sid = params[0].get<std::string>();
    const std::string object = params[1].get<std::string>();
    const std::string method = params[2].get<std::string>();
    json args = params.size() > 3 ? params[3] : json::object();
    std::lock_guard<std::mutex> lock(mutex_);
    // Without a session only logging in and asking about rights are allowed.
    bool anonymous = object == "session" && (method == "login" || method == "access");
    if (!anonymous && !liveSession(sid))
        return rpcError(id, -32002, "Access denied");
    json result = callLocked(sid, object, method, args);
    if (result.is_null())
        return rpcError(id, -32000, "Object not found");
    if (result.is_string())
        return rpcError(id, -32601, "Method not found");
    return {{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
}

json LuciDevice::callLocked(const std::string& sid, const std::string& object,
                            const std::string& method, const json& args) {
    if (object == "session") {
        if (method == "login") {
            std::string user = args.value("username", ""), pass = args.value("password", "");
            if (user != spec_.username || pass != spec_.password)
                return {kDenied};
            std::string fresh = newSession(user, false);
            return {kOk,
                    {{"ubus_rpc_session", fresh},
                     {"timeout", sessionSeconds_},
                     {"expires", sessionSeconds_},
                     {"acls", {{"access-group", {{"luci-base", {"read", "write"}}}}}},
                     {"data", {{"username", user}}}}};
        }
        if (method == "access")
            return {kOk, {{"access", liveSession(sid) != nullptr}}};
        if (method == "destroy") {
            sessions_.erase(sid);
            return {kOk};
        }
        return "method";
    }
    if (object == "uci")
        return uciCall(sid, method, args);
    if (object == "system" && method == "board")
        return {kOk,
                {{"hostname", extras_["system.cfg01e48a.hostname"]},
                 {"model", spec_.model},
                 {"board_name", "lab,board"},
                 {"release",
                  {{"distribution", "OpenWrt"},
                   {"version", spec_.firmware},
                   {"description", "OpenWrt " + spec_.firmware}}}}};
    if (object == "system")
        return "method";
    if (object == "luci" && method == "setPassword") {
        std::string user = args.value("username", ""), pass = args.value("password", "");
        bool changed = user == spec_.username && !pass.empty() && pass.size() <= 128;
        if (changed)
            spec_.password = pass;
        return {kOk, {{"result", changed}}};
    }
    if (object == "luci")
        return "method";
    return nullptr;
}

json LuciDevice::uciCall(const std::string& sid, const std::string& method, const json& args) {
    Session* session = liveSession(sid);
    if (method == "get") {
        json tree = uciTree(session);
        std::string config = args.value("config", ""), section = args.value("section", "");
        std::string option = args.value("option", "");
        if (!tree.contains(config))
            return {kNotFound};
        if (section.empty())
            return {kOk, {{"values", tree[config]}}};
        if (!tree[config].contains(section))
            return {kNotFound};
        if (option.empty())
            return {kOk, {{"values", tree[config][section]}}};
        if (!tree[config][section].contains(option))
            return {kNotFound};
        return {kOk, {{"value", tree[config][section][option]}}};
    }
    if (method == "set") {
        std::string config = args.value("config", ""), section = args.value("section", "");
        json tree = uciTree(session);
        if (!args.contains("values") || !args["values"].is_object())
            return {kInvalidArgument};
        if (!tree.contains(config) || !tree[config].contains(section))
            return {kNotFound};
        for (auto it = args["values"].begin(); it != args["values"].end(); ++it) {
            if (!it->is_string() && !it->is_number() && !it->is_boolean())
                return {kInvalidArgument};
        }
        for (auto it = args["values"].begin(); it != args["values"].end(); ++it)
            session->staged.push_back(
                {config, section, it.key(), it->is_string() ? it->get<std::string>() : it->dump()});
        return {kOk};
    }
    if (method == "changes") {
        json changes = json::object();
        for (const Change& c : session->staged)
            changes[c.config].push_back({"set", c.section, c.option, c.value});
        return {kOk, {{"changes", changes}}};
    }
    if (method == "revert") {
        session->staged.clear();
        return {kOk};
    }
    if (method == "apply" || method == "commit") {
        bool rollback = method == "apply" && args.value("rollback", false);
        if (rollback_)
            return {kDenied};  // an earlier apply still waits for its confirm
        Rollback before{sid, "", {}, spec_.wireless, extras_};
        if (!applyChanges(session->staged).empty())
            return {kInvalidArgument};
        session->staged.clear();
        if (rollback) {
            int seconds = rollbackSeconds_ > 0 ? rollbackSeconds_ : args.value("timeout", 30);
            before.deadline = Clock::now() + std::chrono::seconds(seconds);
            rollback_ = std::make_unique<Rollback>(before);
        }
        return {kOk};
    }
    if (method == "confirm") {
        if (!rollback_)
            return {kNoData};
        if (rollback_->session != sid)
            return {kDenied};
        rollback_.reset();
        return {kOk};
    }
    return "method";
}

LuciDevice::Session* LuciDevice::liveSession(const std::string& sid) {
    auto it = sessions_.find(sid);
    if (sid.empty() || it == sessions_.end())
        return nullptr;
    if (Clock::now() - it->second.lastUse > std::chrono::seconds(sessionSeconds_)) {
        sessions_.erase(it);
        return nullptr;
    }
    it->second.lastUse = Clock::now();
    return &it->second;
}

std::string LuciDevice::newSession(const std::string& username, bool web) {
    if (sessions_.size() >= kMaxSessions) {
        auto oldest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
            if (it->second.lastUse < oldest->second.lastUse)
                oldest = it;
        sessions_.erase(oldest);
    }
    std::string sid = randomHex(16);
    sessions_[sid] = Session{web ? randomHex(16) : "", username, Clock::now(), {}};
    return sid;
}

json LuciDevice::uciTree(const Session* session) const {
    json tree = json::object();
    for (const auto& s : kSections) {
        json& section = tree[s.config][s.section];
        section[".anonymous"] = std::string(s.section).compare(0, 3, "cfg") == 0;
        section[".type"] = s.type;
        section[".name"] = s.section;
        for (const auto& o : s.options)
            section[o[0]] = extras_.at(optionKey(s.config, s.section, o[0]));
    }
    json& iface = tree["wireless"][kIface];
    iface["ssid"] = spec_.wireless.ssid;
    iface["encryption"] = encryptionOption(spec_.wireless);
    if (spec_.wireless.security == "wep") {
        iface["key"] = "1";
        iface["key1"] = "s:" + spec_.wireless.key;
    } else if (spec_.wireless.security != "none") {
        iface["key"] = spec_.wireless.key;
    }
    // A session sees its own changes before they are applied.
    if (session)
        for (const Change& c : session->staged)
            tree[c.config][c.section][c.option] = c.value;
    return tree;
}

std::string LuciDevice::applyChanges(const std::vector<Change>& changes) {
    WirelessSettings next = spec_.wireless;
    std::map<std::string, std::string> extras = extras_;
    for (const Change& c : changes) {
        bool iface = c.config == "wireless" && c.section == kIface;
        if (iface && c.option == "ssid")
            next.ssid = c.value;
        else if (iface && c.option == "key")
            next.key = c.value;
        else if (iface && c.option == "encryption") {
            if (!fromEncryptionOption(c.value, next))
                return "unknown encryption " + c.value;
        } else
            extras[optionKey(c.config, c.section, c.option)] = c.value;
    }
    if (next.security == "none")
        next.key.clear();
    std::string problem = settingsProblem(next);
    if (!problem.empty())
        return problem;
    spec_.wireless = next;
    extras_ = extras;
    return "";
}

void LuciDevice::expireRollback() {
    if (!rollback_ || Clock::now() < rollback_->deadline)
        return;
    spec_.wireless = rollback_->wireless;
    extras_ = rollback_->extras;
    rollback_.reset();
}

std::string LuciDevice::randomHex(int bytes) {
    std::string out;
    char two[3];
    for (int i = 0; i < bytes; ++i) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(random_() & 0xff));
        out += two;
    }
    return out;
}

HttpReply LuciDevice::page(const std::string& title, const std::string& content, int status,
                           const Session* session, const std::string& sid) const {
    json env = {{"resource", "/luci-static/resources"},
                {"scriptname", kRoot},
                {"ubuspath", "/ubus/"},
                {"sessionid", session ? sid : ""},
                {"token", session ? session->token : ""},
                {"apply_rollback", 90},
                {"apply_holdoff", 4}};
    std::string envText;
    for (char c : env.dump())
        envText += c == '/' ? std::string("\\/") : std::string(1, c);
    HttpReply reply = plain(status, reasonOf(status), "");
    reply.headers[0].second = "text/html; charset=UTF-8";
    auto host = extras_.find("system.cfg01e48a.hostname");
    reply.body = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
                 htmlEscape(host == extras_.end() ? "OpenWrt" : host->second) + " - " + title +
                 " - LuCI</title>\n"
                 "<link rel=\"stylesheet\" href=\"/luci-static/bootstrap/cascade.css\">\n"
                 "<script src=\"/luci-static/resources/cbi.js\"></script>\n</head>\n<body>\n"
                 "<script src=\"/luci-static/resources/luci.js\"></script>\n"
                 "<script>\n\tL = new LuCI(" +
                 envText + ");\n</script>\n<div id=\"maincontent\">\n<h2>" + title + "</h2>\n" +
                 content + "\n</div>\n<footer>Powered by LuCI / OpenWrt " +
                 htmlEscape(spec_.firmware) + "</footer>\n</body></html>\n";
    return reply;
}

HttpReply LuciDevice::loginPage(bool failed) const {
    HttpReply reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reply = page("Authorization Required",
                     std::string(failed ? "<div class=\"alert-message warning\"><p>Invalid "
                                          "username and/or password! Please try again.</p></div>\n"
                                        : "") +
                         "<form method=\"post\">\n"
                         "<p>Log in with the administrator's name and password.</p>\n"
                         "<input class=\"cbi-input-text\" type=\"text\" name=\"luci_username\" "
                         "value=\"root\">\n"
                         "<input class=\"cbi-input-text\" type=\"password\" "
                         "name=\"luci_password\">\n"
                         "<input type=\"submit\" value=\"Log in\" class=\"btn cbi-button\">\n"
                         "</form>",
                     403, nullptr, "");
    }
    reply.headers.emplace_back("X-LuCI-Login-Required", "yes");
    return reply;
}

HttpReply LuciDevice::plain(int status, const std::string& reason, const std::string& text) const {
    HttpReply reply;
    reply.status = status;
    reply.reason = reason;
    reply.headers.emplace_back("Content-Type", "text/plain");
    reply.headers.emplace_back("Cache-Control", "no-cache");
    reply.headers.emplace_back("Expires", "0");
    reply.headers.emplace_back("X-Frame-Options", "SAMEORIGIN");
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    reply.body = text;
    return reply;
}

}  // namespace krzlab
