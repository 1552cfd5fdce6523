#include "DeviceAccess.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPArpScanner.h"
#include "discovery/KRZPHttpScanner.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krznetlib/KRZVirtualIpLookup.h"

namespace krzpap {

in_addr parseAddress(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1 || address.s_addr == INADDR_NONE ||
        address.s_addr == INADDR_ANY) {
        throw CommandError(EXIT_USAGE, "not a device address: \"" + text +
                                           "\" (give dotted IPv4, e.g. 192.168.77.10)");
    }
    return address;
}

std::string dotted(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool usableAdapter(unsigned long ip) {
    return ip != 0xFFFFFFFFul && ip != 0 && (ip >> 24) != 127 && (ip >> 16) != 0xA9FE;
}

namespace {

// The device's MAC address from an ARP request on each usable adapter.
bool arpLookup(const in_addr& address, KRZMacAddress& mac, CancelHook& cancel) {
    auto adapters = KRZAdapterInfo::getAdapterInfo();
    for (const KRZAdapterInfo& adapter : *adapters) {
        if (!usableAdapter(adapter.getIpAddress())) {
            continue;
        }
        boost::shared_ptr<KRZPArpScanner> arp = KRZPArpScanner::createInstance();
        cancel.set([arp] { arp->cancel(); });
        arp->setInterface(adapter);
        arp->addIp(address);
        ArpResponseMap answers = arp->getAllResponses(2000);
        auto it = answers->find(address.s_addr);
        if (it != answers->end()) {
            mac = it->second;
            return true;
        }
    }
    return false;
}

bool onSomeAdapterNetwork(const in_addr& address) {
    unsigned long ip = ntohl(address.s_addr);
    auto adapters = KRZAdapterInfo::getAdapterInfo();
    for (const KRZAdapterInfo& adapter : *adapters) {
        if (usableAdapter(adapter.getIpAddress()) &&
            ((ip ^ adapter.getIpAddress()) & adapter.getMask()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

void carryToDevice(const in_addr& address, const std::string& macText, CancelHook& cancel) {
    KRZMacAddress mac;
    if (!macText.empty()) {
        try {
            mac = KRZMacAddress::fromUtf8String(macText);
        } catch (const KRZException&) {
            throw CommandError(EXIT_USAGE, "not a MAC address: \"" + macText +
                                               "\" (give 12 hexadecimal digits, e.g. "
                                               "02:00:5e:10:00:01)");
        }
    } else if ((ntohl(address.s_addr) >> 24) == 127 || onSomeAdapterNetwork(address) ||
               !arpLookup(address, mac, cancel)) {
        return;  // the kernel's routes reach it, or nothing does (said when connecting)
    }
    KRZVirtualIpLookup lookup;
    lookup.setIpAddress(address);
    if (!lookup.lookup(2000, {mac})) {
        throw CommandError(EXIT_UNREACHABLE, "no device with MAC " + narrow(mac.toHexString()) +
                                                 " answers at " + dotted(address) +
                                                 " on any usable adapter");
    }
    KRZNetworkBackend::carryTo(address, lookup.getInterfaceMac(), mac);
}

boost::shared_ptr<KRZPAPConfigurator> recognizeDevice(const in_addr& address, CancelHook& cancel) {
    KRZMacAddress mac, interfaceMac;
    if (!KRZNetworkBackend::carriedTo(address, interfaceMac, mac) &&
        !arpLookup(address, mac, cancel)) {
        throw CommandError(EXIT_UNREACHABLE, "nothing answers at " + dotted(address) +
                                                 ": no device holds that address on this "
                                                 "network ('krzpap scan' lists the devices)");
    }
    auto scanner = boost::shared_ptr<KRZPHttpScanner>(new KRZPHttpScanner());
    cancel.set([scanner] { scanner->cancel(); });
    in_addr probed = address;
    int replies = scanner->scanForThisAP(probed, mac);
    KRZPAPConfiguratorList found = scanner->getAPList();
    if (found.empty()) {
        if (replies == 0) {
            throw CommandError(EXIT_UNREACHABLE,
                               "no web server answers at " + dotted(address) + " (MAC " +
                                   narrow(mac.toHexString()) +
                                   "): nothing listens on port 80, or the device closed the "
                                   "connection before replying; 'krzpap fetch " +
                                   dotted(address) + " /' shows what it sends");
        }
        throw CommandError(EXIT_NOTHING_FOUND,
                           "no module recognizes the device at " + dotted(address) + " (MAC " +
                               narrow(mac.toHexString()) + "); 'krzpap fetch " + dotted(address) +
                               " /' shows its page, and --modules loads other modules");
    }
    return found.front();
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
        case KRZPAPC_AUTH_ERROR:
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
