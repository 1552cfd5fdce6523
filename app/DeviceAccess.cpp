#include "app/DeviceAccess.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPHttpScanner.h"
#include "http/KRZPAPComm.h"
#include "krzutil/KRZMiscUtil.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

#include <mutex>

namespace krzpapp {

std::string narrow(const std::wstring& text) {
    return KRZMiscUtil::tstringToUtf8String(text, KRZ_CONVERSION_REPLACE);
}

std::wstring widen(const std::string& text) {
    return KRZMiscUtil::utf8StringToTstring(text, KRZ_CONVERSION_LATIN1_FALLBACK);
}

std::string escapeText(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        bool c1 = c == 0xC2 && i + 1 < text.size() &&
                  static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                  static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c1) {
            c = static_cast<unsigned char>(text[++i]);  // U+0080..U+009F, by its code point
        } else if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace krzpapp

namespace krzpap {

in_addr parseAddress(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1 || address.s_addr == INADDR_NONE ||
        address.s_addr == INADDR_ANY) {
        throw Error(ErrorKind::BadRequest,
                    "not a device address: \"" + escapeText(text) +
                        "\" (give dotted IPv4, e.g. 192.168.77.10, or http://ADDRESS[:PORT])",
                    "address");
    }
    return address;
}

}  // namespace krzpap

namespace krzpapp {

bool splitDeviceUrl(const std::string& text, std::string& host, int& port, std::string& path,
                    bool& https) {
    https = text.rfind("https://", 0) == 0;
    const std::string scheme = https ? "https://" : "http://";
    if (text.rfind(scheme, 0) != 0)
        return false;
    std::string rest = text.substr(scheme.size());
    size_t slash = rest.find('/');
    host = rest.substr(0, slash);
    path = slash == std::string::npos ? "/" : rest.substr(slash);
    port = 0;
    size_t colon = host.find(':');
    if (colon != std::string::npos) {
        std::string digits = host.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) < 1 ||
            std::stoi(digits) > 65535) {
            throw Error(ErrorKind::BadRequest,
                        "not a port: \"" + escapeText(digits) + "\" in " + escapeText(text));
        }
        port = std::stoi(digits);
        host = host.substr(0, colon);
    }
    return true;
}

in_addr takeDeviceAddress(std::string& address, int port) {
    std::string host, path;
    int urlPort = 0;
    bool https = false;
    if (splitDeviceUrl(address, host, urlPort, path, https)) {
        if (path != "/") {
            throw Error(ErrorKind::BadRequest,
                        "a device is its address, not a page: give " +
                            escapeText((https ? "https://" : "http://") + host) + ", without \"" +
                            escapeText(path) + "\"");
        }
        if (port != 0 && urlPort != 0 && port != urlPort) {
            throw Error(ErrorKind::BadRequest,
                        "two ports for one device: " + std::to_string(urlPort) +
                            " in the address and " + std::to_string(port) +
                            " with --port; give one");
        }
        address = host;
        port = port != 0 ? port : urlPort;
        if (https && port == 0)
            port = 443;
    }
    in_addr parsed = krzpap::parseAddress(address);
    if (port != 0)
        KRZNetworkBackend::redirectPort(parsed, 80, static_cast<uint16_t>(port));
    if (https)
        KRZPAPComm::setTlsFor(parsed, static_cast<unsigned short>(port), true);
    return parsed;
}

std::string dotted(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

}  // namespace krzpapp

namespace krzpap {

bool usableAdapter(unsigned long ip) {
    return ip != 0xFFFFFFFFul && ip != 0 && (ip >> 24) != 127 && (ip >> 16) != 0xA9FE;
}

KRZMacAddress parseMac(const std::string& text) {
    KRZMacAddress mac;
    try {
        mac = KRZMacAddress::fromUtf8String(text);
    } catch (const KRZException&) {
        throw Error(ErrorKind::BadRequest,
                    "not a MAC address: \"" + escapeText(text) +
                        "\" (give 12 hexadecimal digits, e.g. 02:00:5e:10:00:01)",
                    "mac");
    }
    if (mac.toUint64() == 0) {
        throw Error(ErrorKind::BadRequest,
                    "the MAC " + escapeText(text) +
                        " is all zeros and names no device; give the device's own MAC ('krzpap "
                        "scan' lists them)",
                    "mac");
    }
    return mac;
}

Error describeDeviceError(const KRZPDeviceError& e) {
    std::string address = dotted(e.address());
    switch (e.code()) {
        case KRZP_DEVICE_NOTHING_ANSWERED:
            return Error(ErrorKind::Unreachable, "nothing answers at " + address +
                                                     ": no device holds that address on this "
                                                     "network ('krzpap scan' lists the devices)");
        case KRZP_DEVICE_SEVERAL: {
            std::string macs;
            for (const KRZPDeviceSighting& device : e.devices())
                macs += (macs.empty() ? "" : ", ") + narrow(device.mac.toHexString());
            return Error(ErrorKind::Other,
                         "several devices answer at " + address + " (MACs " + macs + ")", "mac",
                         Advice::GiveMac);
        }
        case KRZP_DEVICE_NO_WEB_SERVER:
            return Error(ErrorKind::Unreachable,
                         std::string(e.what()) +
                             ": nothing listens on port 80, or the device closed the "
                             "connection before replying; 'krzpap fetch " +
                             address + " /' shows what it sends");
        case KRZP_DEVICE_NOT_RECOGNIZED: {
            // A module that failed on the page is the likelier cause than a missing one.
            Error failure(ErrorKind::NotRecognized, e.what(), "", Advice::ChooseModules, address);
            failure.recognizerFailures = takeRecognizerFailures();
            return failure;
        }
        case KRZP_DEVICE_BAD_NAME:
            return Error(ErrorKind::BadRequest, e.what());
        default:
            return Error(ErrorKind::Unreachable, e.what());
    }
}

namespace {

// A service whose cancel Ctrl-C reaches, for as long as the hook may fire.
boost::shared_ptr<KRZPDeviceService> cancellableService(CancelHook& cancel) {
    auto service = boost::make_shared<KRZPDeviceService>();
    cancel.set([service] { service->cancel(); });
    return service;
}

KRZMacAddress optionalMac(const std::string& macText) {
    return macText.empty() ? KRZMacAddress() : parseMac(macText);
}

}  // namespace

void carryToDevice(const in_addr& address, const std::string& macText, CancelHook& cancel) {
    KRZMacAddress mac = optionalMac(macText);
    try {
        cancellableService(cancel)->reach(dotted(address), mac);
    } catch (const KRZPDeviceError& e) {
        throw describeDeviceError(e);
    }
}

boost::shared_ptr<KRZPAPConfigurator> recognizeDevice(const in_addr& address,
                                                      const std::string& macText,
                                                      CancelHook& cancel) {
    KRZMacAddress mac = optionalMac(macText);
    try {
        return cancellableService(cancel)->open(dotted(address), mac);
    } catch (const KRZPDeviceError& e) {
        throw describeDeviceError(e);
    }
}

}  // namespace krzpap

namespace krzpapp {

using krzpap::takeLoginNotice;

Error describeFailure(const KRZPAPCException& e, const std::string& what) {
    // The source unit, line and system error number stay in the log; the user gets the cause.
    KRZPAPModule::log(KRZ_LOG_ERROR, L"krzpap: %hs failed: %s\n", what.c_str(),
                      e.getLogLine().c_str());
    // A TLS failure or a refused certificate says itself what went wrong, in a sentence.
    const std::string said = narrow(e.getMessage());
    if ((e.getAPCErrorCode() == KRZPAPC_CONNECT_ERROR || e.getAPCErrorCode() == KRZPAPC_IO_ERROR) &&
        said.rfind("the ", 0) == 0)
        return Error(ErrorKind::Unreachable, what + " failed: " + said);
    switch (e.getAPCErrorCode()) {
        case KRZPAPC_NO_ROUTE:
            return Error(ErrorKind::Unreachable, what +
                                                     " failed: nothing answers at that "
                                                     "address on this network; check the "
                                                     "address with 'krzpap scan'");
        case KRZPAPC_CONNECT_ERROR:
            if (e.getMsError() == WSAECONNREFUSED) {
                return Error(ErrorKind::Unreachable,
                             what +
                                 " failed: the device refuses connections on that "
                                 "port (no web server listens there)");
            }
            return Error(ErrorKind::Unreachable,
                         what +
                             " failed: the device cannot be reached; check that it is "
                             "switched on and the address is right");
        case KRZPAPC_NOT_CONNECTED:
        case KRZPAPC_IO_ERROR:
            // The connection refused for a reply past the bound: the device did not stop sending.
            if (size_t at = std::string(e.what()).find("Reply refused: "); at != std::string::npos)
                return Error(ErrorKind::DeviceFailed,
                             what + " failed: the device's reply was too large (" +
                                 std::string(e.what()).substr(at + 15) +
                                 "; a page that never ends)");
            return Error(ErrorKind::Unreachable,
                         what +
                             " failed: the device broke off the connection; try again "
                             "in a moment (it may be restarting)");
        case KRZPAPC_NO_CONNECTIVITY:
            return Error(ErrorKind::Unreachable,
                         what + " failed: no usable network adapter reached any device");
        case KRZPAPC_TIMEOUT:
            return Error(ErrorKind::Unreachable,
                         what + " failed: the device did not answer in time", "",
                         Advice::TryLonger);
        case KRZPAPC_AUTH_ERROR: {
            const std::string notice = takeLoginNotice();
            if (!notice.empty()) {
                Error locked(
                    ErrorKind::LoginLocked,
                    what + " failed: the device refuses logins for now, " + escapeText(notice));
                locked.deviceWords = notice;
                return locked;
            }
        }
            return Error(ErrorKind::LoginRefused,
                         what + " failed: the device refused the credentials", "password",
                         Advice::GiveCredentials);
        case KRZPAPC_PARSE_ERROR:
            return Error(ErrorKind::DeviceFailed,
                         what +
                             " failed: the device's reply was not what its module "
                             "expects (a malformed page, or a setting this model does "
                             "not have)");
        case KRZPAPC_CANCELLED:
            return Error(ErrorKind::Cancelled, what + " was cancelled");
        case KRZPAPC_SCAN_IN_PROGRESS:
            return Error(ErrorKind::Other, what + " failed: another scan is running");
        case KRZPAPC_SOCKET_ERROR:
            return Error(ErrorKind::Other, what +
                                               " failed: this computer could not open a "
                                               "network connection (out of resources?)");
        default:
            return Error(ErrorKind::Other,
                         what + " failed unexpectedly; the log " + std::string("has the details"));
    }
}

}  // namespace krzpapp

namespace krzpap {

namespace {

std::mutex g_noticeMutex;
std::string g_loginNotice;

std::string lineFrom(const std::wstring& text, size_t at) {
    std::string what = narrow(text.substr(at));
    while (!what.empty() && (what.back() == '\n' || what.back() == '\r'))
        what.pop_back();
    return what;
}

}  // namespace

std::string takeLoginNotice() {
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    std::string notice;
    notice.swap(g_loginNotice);
    return notice;
}

std::vector<krzpapp::RecognizerFailure> takeRecognizerFailures() {
    std::vector<krzpapp::RecognizerFailure> failures;
    for (const KRZPRecognizerFailure& failure : KRZPHttpScanner::takeRecognizerFailures())
        failures.push_back(
            {narrow(failure.module), static_cast<int>(failure.replies), failure.reason});
    return failures;
}

}  // namespace krzpap

namespace krzpapp {

namespace {
struct ModeName {
    int value;
    const char* name;
};
const ModeName kSecurityModes[] = {
    {KRZP_SECURITY_UNSET, "unknown"},     {KRZP_SECURITY_NONE, "none"},
    {KRZP_SECURITY_WEP, "wep"},           {KRZP_SECURITY_WPA_PSK, "wpa-psk"},
    {KRZP_SECURITY_WPA2_PSK, "wpa2-psk"}, {KRZP_SECURITY_WPA_WPA2_PSK, "wpa-wpa2-psk"}};
const ModeName kEncryptionModes[] = {
    {KRZP_ENCRYPTION_UNSET, "unknown"},    {KRZP_ENCRYPTION_NONE, "none"},
    {KRZP_ENCRYPTION_WEP64, "wep64"},      {KRZP_ENCRYPTION_WEP128, "wep128"},
    {KRZP_ENCRYPTION_TKIP, "tkip"},        {KRZP_ENCRYPTION_AES, "aes"},
    {KRZP_ENCRYPTION_TKIP_AES, "tkip-aes"}};

template <size_t N>
std::string nameOf(const ModeName (&table)[N], int value) {
    for (const ModeName& m : table) {
        if (m.value == value) {
            return m.name;
        }
    }
    return "mode " + std::to_string(value);
}

template <size_t N>
int valueOf(const ModeName (&table)[N], const std::string& name) {
    for (const ModeName& m : table) {
        if (name == m.name) {
            return m.value;
        }
    }
    throw Error(ErrorKind::BadRequest, "unknown mode \"" + name + "\"");
}
}  // namespace

std::string securityModeName(_KRZPSecurityMode mode) {
    return nameOf(kSecurityModes, mode);
}
std::string encryptionModeName(_KRZPEncryptionMode mode) {
    return nameOf(kEncryptionModes, mode);
}
_KRZPSecurityMode securityModeFromName(const std::string& name) {
    return static_cast<_KRZPSecurityMode>(valueOf(kSecurityModes, name));
}
_KRZPEncryptionMode encryptionModeFromName(const std::string& name) {
    return static_cast<_KRZPEncryptionMode>(valueOf(kEncryptionModes, name));
}

void noteLogLine(const std::wstring& text) {
    for (const wchar_t* mark : {L": login locked: ", L": login needs a captcha: "}) {
        size_t at = text.find(mark);
        if (at != std::wstring::npos) {
            std::lock_guard<std::mutex> lock(krzpap::g_noticeMutex);
            krzpap::g_loginNotice = krzpap::lineFrom(text, at + 2);
        }
    }
}

}  // namespace krzpapp
