#include "lab/net/LabDescription.h"

#include "lab/net/LabAddress.h"
#include "recording/Recording.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace krzlab {

using nlohmann::json;

namespace {

std::string text(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null())
        return "";
    if (!it->is_string())
        throw std::invalid_argument(std::string("\"") + key + "\" is not text");
    return it->get<std::string>();
}

// The account and radio settings a device has now.
void setCurrent(DeviceSpec& s, const std::string& username, const std::string& password,
                const WirelessSettings& wireless) {
    s.username = username;
    s.password = password;
    s.wireless = wireless;
}

// What a factory reset restores.
void setFactory(DeviceSpec& s, const std::string& address, const std::string& username,
                const std::string& password, const WirelessSettings& wireless) {
    s.factoryAddress = address;
    s.factoryUsername = username;
    s.factoryPassword = password;
    s.factoryWireless = wireless;
}

void factoryIsCurrent(DeviceSpec& s) {
    setFactory(s, s.address, s.username, s.password, s.wireless);
}

WirelessSettings wirelessFromJson(const json& j) {
    WirelessSettings w;
    if (!j.is_object())
        return w;
    w.ssid = text(j, "ssid");
    w.security = text(j, "security");
    w.encryption = text(j, "encryption");
    w.key = text(j, "key");
    return w;
}

void requireIpv4(const std::string& what, const std::string& value) {
    uint32_t ignored;
    if (!parseIpv4(value, ignored))
        throw std::invalid_argument(what + ": not an IPv4 address: \"" + value + "\"");
}

void requireMac(const std::string& what, const std::string& value) {
    MacBytes ignored;
    if (!parseMac(value, ignored))
        throw std::invalid_argument(what + ": not a MAC address: \"" + value + "\"");
}

AdapterSpec adapterFromJson(const json& j) {
    AdapterSpec a;
    a.name = text(j, "name");
    a.index = j.value("index", 0u);
    a.address = text(j, "address");
    a.mask = text(j, "mask");
    a.mac = text(j, "mac");
    a.gateway = text(j, "gateway");
    if (a.name.empty())
        throw std::invalid_argument("adapter without a name");
    requireIpv4("adapter " + a.name + " address", a.address);
    requireIpv4("adapter " + a.name + " mask", a.mask);
    requireMac("adapter " + a.name + " mac", a.mac);
    if (!a.gateway.empty())
        requireIpv4("adapter " + a.name + " gateway", a.gateway);
    return a;
}

// A device that plays a recording: the file relative to the description's folder, and the
// address and MAC from the recording unless the description gives them.
void takeRecording(const json& j, const std::string& folder, DeviceSpec& s) {
    s.recording = text(j, "recording");
    if (s.recording.empty())
        return;
    if (s.recording[0] != '/' && !folder.empty())
        s.recording = folder + "/" + s.recording;
    if (s.family.empty())
        s.family = "recording";
    if (s.address.empty() || s.mac.empty()) {
        Recording r = Recording::fromFile(s.recording);
        s.address = s.address.empty() ? r.address : s.address;
        s.mac = s.mac.empty() ? r.mac : s.mac;
    }
    // A browser's recording holds no MAC: a locally administered one made of the address's last
    // three numbers, the same at each run.
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (s.mac.empty() && std::sscanf(s.address.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:4B:5A:%02X:%02X:%02X", b & 0xff, c & 0xff, d & 0xff);
        s.mac = mac;
    }
}

LabDeviceEntry deviceFromJson(const json& j, const std::string& folder) {
    LabDeviceEntry e;
    DeviceSpec& s = e.profile;
    s.name = text(j, "name");
    if (s.name.empty())
        throw std::invalid_argument("device without a name");
    s.family = text(j, "family");
    s.model = text(j, "model");
    s.firmware = text(j, "firmware");
    s.address = text(j, "address");
    s.mac = text(j, "mac");
    takeRecording(j, folder, s);
    s.username = text(j, "username");
    s.password = text(j, "password");
    s.wireless = wirelessFromJson(j.value("wireless", json::object()));
    e.adapter = text(j, "adapter");
    json factory = j.value("factory", json());
    if (factory.is_object()) {
        s.factoryAddress = text(factory, "address");
        s.factoryUsername = text(factory, "username");
        s.factoryPassword = text(factory, "password");
        s.factoryWireless = wirelessFromJson(factory.value("wireless", json::object()));
    } else {
        factoryIsCurrent(s);
    }
    std::string fault = text(j, "fault");
    s.fault = fault.empty() ? Fault::None : faultFromName(fault);
    s.faultParam = j.value("faultParam", 0);
    s.restart = text(j, "restart");
    if (!s.restart.empty() && s.restart != "empty" && s.restart != "reset")
        throw std::invalid_argument("device " + s.name + ": \"restart\" is \"empty\" or \"reset\"");
    s.restartMs = j.value("restartMs", 0);
    s.lockoutAfter = j.value("lockoutAfter", 0);
    const json options = j.contains("options") ? j.at("options") : json::object();
    if (!options.is_object())
        throw std::invalid_argument("device " + s.name + " options: not an object");
    for (auto it = options.begin(); it != options.end(); ++it)
        s.options[it.key()] = it->is_string() ? it->get<std::string>() : it->dump();
    json tls = j.value("tls", json());
    if (tls.is_object()) {
        s.tlsCertificate = text(tls, "certificate");
        s.tlsKey = text(tls, "key");
    }
    requireIpv4("device " + s.name + " address", s.address);
    if (!s.factoryAddress.empty())
        requireIpv4("device " + s.name + " factory address", s.factoryAddress);
    requireMac("device " + s.name + " mac", s.mac);
    return e;
}

}  // namespace

json wirelessToJson(const WirelessSettings& w) {
    return json{
        {"ssid", w.ssid}, {"security", w.security}, {"encryption", w.encryption}, {"key", w.key}};
}

json deviceSpecToJson(const DeviceSpec& s) {
    json out{{"name", s.name},
             {"family", s.family},
             {"model", s.model},
             {"firmware", s.firmware},
             {"address", s.address},
             {"mac", s.mac},
             {"username", s.username},
             {"password", s.password},
             {"wireless", wirelessToJson(s.wireless)},
             {"factory",
              {{"address", s.factoryAddress},
               {"username", s.factoryUsername},
               {"password", s.factoryPassword},
               {"wireless", wirelessToJson(s.factoryWireless)}}},
             {"fault", faultName(s.fault)},
             {"faultParam", s.faultParam}};
    if (!s.recording.empty())
        out["recording"] = s.recording;
    if (!s.restart.empty())
        out["restart"] = s.restart;
    if (s.restartMs != 0)
        out["restartMs"] = s.restartMs;
    if (s.lockoutAfter != 0)
        out["lockoutAfter"] = s.lockoutAfter;
    if (!s.options.empty())
        out["options"] = s.options;
    if (!s.tlsCertificate.empty())
        out["tls"] = {{"certificate", s.tlsCertificate}, {"key", s.tlsKey}};
    return out;
}

namespace {

LabDescription parseDescription(const json& j, const std::string& folder) {
    if (!j.is_object())
        throw std::invalid_argument("a lab description is a JSON object");
    LabDescription lab;
    std::set<std::string> adapterNames, deviceNames;
    for (const json& a : j.value("adapters", json::array())) {
        lab.adapters.push_back(adapterFromJson(a));
        if (!adapterNames.insert(lab.adapters.back().name).second)
            throw std::invalid_argument("duplicate adapter " + lab.adapters.back().name);
    }
    if (lab.adapters.empty())
        throw std::invalid_argument("a lab needs at least one adapter");
    for (const json& d : j.value("devices", json::array())) {
        lab.devices.push_back(deviceFromJson(d, folder));
        const LabDeviceEntry& e = lab.devices.back();
        if (!deviceNames.insert(e.profile.name).second)
            throw std::invalid_argument("duplicate device " + e.profile.name);
        if (!e.adapter.empty() && !adapterNames.count(e.adapter))
            throw std::invalid_argument("device " + e.profile.name + ": unknown adapter " +
                                        e.adapter);
    }
    return lab;
}

}  // namespace

LabDescription LabDescription::fromJson(const json& j, const std::string& folder) {
    try {
        return parseDescription(j, folder);
    } catch (const json::exception& e) {
        // Wrong value types ("index": "seven") surface as the same error as any other.
        throw std::invalid_argument(std::string("lab description: ") + e.what());
    }
}

LabDescription LabDescription::fromText(const std::string& textValue, const std::string& folder) {
    json j = json::parse(textValue, nullptr, false);
    if (j.is_discarded())
        throw std::invalid_argument("lab description: not JSON");
    return fromJson(j, folder);
}

LabDescription LabDescription::fromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("cannot read lab file " + path);
    std::ostringstream content;
    content << in.rdbuf();
    std::size_t slash = path.rfind('/');
    return fromText(content.str(), slash == std::string::npos ? "." : path.substr(0, slash));
}

json LabDescription::toJson() const {
    json adaptersJson = json::array(), devicesJson = json::array();
    for (const AdapterSpec& a : adapters) {
        adaptersJson.push_back({{"name", a.name},
                                {"index", a.index},
                                {"address", a.address},
                                {"mask", a.mask},
                                {"mac", a.mac}});
        if (!a.gateway.empty())
            adaptersJson.back()["gateway"] = a.gateway;
    }
    for (const LabDeviceEntry& e : devices) {
        json d = deviceSpecToJson(e.profile);
        if (!e.adapter.empty())
            d["adapter"] = e.adapter;
        devicesJson.push_back(d);
    }
    return json{{"adapters", adaptersJson}, {"devices", devicesJson}};
}

namespace {

DeviceSpec device(const std::string& name, const std::string& family, const std::string& model,
                  const std::string& firmware, int lastOctet, int macTail) {
    DeviceSpec s;
    s.name = name;
    s.family = family;
    s.model = model;
    s.firmware = firmware;
    s.address = "192.168.77." + std::to_string(lastOctet);
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:4B:5A:00:%02X:%02X", (macTail >> 8) & 0xFF, macTail & 0xFF);
    s.mac = mac;
    return s;
}

AdapterSpec labAdapter() {
    return AdapterSpec{"lab0", 7, "192.168.77.2", "255.255.255.0", "02:4B:5A:00:00:02", ""};
}

}  // namespace

LabDescription LabDescription::defaultLab() {
    LabDescription lab;
    lab.adapters.push_back(labAdapter());
    // The router this lab's computer reaches the internet through: the Borealis.
    lab.adapters.back().gateway = "192.168.77.20";

    DeviceSpec acme = device("acme-1", "acme", "AP-100", "1.4.2 build 3107", 10, 0x10);
    setCurrent(acme, "admin", "gatekeeper",
               {"AcmeOffice", "wpa2-psk", "aes", "correct horse battery"});
    setFactory(acme, "192.168.77.10", "admin", "admin", {"ACME", "none", "none", ""});

    DeviceSpec borealis = device("borealis-1", "borealis", "BR-5400", "2.0.7", 20, 0x20);
    setCurrent(borealis, "root", "northwind", {"Aurora", "wpa-psk", "tkip", "polarlights42"});
    setFactory(borealis, "192.168.77.20", "root", "borealis", {"BOREALIS", "none", "none", ""});

    // Still at factory defaults; a factory reset moves it off this network to 10.0.0.138.
    DeviceSpec corvidFactory = device("corvid-1", "corvid", "CV-10", "0.9.12", 30, 0x30);
    setCurrent(corvidFactory, "admin", "", {"corvid", "none", "none", ""});
    setFactory(corvidFactory, "10.0.0.138", "admin", "", corvidFactory.wireless);

    DeviceSpec corvid = device("corvid-2", "corvid", "CV-20", "1.1.0", 31, 0x31);
    setCurrent(corvid, "admin", "rookery", {"Nest", "wpa-wpa2-psk", "tkip-aes", "blackfeathers"});
    setFactory(corvid, "10.0.0.138", "admin", "", {"corvid", "none", "none", ""});

    DeviceSpec printer = device("printer-1", "printer", "Inkwell 300", "5.1", 40, 0x40);
    factoryIsCurrent(printer);

    DeviceSpec silentHost = device("nohttp-1", "nohttp", "", "", 50, 0x50);
    factoryIsCurrent(silentHost);

    for (const DeviceSpec& s : {acme, borealis, corvidFactory, corvid, printer, silentHost})
        lab.devices.push_back(LabDeviceEntry{s, ""});
    return lab;
}

LabDescription LabDescription::generated(int count) {
    if (count < 0 || count > 250)
        throw std::invalid_argument("a generated lab holds 0 to 250");
    LabDescription lab;
    lab.adapters.push_back(labAdapter());
    struct Kind {
        const char* family;
        const char* model;
    };
    const Kind kinds[] = {{"acme", "AP-100"},  {"borealis", "BR-5400"},    {"corvid", "CV-10"},
                          {"corvid", "CV-20"}, {"printer", "Inkwell 300"}, {"nohttp", ""}};
    for (int i = 0; i < count; ++i) {
        const Kind& k = kinds[i % 6];
        DeviceSpec s = device(std::string(k.family) + "-" + std::to_string(i + 1), k.family,
                              k.model, "1.0", 3 + i, 0x100 + i);
        setCurrent(
            s, "admin", "pass" + std::to_string(i + 1),
            {"Net" + std::to_string(i + 1), "wpa2-psk", "aes", "secret" + std::to_string(i + 1)});
        factoryIsCurrent(s);
        lab.devices.push_back(LabDeviceEntry{s, ""});
    }
    return lab;
}

}  // namespace krzlab
