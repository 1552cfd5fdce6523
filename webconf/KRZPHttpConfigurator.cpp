#include "webconf/KRZPHttpConfigurator.h"

#include "http/KRZPAPComm.h"
#include "http/KRZPFormParams.h"
#include "platform/krzplatform.h"

#include <chrono>
#include <string>
#include <utility>

namespace {

const char* const kUnit = "KRZPHTTPConfigurator";
const unsigned short kHttpPort = 80;
const int kUnreachableRetryMs = 2000;

// Handed out by the lookups for a missing name; lives as long as the process.
const std::string& emptyString() {
    static const std::string empty;
    return empty;
}

bool isUnauthorized(const std::string& headers) {
    return headers.find(" 401 ") != std::string::npos;
}

bool isTimeout(const KRZPAPCException& e) {
    return e.getAPCErrorCode() == KRZPAPC_TIMEOUT;
}

// The send operations hold their own reference, so that an address change on another thread
// cannot free the connection under a running request. No connection object (no address yet)
// fails as setupConnection does.
boost::shared_ptr<KRZPAPComm> requireConnection(const boost::shared_ptr<KRZPAPComm>& connection) {
    if (!connection) {
        KRZPAPC_THROW(kUnit, "", KRZPAPC_NOT_CONNECTED);
    }
    return connection;
}

}  // namespace

// ---- construction ----

KRZPHttpConfigurator::KRZPHttpConfigurator(const in_addr& address, const KRZMacAddress& mac)
    : KRZPAPConfigurator(),
      ssidChanged(false),
      credentialsChanged(false),
      securityModeChanged(false),
      newSecurityMode(KRZP_SECURITY_UNSET),
      newEncryptionMode(KRZP_ENCRYPTION_UNSET),
      cancelEvent(std::wstring(), true, false, false, nullptr) {
    setAddr(address);
    addMACAddress(mac);
}

KRZPHttpConfigurator::KRZPHttpConfigurator(std::vector<KRZMacAddress> macs, const std::string& user,
                                           const std::string& pass)
    : KRZPAPConfigurator(std::move(macs), user, pass),
      ssidChanged(false),
      credentialsChanged(false),
      securityModeChanged(false),
      newSecurityMode(KRZP_SECURITY_UNSET),
      newEncryptionMode(KRZP_ENCRYPTION_UNSET),
      cancelEvent(std::wstring(), true, false, false, nullptr) {}

KRZPHttpConfigurator::KRZPHttpConfigurator(const KRZPHttpConfigurator& other) = default;
KRZPHttpConfigurator& KRZPHttpConfigurator::operator=(const KRZPHttpConfigurator& other) = default;

KRZPHttpConfigurator::~KRZPHttpConfigurator() {}

std::string KRZPHttpConfigurator::getAdminPageUrl() const {
    const char* dotted = inet_ntoa(getAddr());
    return std::string("http://") + (dotted ? dotted : "") + "/";
}

// ---- address, login, status ----

void KRZPHttpConfigurator::_onNewAddr(const in_addr& address) {
    // A fresh object: credentials, cookies and the MAC pair of the old address do not carry over.
    connection.reset(new KRZPAPComm(address));
}

bool KRZPHttpConfigurator::_testLogin() {
    setupConnection();
    boost::shared_ptr<KRZPAPComm> comm = connection;
    comm->openConnection(kHttpPort, false);
    comm->writeGetRequest("/");
    comm->readResponseSynchronous();
    return !isUnauthorized(comm->getResponseHeaders());
}

_KRZPAPStatus KRZPHttpConfigurator::_validate() {
    try {
        return _testLogin() ? KRZP_AP_OK : KRZP_AP_LOGIN_FAILED;
    } catch (const KRZPAPCException& e) {
        KRZPAPCErrorCode code = e.getAPCErrorCode();
        if (code == KRZPAPC_CONNECT_ERROR || code == KRZPAPC_NOT_CONNECTED) {
            return KRZP_AP_UNREACHABLE;
        }
        return KRZP_AP_ERROR;
    }
}

// ---- pending changes ----

bool KRZPHttpConfigurator::_startConfiguration() {
    ssidChanged = false;
    credentialsChanged = false;
    securityModeChanged = false;
    return true;
}

// The change operations only record; the device module writes them later, so the host sees false.
bool KRZPHttpConfigurator::_changeCredentials(const std::string& user, const std::string& pass) {
    newUsername = user;
    newPassword = pass;
    credentialsChanged = true;
    return false;
}

bool KRZPHttpConfigurator::_changeSSID(const KRZSsid& name) {
    newSsid = name.getBytes();
    ssidChanged = true;
    return false;
}

bool KRZPHttpConfigurator::_changeSecurityMode(_KRZPSecurityMode mode,
                                               boost::shared_ptr<KRZPKey> wirelessKey,
                                               _KRZPEncryptionMode encryption) {
    newSecurityMode = mode;
    newKey = wirelessKey;
    newEncryptionMode = encryption;
    securityModeChanged = true;
    return false;
}

void KRZPHttpConfigurator::_clearPendingChanges() {
    ssidChanged = false;
    credentialsChanged = false;
    securityModeChanged = false;
}

bool KRZPHttpConfigurator::getSsidChanged() const {
    return ssidChanged;
}
void KRZPHttpConfigurator::setSsidChanged(bool changed) {
    ssidChanged = changed;
}
const std::string& KRZPHttpConfigurator::getNewSsid() const {
    return newSsid;
}
void KRZPHttpConfigurator::setNewSsid(const std::string& name) {
    newSsid = name;
}
bool KRZPHttpConfigurator::getCredentialsChanged() const {
    return credentialsChanged;
}
void KRZPHttpConfigurator::setCredentialsChanged(bool changed) {
    credentialsChanged = changed;
}
const std::string& KRZPHttpConfigurator::getNewUsername() const {
    return newUsername;
}
void KRZPHttpConfigurator::setNewUsername(const std::string& user) {
    newUsername = user;
}
const std::string& KRZPHttpConfigurator::getNewPassword() const {
    return newPassword;
}
void KRZPHttpConfigurator::setNewPassword(const std::string& pass) {
    newPassword = pass;
}
bool KRZPHttpConfigurator::getSecurityModeChanged() const {
    return securityModeChanged;
}
void KRZPHttpConfigurator::setSecurityModeChanged(bool changed) {
    securityModeChanged = changed;
}
_KRZPSecurityMode KRZPHttpConfigurator::getNewSecurityMode() const {
    return newSecurityMode;
}
void KRZPHttpConfigurator::setNewSecurityMode(_KRZPSecurityMode mode) {
    newSecurityMode = mode;
}
boost::shared_ptr<KRZPKey> KRZPHttpConfigurator::getNewKey() const {
    return newKey;
}
void KRZPHttpConfigurator::setNewKey(boost::shared_ptr<KRZPKey> wirelessKey) {
    newKey = wirelessKey;
}
_KRZPEncryptionMode KRZPHttpConfigurator::getNewEncryptionMode() const {
    return newEncryptionMode;
}
void KRZPHttpConfigurator::setNewEncryptionMode(_KRZPEncryptionMode mode) {
    newEncryptionMode = mode;
}
boost::shared_ptr<KRZPAPComm> KRZPHttpConfigurator::getComm() const {
    return connection;
}

// ---- cancellation ----

bool KRZPHttpConfigurator::getCancel() {
    return cancelEvent.isSignaled(0);
}

void KRZPHttpConfigurator::setCancel(bool cancel) {
    if (cancel) {
        cancelEvent.setEvent();
    } else {
        cancelEvent.resetEvent();
    }
}

// Runs on the host's other thread: touches only the event and the connection's flag, both of
// which the running operation polls.
void KRZPHttpConfigurator::_cancelOperation() {
    cancelEvent.setEvent();
    boost::shared_ptr<KRZPAPComm> comm = connection;
    if (comm) {
        comm->setCancel(true);
    }
}

void KRZPHttpConfigurator::sleep(int milliseconds) {
    unsigned long wait = milliseconds > 0 ? static_cast<unsigned long>(milliseconds) : 0;
    if (cancelEvent.isSignaled(wait)) {
        KRZPAPC_THROW(kUnit, "Canceled during or just before sleep", KRZPAPC_CANCELLED);
    }
}

void KRZPHttpConfigurator::waitUntilBack(int attempts, int pauseMs) {
    waitUntilBack(attempts, pauseMs, 0);
}

void KRZPHttpConfigurator::waitUntilBack(int attempts, int pauseMs, int minimumMs) {
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool seenDown = false;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        sleep(pauseMs);
        try {
            // The GET senders do not look at the cancel event, and a new request clears the
            // connection's own flag: a cancel that arrived after the pause must end the wait.
            if (getCancel()) {
                KRZPAPC_THROW(kUnit, "Operation cancelled", KRZPAPC_CANCELLED);
            }
            sendGetRequest("/", KRZPFormParams(), std::string(), false);
            const std::string& headers = connection->getResponseHeaders();
            if (headers.compare(0, 5, "HTTP/") != 0) {
                // An empty reply, or bytes that are no HTTP reply: a server still starting.
                log(L"the device answered without a status line: still restarting\n");
                seenDown = true;
                continue;
            }
            if (isUnauthorized(headers)) {
                log(L"%hs: the device refused the credentials\n", "/");
                KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
            }
            if (!seenDown &&
                std::chrono::steady_clock::now() - start < std::chrono::milliseconds(minimumMs)) {
                continue;  // the old pages still answer: the restart has not begun
            }
            log(L"the device is back after %d ms\n", (attempt + 1) * pauseMs);
            return;
        } catch (const KRZPAPCException& e) {
            // While it restarts the device refuses, resets, cuts replies or is unreachable;
            // anything else (a cancel above all) ends the wait.
            KRZPAPCErrorCode code = e.getAPCErrorCode();
            if (code != KRZPAPC_CONNECT_ERROR && code != KRZPAPC_IO_ERROR &&
                code != KRZPAPC_TIMEOUT) {
                throw;
            }
            seenDown = true;
        }
    }
    log(L"the device did not come back after its restart\n");
    KRZPAPC_THROW(kUnit, "", KRZPAPC_CONNECT_ERROR);
}

// ---- connecting and sending ----

void KRZPHttpConfigurator::setupConnection() {
    cancelEvent.resetEvent();
    boost::shared_ptr<KRZPAPComm> comm = requireConnection(connection);
    std::pair<std::string, std::string> credentials = getCredentials();
    comm->setAuthInfo(credentials.first, credentials.second);
}

void KRZPHttpConfigurator::_openConnection(int connectAttempts) {
    boost::shared_ptr<KRZPAPComm> comm = requireConnection(connection);
    while (connectAttempts-- > 0) {
        try {
            comm->openConnection(kHttpPort, false);
            return;
        } catch (const KRZPAPCException& e) {
            // A device that is restarting is briefly unreachable: wait and try again.
            if (e.getAPCErrorCode() != KRZPAPC_CONNECT_ERROR ||
                e.getMsError() != static_cast<unsigned int>(WSAEHOSTUNREACH)) {
                throw KRZPAPCException(e);
            }
        }
        sleep(kUnreachableRetryMs);
    }
    // Every attempt failed (or none was asked for): the request write that follows reports it.
}

void KRZPHttpConfigurator::_confirmSuccessfulPost(const std::string& expected) {
    if (getCancel()) {
        log(L"KRZPHttpConfigurator::sendRequest(): operation cancelled\n");
        KRZPAPC_THROW(kUnit, "", KRZPAPC_CANCELLED);
    }
    boost::shared_ptr<KRZPAPComm> comm = requireConnection(connection);
    if (isUnauthorized(comm->getResponseHeaders())) {
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
    if (comm->getResponseBody().find(expected) == std::string::npos) {
        log(L"Did not find expected string in response.\n");
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
}

namespace {

// Reads the reply to a GET or multipart request; true when it timed out and the caller ignores
// that, in which case nothing is confirmed.
bool readGetReply(KRZPAPComm& comm, bool ignoreTimeout) {
    try {
        comm.readResponseSynchronous();
    } catch (const KRZPAPCException& e) {
        if (isTimeout(e) && ignoreTimeout) {
            return true;
        }
        throw KRZPAPCException(e);
    }
    return false;
}

// Reads the reply to a form POST; true when it timed out. A device often applies a setting and
// restarts without answering, so the time-out is not an error here.
bool readPostReply(KRZPAPComm& comm) {
    try {
        comm.readResponseSynchronous();
    } catch (const KRZPAPCException& e) {
        if (isTimeout(e)) {
            return true;
        }
        throw;
    }
    return false;
}

}  // namespace

// Each request goes out through its own writer; reading and confirming are shared.
void KRZPHttpConfigurator::sendGetRequest(const std::string& url,
                                          const std::map<std::string, std::string>& params,
                                          const std::string& expected, bool ignoreTimeout) {
    sendGetRequest(url, KRZPFormParams(params), expected, ignoreTimeout);
}

void KRZPHttpConfigurator::sendGetRequest(const std::string& url,
                                          const std::map<std::string, std::string>& params,
                                          const std::string& expected,
                                          const std::vector<std::string>& order,
                                          bool ignoreTimeout) {
    // An empty map sends no query at all, whatever names the order lists.
    sendGetRequest(url, params.empty() ? KRZPFormParams() : KRZPFormParams(params, order), expected,
                   ignoreTimeout);
}

void KRZPHttpConfigurator::sendGetRequest(const std::string& url, const KRZPFormParams& params,
                                          const std::string& expected, bool ignoreTimeout) {
    boost::shared_ptr<KRZPAPComm> comm = requireConnection(connection);
    comm->openConnection(kHttpPort, false);
    comm->writeGetRequest(url, params);
    if (!readGetReply(*comm, ignoreTimeout) && !expected.empty()) {
        _confirmSuccessfulPost(expected);
    }
}

void KRZPHttpConfigurator::sendMultipartRequest(const std::string& url,
                                                const std::map<std::string, std::string>& params,
                                                const std::string& expected, bool ignoreTimeout) {
    boost::shared_ptr<KRZPAPComm> comm = requireConnection(connection);
    comm->openConnection(kHttpPort, false);
    comm->writeMultipartPostRequest(url, params);
    if (!readGetReply(*comm, ignoreTimeout) && !expected.empty()) {
        _confirmSuccessfulPost(expected);
    }
}

bool KRZPHttpConfigurator::postForm(const std::string& url, const KRZPFormParams& params,
                                    int connectAttempts) {
    if (getCancel()) {
        KRZPAPC_THROW(kUnit, "Operation canceled during sleep", KRZPAPC_CANCELLED);
    }
    boost::shared_ptr<KRZPAPComm> comm = requireConnection(connection);
    _openConnection(connectAttempts);
    comm->writePostRequest(url, params);
    return readPostReply(*comm);
}

void KRZPHttpConfigurator::sendRequest(const std::string& url, const KRZPFormParams& params,
                                       const std::string& expected, int connectAttempts) {
    postForm(url, params, connectAttempts);
    // Confirmed even after a time-out, against whatever had arrived.
    _confirmSuccessfulPost(expected);
}

void KRZPHttpConfigurator::sendRequest(const std::string& url,
                                       const std::map<std::string, std::string>& params,
                                       const std::string& expected, int connectAttempts) {
    sendRequest(url, KRZPFormParams(params), expected, connectAttempts);
}

void KRZPHttpConfigurator::sendRequest(const std::string& url,
                                       const std::map<std::string, std::string>& params,
                                       const std::string& expected,
                                       const std::vector<std::string>& order, int connectAttempts) {
    sendRequest(url, KRZPFormParams(params, order), expected, connectAttempts);
}

void KRZPHttpConfigurator::sendRequestBlind(const std::string& url, const KRZPFormParams& params,
                                            const std::string& expected, int connectAttempts) {
    if (postForm(url, params, connectAttempts)) {
        return;  // no reply counts as success
    }
    _confirmSuccessfulPost(expected);
}

void KRZPHttpConfigurator::sendRequestBlind(const std::string& url,
                                            const std::map<std::string, std::string>& params,
                                            const std::string& expected, int connectAttempts) {
    sendRequestBlind(url, KRZPFormParams(params), expected, connectAttempts);
}

void KRZPHttpConfigurator::sendRequestBlind(const std::string& url,
                                            const std::map<std::string, std::string>& params,
                                            const std::string& expected,
                                            const std::vector<std::string>& order,
                                            int connectAttempts) {
    sendRequestBlind(url, KRZPFormParams(params, order), expected, connectAttempts);
}

// ---- lookups ----

const std::string& KRZPHttpConfigurator::getField(
    boost::shared_ptr<std::map<std::string, std::string>> form, const std::string& name) {
    if (!form) {
        return emptyString();
    }
    std::map<std::string, std::string>::const_iterator it = form->find(name.c_str());
    return it == form->end() ? emptyString() : it->second;
}

const std::string& KRZPHttpConfigurator::getAttrib(AttributeMap attributes,
                                                   const std::string& name) {
    if (!attributes) {
        return emptyString();
    }
    std::map<ci_string, std::string>::const_iterator it = attributes->find(name.c_str());
    return it == attributes->end() ? emptyString() : it->second;
}

const std::string& KRZPHttpConfigurator::getValue(AttributeMap attributes) {
    return getAttrib(attributes, "value");
}

const std::string& KRZPHttpConfigurator::getName(AttributeMap attributes) {
    return getAttrib(attributes, "name");
}
