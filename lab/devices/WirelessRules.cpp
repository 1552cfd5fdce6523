#include "lab/devices/WirelessRules.h"

#include "krzutil/KRZTextCoding.h"

namespace krzlab {

namespace {

bool allHex(const std::string& text) {
    for (char c : text) {
        if (krzHexDigitValue(c) < 0) {
            return false;
        }
    }
    return true;
}

bool allPrintable(const std::string& text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

std::string encryptionProblem(const WirelessSettings& s) {
    const std::string& sec = s.security;
    const std::string& enc = s.encryption;
    if (sec == "none") {
        return enc == "none" ? "" : "encryption must be none without security";
    }
    if (sec == "wep") {
        return enc == "wep64" || enc == "wep128" ? "" : "WEP needs 64 or 128 bit encryption";
    }
    if (sec == "wpa-psk" || sec == "wpa2-psk" || sec == "wpa-wpa2-psk") {
        return enc == "tkip" || enc == "aes" || enc == "tkip-aes"
                   ? ""
                   : "WPA needs TKIP, AES or TKIP+AES encryption";
    }
    return "unknown security mode";
}

std::string keyProblem(const WirelessSettings& s) {
    const std::string& key = s.key;
    if (s.encryption == "wep64") {
        return key.size() == 5 || (key.size() == 10 && allHex(key))
                   ? ""
                   : "a 64 bit WEP key is 5 characters or 10 hexadecimal digits";
    }
    if (s.encryption == "wep128") {
        return key.size() == 13 || (key.size() == 26 && allHex(key))
                   ? ""
                   : "a 128 bit WEP key is 13 characters or 26 hexadecimal digits";
    }
    if (s.security == "none") {
        return "";
    }
    if ((key.size() >= 8 && key.size() <= 63 && allPrintable(key)) ||
        (key.size() == 64 && allHex(key))) {
        return "";
    }
    return "the passphrase must be 8 to 63 characters or 64 hexadecimal digits";
}

}  // namespace

std::string settingsProblem(const WirelessSettings& settings) {
    if (settings.ssid.empty() || settings.ssid.size() > 32) {
        return "the network name (SSID) must be 1 to 32 characters";
    }
    std::string problem = encryptionProblem(settings);
    return problem.empty() ? keyProblem(settings) : problem;
}

namespace {

struct FamilyDefaults {
    const char* family;
    const char* model;
    const char* firmware;
};

const FamilyDefaults kFamilyDefaults[] = {
    {"acme", "AP-100", "1.2.3 build 4711"}, {"borealis", "BR-5400", "V2.0.14_EU"},
    {"corvid", "CV-10", "0.9.7"},           {"merrowin", "MW-4", "1.0.4"},
    {"sorrelby", "SR-300", "2.1.0"},        {"luci", "LB-1", "23.05.3"},
    {"ddwrt", "LB-2", "v3.0-r55630"},       {"freshtomato", "TM-4", "2024.3 K26ARM USB AIO-64K"},
    {"asuswrt", "RT-LAB1", "3004.388.8_2"}, {"printer", "LP-7", "QP 3.1"}};

// The row of `family`, nullptr for a family without defaults.
const FamilyDefaults* defaultsOf(const std::string& family) {
    for (const FamilyDefaults& row : kFamilyDefaults) {
        if (family == row.family) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

std::string defaultModel(const std::string& family) {
    const FamilyDefaults* row = defaultsOf(family);
    return row ? row->model : "";
}

std::string defaultFirmware(const std::string& family) {
    const FamilyDefaults* row = defaultsOf(family);
    return row ? row->firmware : "";
}

}  // namespace krzlab
