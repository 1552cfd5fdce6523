#include "core/KRZPAPConfigurator.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPAPFinder.h"
#include "discovery/KRZPArpAPFinder.h"
#include "krznetlib/KRZVirtualIpLookup.h"
#include "krzutil/KRZMiscUtil.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzplatform.h"

#include <algorithm>
#include <utility>

namespace {

const char* const kUnit = "KRZPAPConfigurator";

// Winsock "host unreachable", attached when no interface reaches the device.
const unsigned int kHostUnreachable = 10065;
const int kLookupTimeoutMs = 1000;
const size_t kMaxSsidLen = 32;

const unsigned int kUsernameFrameText = 527;
const unsigned int kPasswordFrameText = 528;
const unsigned int kSsidFrameText = 529;
const unsigned int kAlnumText = 530;
const unsigned int kAlnumSpaceText = 531;
const unsigned int kAlnumSymbolsText = 532;
const unsigned int kAlnumSpaceSymbolsText = 533;
const int kResourceBufferLen = 256;

const char kAlphanumerics[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The printable characters from `first` to 0x7E without those in `excluded`, in code order.
std::string printableRange(char first, const char* excluded) {
    std::string chars;
    for (char c = first; c <= '~'; ++c) {
        if (std::char_traits<char>::find(excluded, std::char_traits<char>::length(excluded), c) ==
            nullptr) {
            chars.push_back(c);
        }
    }
    return chars;
}

// Punctuation of 0x21..0x7E without the colon: the colon is never named to the user, since the
// Basic authentication of the devices cannot carry it in a user name.
const std::string& symbolSet() {
    static const std::string symbols = [] {
        std::string result;
        for (char c : printableRange('!', ":")) {
            if (std::char_traits<char>::find(kAlphanumerics, sizeof kAlphanumerics - 1, c) ==
                nullptr) {
                result.push_back(c);
            }
        }
        return result;
    }();
    return symbols;
}

bool containsAll(const std::string& valid, const std::string& text) {
    return text.find_first_not_of(valid) == std::string::npos;
}

bool contains(const std::string& valid, char c) {
    return valid.find(c) != std::string::npos;
}

// A numbered string of the host's resource library; empty when the library or the string is
// missing. The library is asked for on every request and never released, as the host expects.
std::wstring resourceString(unsigned int id) {
    HMODULE resources = LoadLibraryW(L"TqvRes.DLL");
    if (resources == nullptr) {
        return std::wstring();
    }
    wchar_t buffer[kResourceBufferLen] = {};
    if (LoadStringW(resources, id, buffer, kResourceBufferLen) <= 0) {
        return std::wstring();
    }
    return std::wstring(buffer);
}

// The sentence naming the characters of `valid`; throws code 5 for sets it cannot describe.
std::wstring charsDescription(const std::string& valid) {
    std::string symbols;
    for (char c : symbolSet()) {
        if (contains(valid, c)) {
            symbols.push_back(c);
        }
    }

    const bool firstIn = contains(valid, kAlphanumerics[0]);
    for (const char* c = kAlphanumerics + 1; *c != '\0'; ++c) {
        if (contains(valid, *c) != firstIn) {
            KRZPAPC_THROW(kUnit, "Has some chars but not all! We don't handle this yet.",
                          KRZPAPC_INTERNAL_ERROR);
        }
    }
    if (!firstIn) {
        KRZPAPC_THROW(kUnit, "Validators that don't allow alphanumerics not implemented!",
                      KRZPAPC_INTERNAL_ERROR);
    }

    const bool space = contains(valid, ' ');
    if (symbols.empty()) {
        return resourceString(space ? kAlnumSpaceText : kAlnumText);
    }
    const std::wstring frame = resourceString(space ? kAlnumSpaceSymbolsText : kAlnumSymbolsText);
    return KRZMiscUtil::formatString(
        frame.c_str(), KRZMiscUtil::ansiStringToTstring(symbols, KRZ_CONVERSION_REPLACE).c_str());
}

}  // namespace

// ---- construction ----

KRZPAPConfigurator::KRZPAPConfigurator()
    : securityMode(KRZP_SECURITY_UNSET), encryptionMode(KRZP_ENCRYPTION_UNSET) {
    addr->s_addr = INADDR_NONE;
}

KRZPAPConfigurator::KRZPAPConfigurator(const KRZPAPConfigurator& other) = default;
KRZPAPConfigurator& KRZPAPConfigurator::operator=(const KRZPAPConfigurator& other) = default;

KRZPAPConfigurator::KRZPAPConfigurator(std::vector<KRZMacAddress> macs, const std::string& user,
                                       const std::string& pass)
    : KRZPAPConfigurator() {
    macAddressList = std::move(macs);
    username = user;
    password = pass;
}

KRZPAPConfigurator::~KRZPAPConfigurator() = default;

// ---- attribute slots ----

bool KRZPAPConfigurator::isAuthenticableAPConfigurator() const {
    return false;
}

std::vector<KRZMacAddress> KRZPAPConfigurator::getMACAddressList() const {
    return macAddressList;
}

std::pair<std::string, std::string> KRZPAPConfigurator::getCredentials() const {
    return std::make_pair(username, password);
}

_KRZPSecurityMode KRZPAPConfigurator::getSecurityMode() const {
    return securityMode;
}

_KRZPEncryptionMode KRZPAPConfigurator::getEncryptionMode() const {
    return encryptionMode;
}

boost::shared_ptr<KRZPKey> KRZPAPConfigurator::getKey() const {
    return key;
}

const in_addr& KRZPAPConfigurator::getAddr() const {
    return *addr;
}

bool KRZPAPConfigurator::isWirelessClient() const {
    return false;
}

void KRZPAPConfigurator::setCredentials(const std::string& newUsername,
                                        const std::string& newPassword) {
    if (usesUsername()) {
        username = newUsername;
    }
    password = newPassword;
}

void KRZPAPConfigurator::setMACAddressList(std::vector<KRZMacAddress> list) {
    macAddressList = std::move(list);
}

int KRZPAPConfigurator::getMinUsernameLen() const {
    return 0;
}
int KRZPAPConfigurator::getMaxUsernameLen() const {
    return 0;
}
int KRZPAPConfigurator::getMinPasswordLen() const {
    return 0;
}

std::string KRZPAPConfigurator::getDescription() const {
    return getVendorName() + " " + getModelName();
}

std::string KRZPAPConfigurator::getFirmwareRevision() const {
    return firmwareRevision;
}

KRZSsid KRZPAPConfigurator::getSSID() const {
    return ssid;
}

KRZPAPFinder* KRZPAPConfigurator::getFinder() {
    return KRZPArpAPFinder::getInstance();
}

void KRZPAPConfigurator::setCredentialsReally(const std::string& newUsername,
                                              const std::string& newPassword) {
    username = newUsername;
    password = newPassword;
}

bool KRZPAPConfigurator::_startConfiguration() {
    return true;
}

bool KRZPAPConfigurator::_completeConfiguration() {
    return true;
}

bool KRZPAPConfigurator::_findAP() {
    bool found = false;
    try {
        KRZPAPFinder* finder = getFinder();
        if (finder != nullptr) {
            found = finder->findAp(*this);
        }
    } catch (const KRZException& e) {
        log(L"KRZPAPConfigurator::_findAP(): ignoring exception: %s\n", e.getLogLine().c_str());
        found = false;
    } catch (...) {
        log(L"KRZPAPConfigurator::_findAP(): ignoring non-KRZ exception.\n");
        found = false;
    }
    return found;
}

unsigned int KRZPAPConfigurator::_getUsernameRequirementsDescription() const {
    return 0;
}
unsigned int KRZPAPConfigurator::_getPasswordRequirementsDescription() const {
    return 0;
}
unsigned int KRZPAPConfigurator::_getSsidRequirementsDescription() const {
    return 0;
}

// ---- public operations ----

// A KRZPAPCException from the step is logged with the operation's name, stamped with the current
// firmware revision and thrown on as the same object; anything else passes untouched.
template <typename Step>
auto KRZPAPConfigurator::runStep(const char* name, Step step) -> decltype(step()) {
    try {
        return step();
    } catch (KRZPAPCException& e) {
        log(L"%hs: Exception: %s\n", name, e.getLogLine().c_str());
        e.setAPCFirmwareRevision(getFirmwareRevision());
        throw;
    }
}

bool KRZPAPConfigurator::testLogin() {
    const char* name = "testLogin()";
    log(L"testLogin()\n");
    bool result = runStep(name, [this] { return _testLogin(); });
    log(L"%hs: returning %d\n", name, result ? 1 : 0);
    return result;
}

void KRZPAPConfigurator::retrieveAttributes() {
    const char* name = "retrieveAttributes()";
    log(L"retrieveAttributes()\n");
    runStep(name, [this] { _retrieveAttributes(); });
    log(L"%hs: returning.\n", name);
}

bool KRZPAPConfigurator::startConfiguration() {
    const char* name = "startConfiguration()";
    log(L"startConfiguration()\n");
    bool result = runStep(name, [this] { return _startConfiguration(); });
    log(L"%hs: returning %d\n", name, result ? 1 : 0);
    return result;
}

bool KRZPAPConfigurator::changeCredentials(const std::string& newUsername,
                                           const std::string& newPassword) {
    const char* name = "changeCredentials()";
    log(L"changeCredentials(username=\"%hs\", password=\"%hs\")\n", newUsername.c_str(),
        newPassword.c_str());
    bool result = runStep(name, [&] { return _changeCredentials(newUsername, newPassword); });
    log(L"%hs: returning %d\n", name, result ? 1 : 0);
    return result;
}

bool KRZPAPConfigurator::changeSSID(const KRZSsid& newSsid) {
    const char* name = "changeSSID()";
    log(L"changeSSID()\n");
    bool result = runStep(name, [&] { return _changeSSID(newSsid); });
    log(L"%hs: returning %d\n", name, result ? 1 : 0);
    return result;
}

bool KRZPAPConfigurator::changeSecurityMode(_KRZPSecurityMode mode,
                                            boost::shared_ptr<KRZPKey> newKey,
                                            _KRZPEncryptionMode encryption) {
    const char* name = "changeSecurityMode()";
    // The key itself never reaches the log.
    log(L"changeSecurityMode(mode=%d, somekey, encr=%d)\n", static_cast<int>(mode),
        static_cast<int>(encryption));
    bool result = runStep(name, [&] { return _changeSecurityMode(mode, newKey, encryption); });
    log(L"%hs: returning %d\n", name, result ? 1 : 0);
    return result;
}

bool KRZPAPConfigurator::completeConfiguration() {
    const char* name = "completeConfiguration()";
    log(L"completeConfiguration()\n");
    bool result = runStep(name, [this] { return _completeConfiguration(); });
    log(L"%hs: returning %d\n", name, result ? 1 : 0);
    return result;
}

_KRZPAPStatus KRZPAPConfigurator::validate() {
    log(L"validate()\n");
    return runStep("validate()", [this] { return _validate(); });
}

bool KRZPAPConfigurator::findAP() {
    const char* name = "findAP()";
    log(L"findAP()\n");
    bool result = runStep(name, [this] { return _findAP(); });
    log(L"%hs: returning %d\n", name, result ? 1 : 0);
    return result;
}

void KRZPAPConfigurator::cancelOperation() {
    const char* name = "cancelOperation()";
    log(L"cancelOperation()\n");
    runStep(name, [this] { _cancelOperation(); });
    log(L"%hs: returning.\n", name);
}

void KRZPAPConfigurator::clearPendingChanges() {
    const char* name = "clearPendingChanges()";
    log(L"clearPendingChanges()\n");
    runStep(name, [this] { _clearPendingChanges(); });
    log(L"%hs: returning.\n", name);
}

// ---- address and interface ----

void KRZPAPConfigurator::setAddr(const in_addr& newAddr) {
    KRZMutexGrabber grabber(mutex, true);
    if (newAddr.s_addr != addr->s_addr) {
        *addr = newAddr;
        _onNewAddr(newAddr);
    }
}

KRZMacAddress KRZPAPConfigurator::getInterface() {
    KRZVirtualIpLookup lookup;
    lookup.setIpAddress(*addr);
    if (lookup.lookup(kLookupTimeoutMs, getMACAddressList())) {
        return lookup.getInterfaceMac();
    }
    KRZPAPCException failure(const_cast<char*>(kUnit), __LINE__, "", KRZPAPC_NO_ROUTE);
    failure.setMsError(kHostUnreachable);
    throw failure;
}

// ---- protected setters ----

void KRZPAPConfigurator::setSecurityMode(_KRZPSecurityMode mode) {
    KRZPAPModule::log(L"KRZPAPConfigurator::setSecurityMode(%d)\n", static_cast<int>(mode));
    securityMode = mode;
}

void KRZPAPConfigurator::setEncryptionMode(_KRZPEncryptionMode mode) {
    KRZPAPModule::log(L"KRZPAPConfigurator::setEncryptionMode(%d)\n", static_cast<int>(mode));
    encryptionMode = mode;
}

void KRZPAPConfigurator::setKey(boost::shared_ptr<KRZPKey> newKey) {
    log(L"KRZPAPConfigurator::setKey(...)\n");
    key = std::move(newKey);
}

void KRZPAPConfigurator::setFirmwareRevision(const std::string& revision) {
    log(L"KRZPAPConfigurator::setFirmwareRevision(\"%hs\")\n", revision.c_str());
    firmwareRevision = revision;
}

void KRZPAPConfigurator::setSSID(const std::string& text) {
    log(L"KRZPAPConfigurator::setSSID(\"%hs\")\n", text.c_str());
    ssid = KRZSsid(text);
}

void KRZPAPConfigurator::setSSID(const KRZSsid& newSsid) {
    ssid = newSsid;
}

void KRZPAPConfigurator::addMACAddress(const KRZMacAddress& mac) {
    KRZMutexGrabber grabber(mutex, true);
    KRZPAPModule::log(L"KRZPAPConfigurator::addMACAddress(\"%s\")\n", mac.toHexString().c_str());
    if (std::find(macAddressList.begin(), macAddressList.end(), mac) == macAddressList.end()) {
        macAddressList.push_back(mac);
    }
}

void KRZPAPConfigurator::addMACAddress(const std::string& mac) {
    addMACAddress(KRZMacAddress::fromUtf8String(mac));
}

void KRZPAPConfigurator::clearMACAddressList() {
    macAddressList.clear();
}

std::string KRZPAPConfigurator::normalizeMAC(const std::string& mac) const {
    std::string digits;
    for (char c : mac) {
        int value = krzHexDigitValue(c);
        if (value >= 0) {
            digits.push_back("0123456789abcdef"[value]);
        }
    }
    if (digits.size() != 12) {
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
    return digits;
}

// ---- log ----

void KRZPAPConfigurator::log(const wchar_t* format, ...) const {
    va_list args;
    va_start(args, format);
    _log(format, args);
    va_end(args);
}

void KRZPAPConfigurator::log(const std::wstring& text) const {
    const std::string description = getDescription();
    const std::string dotted = inet_ntoa(getAddr());
    KRZPAPModule::log(KRZMiscUtil::formatString(L"%hs(%hs): %s", description.c_str(),
                                                dotted.c_str(), text.c_str()),
                      KRZ_LOG_TRACE);
}

void KRZPAPConfigurator::_log(const wchar_t* format, va_list args) const {
    log(KRZMiscUtil::varargToString(format, args, false));
}

// ---- validators and character sets ----

_KRZPStringValidatorCode KRZPAPConfigurator::validateUsername(const std::string& text) const {
    if (!containsAll(getValidUsernameChars(), text)) {
        return KRZP_SV_BAD_CHARS;
    }
    const long long length = static_cast<long long>(text.size());
    if (length > getMaxUsernameLen()) {
        return KRZP_SV_TOO_LONG;
    }
    if (length < getMinUsernameLen()) {
        return KRZP_SV_TOO_SHORT;
    }
    return KRZP_SV_OK;
}

_KRZPStringValidatorCode KRZPAPConfigurator::validatePassword(const std::string& text) const {
    if (!containsAll(getValidPasswordChars(), text)) {
        return KRZP_SV_BAD_CHARS;
    }
    const long long length = static_cast<long long>(text.size());
    if (length > getMaxPasswordLen()) {
        return KRZP_SV_TOO_LONG;
    }
    if (length < getMinPasswordLen()) {
        return KRZP_SV_TOO_SHORT;
    }
    return KRZP_SV_OK;
}

_KRZPStringValidatorCode KRZPAPConfigurator::validateSsid(const std::string& text) const {
    // Taken from the first configurator that validates an SSID and kept for the process.
    static const std::string validChars = getValidSsidChars();
    if (text.size() > kMaxSsidLen) {
        return KRZP_SV_TOO_LONG;
    }
    if (text.empty()) {
        return KRZP_SV_TOO_SHORT;
    }
    if (!containsAll(validChars, text)) {
        return KRZP_SV_BAD_CHARS;
    }
    return KRZP_SV_OK;
}

std::string KRZPAPConfigurator::getValidUsernameChars() const {
    return printableRange('!', ":");
}

std::string KRZPAPConfigurator::getValidPasswordChars() const {
    return printableRange('!', ":");
}

std::string KRZPAPConfigurator::getValidSsidChars() const {
    return printableRange(' ', "");
}

std::string KRZPAPConfigurator::getValidUsernameCharsRestrictive() const {
    return kAlphanumerics;
}

std::string KRZPAPConfigurator::getValidPasswordCharsRestrictive() const {
    return printableRange('!', "\"%&:<>\\");
}

std::string KRZPAPConfigurator::getValidSsidCharsRestrictive() const {
    return printableRange(' ', "\"%&'<>\\");
}

// ---- requirement descriptions ----

std::wstring KRZPAPConfigurator::getUsernameRequirementsDescription() const {
    return requirementsDescription(_getUsernameRequirementsDescription(),
                                   &KRZPAPConfigurator::getValidUsernameChars, kUsernameFrameText);
}

std::wstring KRZPAPConfigurator::getPasswordRequirementsDescription() const {
    return requirementsDescription(_getPasswordRequirementsDescription(),
                                   &KRZPAPConfigurator::getValidPasswordChars, kPasswordFrameText);
}

std::wstring KRZPAPConfigurator::getSsidRequirementsDescription() const {
    return requirementsDescription(_getSsidRequirementsDescription(),
                                   &KRZPAPConfigurator::getValidSsidChars, kSsidFrameText);
}

std::wstring KRZPAPConfigurator::requirementsDescription(unsigned int readyMade,
                                                         ValidCharsSlot validChars,
                                                         unsigned int frameId) const {
    if (readyMade != 0) {
        return resourceString(readyMade);
    }
    const std::wstring frame = resourceString(frameId);
    const std::wstring chars = charsDescription((this->*validChars)());
    return KRZMiscUtil::formatString(frame.c_str(), chars.c_str());
}
