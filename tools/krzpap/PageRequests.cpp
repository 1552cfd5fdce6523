#include "PageRequests.h"

#include "app/KRZPAppHelpers.h"

#include <algorithm>
#include <map>

namespace krzpap {

namespace {

// The widest channel number any band uses (5 GHz and 6 GHz end below it).
constexpr int kHighestChannel = 233;
// More MACs than any person types in one search.
constexpr size_t kMostMacs = 64;

const std::map<std::string, std::vector<std::string>>& fieldsByKind() {
    static const std::map<std::string, std::vector<std::string>> kFields = {
        {"scan", {}},
        {"show", {"address", "mac", "user", "password"}},
        {"configure",
         {"address", "mac", "user", "password", "ssid", "security", "encryption", "key", "newUser",
          "newPassword"}},
        {"find", {"macs"}},
        {"defaults", {"ssid", "bssid", "channel", "rsn"}},
        {"trust", {"address", "sha256"}},
    };
    return kFields;
}

// The text in `name`, or nullptr when the body leaves it out; anything but text is refused.
const std::string* text(const nlohmann::json& body, const char* name) {
    auto it = body.find(name);
    if (it == body.end())
        return nullptr;
    if (!it->is_string())
        throw PageRequestError(name, std::string(name) + " must be text");
    return it->get_ptr<const std::string*>();
}

std::string textOr(const nlohmann::json& body, const char* name) {
    const std::string* value = text(body, name);
    return value ? *value : std::string();
}

void refuseUnknownFields(const std::string& kind, const nlohmann::json& body) {
    const std::vector<std::string>& known = fieldsByKind().at(kind);
    for (const auto& item : body.items())
        if (std::find(known.begin(), known.end(), item.key()) == known.end())
            throw PageRequestError(item.key(),
                                   "a " + kind + " takes no field \"" + item.key() + "\"");
}

DeviceOptions deviceFrom(const nlohmann::json& body) {
    DeviceOptions device;
    const std::string* address = text(body, "address");
    if (address == nullptr || address->empty())
        throw PageRequestError("address", "give the device's address");
    device.address = *address;
    device.mac = textOr(body, "mac");
    device.user = textOr(body, "user");
    device.password = textOr(body, "password");
    // An empty field means the device's factory value, as leaving out the option does.
    device.haveUser = !device.user.empty();
    device.havePassword = !device.password.empty();
    return device;
}

// A mode name as the page's list gives it; the library's own name table decides.
template <typename Check>
void checkModeName(const nlohmann::json& body, const char* name, Check fromName) {
    const std::string* mode = text(body, name);
    if (mode == nullptr)
        return;
    bool known = false;
    try {
        known = *mode != "unknown" && (fromName(*mode), true);
    } catch (const krzpapp::Error&) {
    }
    if (!known)
        throw PageRequestError(
            name, "unknown " + std::string(name) + " \"" + krzpapp::escapeText(*mode) + "\"");
}

ConfigureOptions configureFrom(const nlohmann::json& body) {
    checkModeName(body, "security", krzpapp::securityModeFromName);
    checkModeName(body, "encryption", krzpapp::encryptionModeFromName);
    ConfigureOptions o;
    o.haveSsid = text(body, "ssid") != nullptr;
    o.ssid = textOr(body, "ssid");
    o.security = textOr(body, "security");
    o.encryption = textOr(body, "encryption");
    o.haveKey = text(body, "key") != nullptr;
    o.key = textOr(body, "key");
    o.haveNewUser = text(body, "newUser") != nullptr;
    o.newUser = textOr(body, "newUser");
    o.haveNewPassword = text(body, "newPassword") != nullptr;
    o.newPassword = textOr(body, "newPassword");
    return o;
}

std::vector<std::string> macsFrom(const nlohmann::json& body) {
    auto it = body.find("macs");
    if (it == body.end() || !it->is_array() || it->empty() || it->size() > kMostMacs)
        throw PageRequestError(
            "macs", "macs must be a list of 1 to " + std::to_string(kMostMacs) + " MAC addresses");
    std::vector<std::string> macs;
    for (const auto& mac : *it) {
        if (!mac.is_string())
            throw PageRequestError("macs", "each MAC address in macs must be text");
        macs.push_back(mac.get<std::string>());
    }
    return macs;
}

DefaultsOptions defaultsFrom(const nlohmann::json& body) {
    DefaultsOptions d;
    d.ssid = textOr(body, "ssid");
    d.bssid = textOr(body, "bssid");
    auto channel = body.find("channel");
    if (channel != body.end()) {
        // 6.0 or 1e300 arrive as floating-point numbers: only a whole number in range is a channel.
        if (!channel->is_number_integer() || *channel < 0 || *channel > kHighestChannel)
            throw PageRequestError("channel", "channel must be a whole number from 0 to " +
                                                  std::to_string(kHighestChannel));
        d.channel = channel->get<int>();
    }
    d.rsn = textOr(body, "rsn");
    if (d.rsn != "" && d.rsn != "WEP" && d.rsn != "WPA" && d.rsn != "WPA2")
        throw PageRequestError("rsn", "rsn must be empty (open), WEP, WPA or WPA2");
    d.privacy = !d.rsn.empty();
    return d;
}

}  // namespace

PageRequest readPageRequest(const std::string& kind, const nlohmann::json& body) {
    if (fieldsByKind().count(kind) == 0)
        throw PageRequestError("", "no such operation: " + kind);
    if (!body.is_object())
        throw PageRequestError("", "the request is not a JSON object");
    refuseUnknownFields(kind, body);
    PageRequest request;
    request.kind = kind;
    if (kind == "show" || kind == "configure")
        request.device = deviceFrom(body);
    if (kind == "configure")
        request.configure = configureFrom(body);
    else if (kind == "find")
        request.macs = macsFrom(body);
    else if (kind == "defaults")
        request.defaults = defaultsFrom(body);
    else if (kind == "trust") {
        request.device.address = textOr(body, "address");
        if (request.device.address.empty())
            throw PageRequestError("address", "address must name the device");
        request.sha256 = textOr(body, "sha256");
        if (request.sha256.size() != 95)
            throw PageRequestError("sha256", "sha256 must be the fingerprint the page showed");
    }
    return request;
}

}  // namespace krzpap
