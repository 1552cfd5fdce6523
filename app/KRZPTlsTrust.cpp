#include "app/KRZPTlsTrust.h"

#include "core/KRZPAPCException.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krzutil/KRZCryptoUtil.h"
#include "platform/krzprocess.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

namespace krzpapp {

namespace {

[[noreturn]] void refuse(const std::string& sentence) {
    throw KRZPAPCException(const_cast<char*>("TlsTrust"), __LINE__, sentence,
                           KRZPAPC_CONNECT_ERROR);
}

std::string nowText() {
    std::time_t t = std::time(nullptr);
    std::tm utc = *std::gmtime(&t);  // callers hold the store's lock
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// The store's devices; an absent file is an empty store, anything unreadable an error.
nlohmann::json load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return nlohmann::json::object();
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json store = nlohmann::json::parse(text.str(), nullptr, false);
    bool valid = store.is_object() && store.value("version", 0) == 1 && store.contains("devices") &&
                 store["devices"].is_object();
    if (valid) {
        for (const auto& entry : store["devices"].items()) {
            const nlohmann::json& d = entry.value();
            valid = valid && d.is_object() && d.contains("sha256") && d["sha256"].is_string() &&
                    d["sha256"].get<std::string>().size() == 95;
        }
    }
    if (!valid) {
        refuse("the store of trusted device certificates " + path +
               " cannot be read (it is not what krzpap wrote); move it away to start again, "
               "then confirm each device's certificate");
    }
    return store["devices"];
}

// One lock for every store object: two of them on one file must not interleave a read and a
// write.
std::mutex g_storeMutex;

void save(const std::string& path, const nlohmann::json& devices) {
    nlohmann::json store = {{"version", 1}, {"devices", devices}};
    if (!krzprocess::writeFileAtomically(path, store.dump(2) + "\n"))
        refuse("the store of trusted device certificates " + path + " cannot be written");
}

}  // namespace

TlsTrust::TlsTrust(std::string path) : path_(std::move(path)) {}

std::string TlsTrust::fingerprint(const std::vector<unsigned char>& der) {
    KRZBuf digest =
        KRZCryptoUtil::hash(KRZCryptoUtil::Digest::SHA256, KRZBuf(der.data(), der.size()));
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < digest.size(); ++i) {
        if (i != 0)
            out += ':';
        out += kHex[digest.data()[i] >> 4];
        out += kHex[digest.data()[i] & 15];
    }
    return out;
}

std::string TlsTrust::keyFor(const in_addr& address, unsigned short port) {
    KRZMacAddress interfaceMac, deviceMac;
    if (KRZNetworkBackend::carriedTo(address, interfaceMac, deviceMac))
        return "mac " + deviceMac.toUtf8String();
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

void TlsTrust::check(const std::string& key, const std::string& shown,
                     const std::vector<unsigned char>& der) {
    std::lock_guard<std::mutex> lock(g_storeMutex);
    nlohmann::json devices = load(path_);
    std::string seen = fingerprint(der);
    auto found = devices.find(key);
    if (found == devices.end()) {
        devices[key] = {{"sha256", seen}, {"firstSeen", nowText()}};
        save(path_, devices);
        return;
    }
    std::string pinned = (*found)["sha256"].get<std::string>();
    if (pinned == seen)
        return;
    refuse("the device at " + shown + " shows another certificate than the one trusted since " +
           found->value("firstSeen", std::string("its first connection")) + ": trusted SHA-256 " +
           pinned + ", shown now " + seen +
           ". Nothing was sent. If the device was reset or replaced, accept the new certificate");
}

std::string TlsTrust::pinned(const std::string& key) const {
    std::lock_guard<std::mutex> lock(g_storeMutex);
    try {
        nlohmann::json devices = load(path_);
        return devices.contains(key) ? devices[key]["sha256"].get<std::string>() : std::string();
    } catch (const std::exception&) {
        return "";
    }
}

std::string TlsTrust::pin(const std::string& key, const std::vector<unsigned char>& der) {
    std::lock_guard<std::mutex> lock(g_storeMutex);
    nlohmann::json devices = load(path_);
    std::string before;
    if (devices.contains(key))
        before = devices[key]["sha256"].get<std::string>();
    devices[key] = {{"sha256", fingerprint(der)}, {"firstSeen", nowText()}};
    save(path_, devices);
    return before;
}

}  // namespace krzpapp
