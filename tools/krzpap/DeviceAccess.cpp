#include "DeviceAccess.h"

#include "core/KRZPAPModule.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

namespace krzpap {

in_addr parseAddress(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1 || address.s_addr == INADDR_NONE ||
        address.s_addr == INADDR_ANY) {
        throw CommandError(EXIT_USAGE, "not a device address: \"" + escapeText(text) +
                                           "\" (give dotted IPv4, e.g. 192.168.77.10, or "
                                           "http://ADDRESS[:PORT])");
    }
    return address;
}

bool splitHttpUrl(const std::string& text, std::string& host, int& port, std::string& path) {
    const std::string scheme = "http://";
    if (text.rfind("https://", 0) == 0) {
        throw CommandError(EXIT_USAGE,
                           "krzpap speaks plain HTTP only, as the devices' admin "
                           "pages do; give http://...");
    }
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
            throw CommandError(EXIT_USAGE,
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
    if (splitHttpUrl(address, host, urlPort, path)) {
        if (path != "/") {
            throw CommandError(EXIT_USAGE, "a device is its address, not a page: give " +
                                               escapeText("http://" + host) + ", without \"" +
                                               escapeText(path) + "\"");
        }
        if (port != 0 && urlPort != 0 && port != urlPort) {
            throw CommandError(EXIT_USAGE, "two ports for one device: " + std::to_string(urlPort) +
                                               " in the address and " + std::to_string(port) +
                                               " with --port; give one");
        }
        address = host;
        port = port != 0 ? port : urlPort;
    }
    in_addr parsed = parseAddress(address);
    if (port != 0)
        KRZNetworkBackend::redirectPort(parsed, 80, static_cast<uint16_t>(port));
    return parsed;
}

std::string dotted(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool usableAdapter(unsigned long ip) {
    return ip != 0xFFFFFFFFul && ip != 0 && (ip >> 24) != 127 && (ip >> 16) != 0xA9FE;
}

KRZMacAddress parseMac(const std::string& text) {
    KRZMacAddress mac;
    try {
        mac = KRZMacAddress::fromUtf8String(text);
    } catch (const KRZException&) {
        throw CommandError(EXIT_USAGE, "not a MAC address: \"" + escapeText(text) +
                                           "\" (give 12 hexadecimal digits, e.g. "
                                           "02:00:5e:10:00:01)");
    }
    if (mac.toUint64() == 0) {
        throw CommandError(EXIT_USAGE, "the MAC " + escapeText(text) +
                                           " is all zeros and names no device; give the "
                                           "device's own MAC ('krzpap scan' lists them)");
    }
    return mac;
}

CommandError describeDeviceError(const KRZPDeviceError& e) {
    std::string address = dotted(e.address());
    switch (e.code()) {
        case KRZP_DEVICE_NOTHING_ANSWERED:
            return CommandError(EXIT_UNREACHABLE, "nothing answers at " + address +
                                                      ": no device holds that address on this "
                                                      "network ('krzpap scan' lists the devices)");
        case KRZP_DEVICE_SEVERAL: {
            std::string macs;
            for (const KRZPDeviceSighting& device : e.devices())
                macs += (macs.empty() ? "" : ", ") + narrow(device.mac.toHexString());
            return CommandError(EXIT_ERROR, "several devices answer at " + address + " (MACs " +
                                                macs + "); give the one you mean with --mac");
        }
        case KRZP_DEVICE_NO_WEB_SERVER:
            return CommandError(EXIT_UNREACHABLE,
                                std::string(e.what()) +
                                    ": nothing listens on port 80, or the device closed the "
                                    "connection before replying; 'krzpap fetch " +
                                    address + " /' shows what it sends");
        case KRZP_DEVICE_NOT_RECOGNIZED: {
            // A module that failed on the page is the likelier cause than a missing one.
            const std::string failed = failedRecognizers();
            if (!failed.empty())
                return CommandError(EXIT_NOTHING_FOUND, std::string(e.what()) + ": " + failed);
            return CommandError(EXIT_NOTHING_FOUND,
                                std::string(e.what()) + "; 'krzpap fetch " + address +
                                    " /' shows its page, and --modules loads other modules");
        }
        case KRZP_DEVICE_BAD_NAME:
            return CommandError(EXIT_USAGE, e.what());
        default:
            return CommandError(EXIT_UNREACHABLE, e.what());
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

CommandError describeFailure(const KRZPAPCException& e, const std::string& what) {
    // The source unit, line and system error number stay in the log; the user gets the cause.
    KRZPAPModule::log(KRZ_LOG_ERROR, L"krzpap: %hs failed: %s\n", what.c_str(),
                      e.getLogLine().c_str());
    switch (e.getAPCErrorCode()) {
        case KRZPAPC_NO_ROUTE:
            return CommandError(EXIT_UNREACHABLE, what +
                                                      " failed: nothing answers at that "
                                                      "address on this network; check the "
                                                      "address with 'krzpap scan'");
        case KRZPAPC_CONNECT_ERROR:
            if (e.getMsError() == WSAECONNREFUSED) {
                return CommandError(EXIT_UNREACHABLE,
                                    what +
                                        " failed: the device refuses connections on that "
                                        "port (no web server listens there)");
            }
            return CommandError(EXIT_UNREACHABLE,
                                what +
                                    " failed: the device cannot be reached; check that it is "
                                    "switched on and the address is right");
        case KRZPAPC_NOT_CONNECTED:
        case KRZPAPC_IO_ERROR:
            // The connection refused for a reply past the bound: the device did not stop sending.
            if (size_t at = std::string(e.what()).find("Reply refused: "); at != std::string::npos)
                return CommandError(EXIT_ERROR, what +
                                                    " failed: the device's reply was too large (" +
                                                    std::string(e.what()).substr(at + 15) +
                                                    "; a page that never ends)");
            return CommandError(EXIT_UNREACHABLE,
                                what +
                                    " failed: the device broke off the connection; try again "
                                    "in a moment (it may be restarting)");
        case KRZPAPC_NO_CONNECTIVITY:
            return CommandError(EXIT_UNREACHABLE,
                                what + " failed: no usable network adapter reached any device");
        case KRZPAPC_TIMEOUT:
            return CommandError(EXIT_UNREACHABLE,
                                what +
                                    " failed: the device did not answer in time; try again, "
                                    "or give a longer --timeout where the command has one");
        case KRZPAPC_AUTH_ERROR: {
            const std::string notice = takeLoginNotice();
            if (!notice.empty())
                return CommandError(EXIT_LOGIN_FAILED, what +
                                                           " failed: the device refuses logins "
                                                           "for now, " +
                                                           escapeText(notice));
        }
            return CommandError(EXIT_LOGIN_FAILED,
                                what +
                                    " failed: the device refused the credentials; give the "
                                    "right ones with --user and --password");
        case KRZPAPC_PARSE_ERROR:
            return CommandError(EXIT_ERROR,
                                what +
                                    " failed: the device's reply was not what its module "
                                    "expects (a malformed page, or a setting this model does "
                                    "not have)");
        case KRZPAPC_CANCELLED:
            return CommandError(EXIT_CANCELLED, what + " was cancelled");
        case KRZPAPC_SCAN_IN_PROGRESS:
            return CommandError(EXIT_ERROR, what + " failed: another scan is running");
        case KRZPAPC_SOCKET_ERROR:
            return CommandError(EXIT_ERROR, what +
                                                " failed: this computer could not open a "
                                                "network connection (out of resources?)");
        default:
            return CommandError(EXIT_ERROR, what + " failed unexpectedly; the log " +
                                                std::string("has the details"));
    }
}

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
    throw CommandError(EXIT_USAGE, "unknown mode \"" + name + "\"");
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

}  // namespace krzpap
