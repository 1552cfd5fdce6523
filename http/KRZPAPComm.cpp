#include "http/KRZPAPComm.h"

#include "core/KRZPAPModule.h"
#include "html/KRZPHtmlParser.h"
#include "http/KRZPFormParams.h"
#include "http/KRZPLineCursor.h"
#include "http/KRZPMultipartParams.h"
#include "http/KRZPReplyParser.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krznetlib/KRZVirtualSocket.h"
#include "krzutil/KRZMiscUtil.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzplatform.h"
#include "platform/krztls.h"
#include "platform/krzwake.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <mutex>
#include <set>
#include <type_traits>

#define UNIT "KRZPAPComm"

// The interface holds the socket in the system's own handle type.
static_assert(std::is_same<KRZSocketHandle, SOCKET>::value, "socket handle type");

namespace {

enum ReadState { READ_IDLE = 0, READ_HEADERS = 1, READ_BODY = 2 };

// Consumed bytes are dropped from the front of the read buffer only once they are many and make
// up more than half of it; the cost per byte stays constant.
const size_t COMPACT_AT = 64 * 1024;
const long SELECT_PASS_USEC = 300000;
// One fill takes at most this much of what the socket offers, so that a bound is noticed before
// the buffer has grown far past it. Each fill is one recv, and a body framed by its length or the
// close is received straight in pieces: the cost of a reply is its bytes, not its calls.
const size_t FILL_MAX = 64 * 1024;
const size_t FILL_PIECE = FILL_MAX;
const size_t BODY_PIECE = 16 * 1024;  // on the stack
// One readResponse call receives at most this much and then reports pending, so that the waits
// around it see the time-out and the cancel flag even while a device sends without pause.
const size_t CALL_BUDGET = 1024 * 1024;
const size_t UNLIMITED = static_cast<size_t>(-1);
// A reply dump in the log stops after this much; the wide copy costs four bytes per byte.
const size_t DUMP_MAX = 1024 * 1024;

bool winsockStarted = false;

KRZPReplyParser::Bounds replyBounds() {
    return {KRZPAPComm::MAX_HEADER_LINE, KRZPAPComm::MAX_HEADER_BLOCK,
            KRZPAPComm::MAX_CHUNK_SIZE_LINE, KRZPAPComm::MAX_REPLY};
}

// The connection's parser: the bounds below, and room for a body of undeclared length reserved
// at once (a large body read to the close would otherwise move a dozen times as it grows).
KRZPReplyParser* newParser() {
    KRZPReplyParser* parser = new KRZPReplyParser(replyBounds());
    parser->reserveUndeclaredBodies(true);
    return parser;
}

void startWinsock() {
    if (winsockStarted)
        return;
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) == 0 && data.wVersion != MAKEWORD(1, 1))
        WSACleanup();
    winsockStarted = true;
}

__time64_t now() {
    return _time64(nullptr);
}

// The connect and reply waits end once more than their time-out has passed, measured on a clock
// that wall-clock changes do not move, to the millisecond: a wait of 10 s ends after 10.0 to
// 10.3 s, not somewhere up to a second later.
class Deadline {
  public:
    explicit Deadline(int seconds)
        : start(std::chrono::steady_clock::now()), limit(std::chrono::seconds(seconds)) {}
    bool passed() const { return std::chrono::steady_clock::now() - start > limit; }

  private:
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::duration limit;
};

// Writes a dump of data sent or received at level 3. The wide copy of a large reply costs four
// bytes per byte, so it is only made when the log object would keep it.
void logDump(const std::string& text, const wchar_t* suffix) {
    boost::shared_ptr<KRZLoggingUtil> log = KRZPAPModule::getLogFile();
    if (!log || log->getLogLevel() < KRZ_LOG_DUMP)
        return;
    std::wstring dump =
        KRZMiscUtil::utf8StringToTstring(text.substr(0, DUMP_MAX), KRZ_CONVERSION_LATIN1_FALLBACK);
    if (text.size() > DUMP_MAX)
        dump += L"\n[" + std::to_wstring(text.size() - DUMP_MAX) + L" more bytes not logged]";
    KRZPAPModule::log(dump + suffix, KRZ_LOG_DUMP);
}

[[noreturn]] void fail(int line, KRZPAPCErrorCode code, const std::string& message = "",
                       int msError = 0) {
    KRZPAPCException e(const_cast<char*>(UNIT), line, message, code);
    if (msError != 0)
        e.setMsError(static_cast<unsigned int>(msError));
    throw e;
}

// What one select pass of at most 0.3 s saw on a socket. The except set is always passed, so that
// a failed connect or a reset ends the pass early, and so is the wake handle, so that a cancel
// does; error is the select error, 0 when it worked. The passes stay bounded for the deadlines,
// and because a connection carried by the packet driver gets a new descriptor under the same
// number when it stands, which only the next pass sees.
struct SelectPass {
    bool readable = false;
    bool writable = false;
    bool failed = false;
    bool woken = false;
    int error = 0;
};

SelectPass selectPass(SOCKET s, bool forRead, bool forWrite, SOCKET wakeHandle) {
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    if (forRead)
        FD_SET(s, &readSet);
    if (forWrite)
        FD_SET(s, &writeSet);
    FD_SET(s, &exceptSet);
    if (wakeHandle != INVALID_SOCKET)
        FD_SET(wakeHandle, &readSet);
    timeval tv = {0, SELECT_PASS_USEC};
    SelectPass pass;
    if (select(0, &readSet, &writeSet, &exceptSet, &tv) == SOCKET_ERROR) {
        pass.error = WSAGetLastError();
        return pass;
    }
    pass.readable = forRead && FD_ISSET(s, &readSet) != 0;
    pass.writable = FD_ISSET(s, &writeSet) != 0;
    pass.failed = FD_ISSET(s, &exceptSet) != 0;
    pass.woken = wakeHandle != INVALID_SOCKET && FD_ISSET(wakeHandle, &readSet) != 0;
    return pass;
}

// A pass of a wait that a cancel may end; a wake is drained here, and means that setCancel(true)
// came since the wait started.
SelectPass waitPass(SOCKET s, bool forRead, bool forWrite, KRZWakeHandle& wake) {
    SelectPass pass = selectPass(s, forRead, forWrite, wake.handle());
    if (pass.woken)
        wake.clear();
    return pass;
}

}  // namespace

// The process's HTTPS devices and the host's trust decision (setTlsFor, setHostCertificateCheck).
static std::mutex g_tlsMutex;
static std::set<std::pair<uint32_t, unsigned short>> g_tlsPorts;
static KRZPAPComm::HostCertificateCheck g_hostCheck;
// Taken from the observer's copy under the lock, so that a connection never calls a half-set one.
static std::mutex g_observerMutex;
static std::shared_ptr<const KRZPAPComm::ExchangeObserver> g_observer;

static std::shared_ptr<const KRZPAPComm::ExchangeObserver> observer() {
    std::lock_guard<std::mutex> lock(g_observerMutex);
    return g_observer;
}

namespace {

// The wake handle of a connection's waits, with the copy's HTTPS settings beside it.
struct OwnPart final : KRZWakeHandle {
    bool tlsOn = false;
    unsigned short connectedPort = 0;  // after the redirect: what the host's check is told
    std::string tlsServerName;
    KRZPAPComm::CertificateCheck certificateCheck;
    std::vector<unsigned char> peerCertificate;
    std::string sent;  // the request since the connection opened, while an observer looks on
};

OwnPart& ownPart(const std::unique_ptr<KRZWakeHandle>& wake) {
    return static_cast<OwnPart&>(*wake);
}

}  // namespace

struct KRZPAPComm::SocketShare {
    SOCKET handle;
    std::unique_ptr<KRZTlsSession> tls;  // over the handle, when the connection is HTTPS
    bool secured = false;                // the handshake is done and the certificate taken
    explicit SocketShare(SOCKET s) : handle(s) {}
    ~SocketShare() {
        if (tls)
            tls->close();
        tls.reset();
        if (handle != INVALID_SOCKET)
            closesocket(handle);
    }
    SocketShare(const SocketShare&) = delete;
    SocketShare& operator=(const SocketShare&) = delete;
};

// ---- construction ----

KRZPAPComm::KRZPAPComm()
    : timeout(10),
      readState(READ_IDLE),
      cancel(false),
      sock(INVALID_SOCKET),
      spacePlus(true),
      readPos(0),
      peerClosed(false),
      readBudget(UNLIMITED),
      lines(new KRZPLineCursor),
      parser(newParser()),
      wake(new OwnPart) {
    startWinsock();
    address->s_addr = INADDR_NONE;
}

KRZPAPComm::KRZPAPComm(in_addr addr) : KRZPAPComm() {
    *address = addr;
}

KRZPAPComm::KRZPAPComm(const std::string& host) : KRZPAPComm() {
    address->s_addr = inet_addr(host.c_str());
    if (address->s_addr == INADDR_NONE) {
        hostent* entry = gethostbyname(host.c_str());
        if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr) {
            std::copy(entry->h_addr_list[0], entry->h_addr_list[0] + sizeof(address->s_addr),
                      reinterpret_cast<char*>(&address->s_addr));
        }
    }
}

KRZPAPComm::KRZPAPComm(const KRZPAPComm& other)
    : cancel(false),
      readBudget(UNLIMITED),
      lines(new KRZPLineCursor),
      parser(newParser()),
      wake(new OwnPart) {
    *this = other;
}

KRZPAPComm& KRZPAPComm::operator=(const KRZPAPComm& other) {
    if (this == &other)
        return *this;
    timeout = other.timeout;
    readState = other.readState;
    address = other.address;
    cancel = other.cancel.load();
    sock = other.sock;
    socketShare = other.socketShare;
    username = other.username;
    password = other.password;
    readBuffer = other.readBuffer;
    virtualSocket = other.virtualSocket;
    interfaceMac = other.interfaceMac;
    destinationMac = other.destinationMac;
    spacePlus = other.spacePlus;
    cookies = other.cookies;
    readPos = other.readPos;
    peerClosed = other.peerClosed;
    *lines = *other.lines;
    *parser = *other.parser;
    ownPart(wake).tlsOn = ownPart(other.wake).tlsOn;
    ownPart(wake).connectedPort = ownPart(other.wake).connectedPort;
    ownPart(wake).tlsServerName = ownPart(other.wake).tlsServerName;
    ownPart(wake).certificateCheck = ownPart(other.wake).certificateCheck;
    ownPart(wake).peerCertificate = ownPart(other.wake).peerCertificate;
    return *this;
}

KRZPAPComm::~KRZPAPComm() {}

// ---- settings ----

void KRZPAPComm::setTimeout(int seconds) {
    timeout = seconds;
}
int KRZPAPComm::getTimeout() const {
    return timeout;
}
// The flag first: a wait that the wake ends finds it set.
void KRZPAPComm::setCancel(bool value) {
    cancel = value;
    if (value)
        wake->wake();
}

// A wait starts: a cancel given before it is forgotten, the flag and a wake not yet drained.
void KRZPAPComm::forgetCancel() {
    wake->clear();
    cancel = false;
}
void KRZPAPComm::setSpacePlus(bool value) {
    spacePlus = value;
}
bool KRZPAPComm::getSpacePlus() const {
    return spacePlus;
}
void KRZPAPComm::setInterfaceMac(const KRZMacAddress& mac) {
    interfaceMac = mac;
}
void KRZPAPComm::setDestinationMac(const KRZMacAddress& mac) {
    destinationMac = mac;
}

void KRZPAPComm::setAuthInfo(const std::string& user, const std::string& pass) {
    username = user;
    password = pass;
}

std::string KRZPAPComm::getUsername() const {
    return username;
}
std::string KRZPAPComm::getPassword() const {
    return password;
}

void KRZPAPComm::setCookie(const std::string& name, const std::string& value) {
    cookies[name] = value;
}

void KRZPAPComm::setTls(bool on, const std::string& serverName) {
    ownPart(wake).tlsOn = on;
    ownPart(wake).tlsServerName = serverName;
}
bool KRZPAPComm::getTls() const {
    return ownPart(wake).tlsOn;
}
void KRZPAPComm::setCertificateCheck(CertificateCheck check) {
    ownPart(wake).certificateCheck = std::move(check);
}
const std::vector<unsigned char>& KRZPAPComm::getPeerCertificate() const {
    return ownPart(wake).peerCertificate;
}
void KRZPAPComm::setTlsFor(const in_addr& address, unsigned short port, bool on) {
    std::lock_guard<std::mutex> lock(g_tlsMutex);
    if (on)
        g_tlsPorts.insert({address.s_addr, port});
    else
        g_tlsPorts.erase({address.s_addr, port});
}
bool KRZPAPComm::tlsFor(const in_addr& address, unsigned short port) {
    std::lock_guard<std::mutex> lock(g_tlsMutex);
    return g_tlsPorts.count({address.s_addr, port}) != 0;
}
void KRZPAPComm::setExchangeObserver(ExchangeObserver watch) {
    std::lock_guard<std::mutex> lock(g_observerMutex);
    g_observer = watch ? std::make_shared<const ExchangeObserver>(std::move(watch)) : nullptr;
}

void KRZPAPComm::setHostCertificateCheck(HostCertificateCheck check) {
    std::lock_guard<std::mutex> lock(g_tlsMutex);
    g_hostCheck = std::move(check);
}
bool KRZPAPComm::hasBufferedData() const {
    return buffered() > 0 || (socketShare && socketShare->tls && socketShare->tls->pending() > 0);
}

unsigned int KRZPAPComm::getFD() const {
    return static_cast<unsigned int>(sock);
}
in_addr KRZPAPComm::getAddr() const {
    return *address;
}
const std::string& KRZPAPComm::getResponseHeaders() const {
    return parser->headers();
}
const std::string& KRZPAPComm::getResponseBody() const {
    return parser->body();
}
int KRZPAPComm::getResponseStatus() const {
    return parser->status();
}
const std::string& KRZPAPComm::getResponseReason() const {
    return parser->reason();
}
const std::string& KRZPAPComm::getResponseVersion() const {
    return parser->version();
}
// Header names compare without regard to ASCII letter case.
static bool sameHeaderName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ci_char_traits::compare(a.data(), b.data(), a.size()) == 0;
}
std::string KRZPAPComm::getResponseHeader(const std::string& name) const {
    for (const auto& field : parser->fields())
        if (sameHeaderName(field.first, name))
            return field.second;
    return std::string();
}
std::vector<std::string> KRZPAPComm::getResponseHeaderValues(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& field : parser->fields())
        if (sameHeaderName(field.first, name))
            values.push_back(field.second);
    return values;
}
const std::vector<std::pair<std::string, std::string>>& KRZPAPComm::getResponseHeaderFields()
    const {
    return parser->fields();
}

// ---- helpers ----

std::string KRZPAPComm::addressText() const {
    const char* text = inet_ntoa(*address);
    return text != nullptr ? text : "";
}

std::wstring KRZPAPComm::logPrefix() const {
    return KRZMiscUtil::ipToString(*address) + L": ";
}

// Lets go of the socket; the last of the copies that share it closes it.
void KRZPAPComm::closeSocket() {
    socketShare.reset();
    sock = INVALID_SOCKET;
}

// A failed receive: the connection is dropped and the error, a reset included, reported.
void KRZPAPComm::readFailed(int line, int error) {
    closeSocket();
    KRZPAPModule::log(KRZ_LOG_ERROR, L"Error %d reading from socket\n", error);
    fail(line, KRZPAPC_IO_ERROR, "", error);
}

// A reply that crosses one of the bounds: the connection is dropped, so the device's flood ends
// here, and the read fails.
void KRZPAPComm::overLimit(int line, const char* what, size_t limit) {
    closeConnection();
    std::string message =
        std::string("Reply refused: ") + what + " over " + std::to_string(limit) + " bytes";
    KRZPAPModule::log(
        logPrefix() + KRZMiscUtil::utf8StringToTstring(message, KRZ_CONVERSION_LATIN1_FALLBACK) +
            L"\n",
        KRZ_LOG_ERROR);
    fail(line, KRZPAPC_IO_ERROR, message);
}

// Moves the read position on; the line reads keep what they know of the bytes after it.
void KRZPAPComm::skip(size_t count) {
    readPos += count;
    if (readPos >= readBuffer.size()) {
        readBuffer.clear();
        readPos = 0;
    } else if (readPos >= COMPACT_AT && readPos * 2 > readBuffer.size()) {
        readBuffer.erase(0, readPos);
        readPos = 0;
    }
}

// Consumes bytes that the line reads did not see go.
void KRZPAPComm::consume(size_t count) {
    skip(count);
    lines->forgetScan();
}

// When the last line handed out ended with a lone CR or LF, its partner may still arrive at the
// head of the next read; raw-byte readers drop it, as getLine does, so that a CR LF pair split
// between two reads gives the same bytes as the pair in one read.
void KRZPAPComm::dropPendingPartner() {
    const char* head = readBuffer.data() + readPos;
    const char* at = head;
    lines->dropPartner(at, readBuffer.data() + readBuffer.size());
    skip(static_cast<size_t>(at - head));
}

// ---- connection ----

void KRZPAPComm::openConnection(unsigned short port, bool noWait) {
    closeSocket();
    lines->clear();
    forgetCancel();
    peerClosed = false;
    OwnPart& mine = ownPart(wake);
    mine.peerCertificate.clear();
    mine.sent.clear();
    createSocket();
    mine.connectedPort = KRZNetworkBackend::portFor(*address, port);
    if (mine.tlsOn || tlsFor(*address, mine.connectedPort)) {
        std::string name = mine.tlsOn ? mine.tlsServerName : std::string(inet_ntoa(*address));
        socketShare->tls.reset(new KRZTlsSession(sock, name));
    }
    startConnect(port);
    if (!noWait) {
        waitForConnect();
        secure();
    }
}

// Runs the TLS handshake of a connected socket to its end, within the time-out and cancel.
// Nothing to do over plain HTTP.
void KRZPAPComm::secure() {
    Deadline deadline(timeout);
    for (;;) {
        TlsStep step = stepTls();
        if (step == TlsStep::Done)
            return;
        SelectPass pass =
            waitPass(sock, step == TlsStep::WantRead, step == TlsStep::WantWrite, *wake);
        if (cancel || pass.woken) {
            closeSocket();
            fail(__LINE__, KRZPAPC_CANCELLED, "Operation cancelled");
        }
        if (deadline.passed()) {
            closeSocket();
            std::string sentence = "the device did not complete the TLS handshake within " +
                                   std::to_string(timeout) + " seconds";
            KRZPAPModule::log(KRZ_LOG_ERROR, L"%hs\n", sentence.c_str());
            fail(__LINE__, KRZPAPC_CONNECT_ERROR, sentence);
        }
    }
}

// One handshake step; at its end the certificate check decides before anything is sent.
KRZPAPComm::TlsStep KRZPAPComm::stepTls() {
    if (!socketShare || !socketShare->tls || socketShare->secured)
        return TlsStep::Done;
    KRZTlsSession& tls = *socketShare->tls;
    KRZTlsSession::Status step = tls.handshake();
    if (step == KRZTlsSession::Status::WantRead)
        return TlsStep::WantRead;
    if (step == KRZTlsSession::Status::WantWrite)
        return TlsStep::WantWrite;
    if (step != KRZTlsSession::Status::Done) {
        std::string sentence = tls.error();
        closeSocket();
        KRZPAPModule::log(KRZ_LOG_ERROR, L"TLS handshake failed: %hs\n", sentence.c_str());
        fail(__LINE__, KRZPAPC_CONNECT_ERROR, sentence);
    }
    OwnPart& mine = ownPart(wake);
    mine.peerCertificate = tls.peerCertificate();
    KRZPAPModule::log(KRZ_LOG_TRACE, L"TLS: %hs\n", tls.protocol().c_str());
    HostCertificateCheck hostCheck;
    if (!mine.certificateCheck) {
        std::lock_guard<std::mutex> lock(g_tlsMutex);
        hostCheck = g_hostCheck;
    }
    if (mine.certificateCheck || hostCheck) {
        try {
            if (mine.certificateCheck)
                mine.certificateCheck(mine.peerCertificate);
            else
                hostCheck(*address, mine.connectedPort, mine.peerCertificate);
        } catch (...) {
            closeSocket();
            throw;
        }
    }
    socketShare->secured = true;
    return TlsStep::Done;
}

// One receive from the connection, plain or TLS, as recv answers: bytes, 0 at the peer's close,
// or SOCKET_ERROR with the error (WSAEWOULDBLOCK when nothing is there yet). A TLS failure ends
// the read here with its sentence.
int KRZPAPComm::receive(char* to, size_t size) {
    int piece = static_cast<int>(std::min<size_t>(size, INT_MAX));
    if (!socketShare || !socketShare->tls)
        return recv(sock, to, piece, 0);
    size_t got = 0;
    switch (socketShare->tls->recv(to, static_cast<size_t>(piece), got)) {
        case KRZTlsSession::Status::Done:
            return static_cast<int>(got);
        case KRZTlsSession::Status::Closed:
            return 0;
        case KRZTlsSession::Status::WantRead:
        case KRZTlsSession::Status::WantWrite:
            WSASetLastError(WSAEWOULDBLOCK);
            return SOCKET_ERROR;
        case KRZTlsSession::Status::Failed:
            break;
    }
    std::string sentence = socketShare->tls->error();
    closeSocket();
    KRZPAPModule::log(KRZ_LOG_ERROR, L"%hs\n", sentence.c_str());
    fail(__LINE__, KRZPAPC_IO_ERROR, sentence);
}

// A non-blocking socket, shared by the copies of this connection.
void KRZPAPComm::createSocket() {
    sock = static_cast<SOCKET>(socket(AF_INET, SOCK_STREAM, 0));
    if (sock == INVALID_SOCKET) {
        int error = WSAGetLastError();
        KRZPAPModule::log(KRZ_LOG_ERROR, L"socket() error: %d\n", error);
        fail(__LINE__, KRZPAPC_SOCKET_ERROR);
    }
    socketShare = std::make_shared<SocketShare>(sock);
    unsigned long nonBlocking = 1;
    // A connection needs an address; without one it fails here, before any connect.
    if (ioctlsocket(sock, FIONBIO, &nonBlocking) != 0 || address->s_addr == INADDR_NONE) {
        int error = WSAGetLastError();
        closeSocket();
        KRZPAPModule::log(KRZ_LOG_ERROR, L"ioctlsocket() error: %d\n", error);
        fail(__LINE__, KRZPAPC_INTERNAL_ERROR);
    }
}

// Starts the connect through the network library, over the adapter when both MACs are set.
void KRZPAPComm::startConnect(unsigned short port) {
    if (const char* text = inet_ntoa(*address)) {
        KRZPAPModule::log(KRZ_LOG_TRACE, L"Connecting to %hs:%d\n", text, static_cast<int>(port));
    }
    sockaddr_in destination = {};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr = *address;
    const sockaddr* target = reinterpret_cast<const sockaddr*>(&destination);

    virtualSocket.reset(new KRZVirtualSocket());
    int result;
    if (interfaceMac.isSet() && !destinationMac.isSet()) {
        fail(__LINE__, KRZPAPC_INTERNAL_ERROR,
             "KRZPAPComm::openConnection(): interface MAC set but no destination MAC!");
    } else if (destinationMac.isSet() && !interfaceMac.isSet()) {
        fail(__LINE__, KRZPAPC_INTERNAL_ERROR,
             "KRZPAPComm::openConnection(): destination MAC set but no interface MAC!");
    } else if (interfaceMac.isSet()) {
        result = virtualSocket->connect(sock, target, 16, interfaceMac, destinationMac);
    } else {
        result = virtualSocket->connect(sock, target, 16);
    }

    if (result == SOCKET_ERROR) {
        int error = virtualSocket->getLastError();
        if (error != WSAEWOULDBLOCK) {
            KRZPAPModule::log(KRZ_LOG_ERROR, L"connect() error: %d\n", error);
            closeSocket();
            fail(__LINE__, KRZPAPC_CONNECT_ERROR, "", error);
        }
    } else if (result != 0) {
        // The network library owns the handle after such a failure.
        socketShare->handle = INVALID_SOCKET;
        socketShare.reset();
        sock = INVALID_SOCKET;
        KRZPAPModule::log(KRZ_LOG_ERROR, L"Virtual connect error %d\n", result);
        fail(__LINE__, KRZPAPC_CONNECT_ERROR);
    }
}

// Waits in select passes until the connect completes, fails, is cancelled or times out.
void KRZPAPComm::waitForConnect() {
    Deadline deadline(timeout);
    for (;;) {
        SelectPass pass = waitPass(sock, false, true, *wake);
        if (pass.error != 0) {
            KRZPAPModule::log(KRZ_LOG_ERROR, L"connect(): select failed with error %d\n",
                              pass.error);
        }
        if (pass.writable) {
            readState = READ_IDLE;
            return;
        }
        if (pass.failed) {
            int error = 0;
            int length = sizeof(error);
            getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            KRZPAPModule::log(KRZ_LOG_ERROR, L"connect() error %d\n", error);
            fail(__LINE__, KRZPAPC_CONNECT_ERROR, "", error);
        }
        if (cancel || pass.woken)
            fail(__LINE__, KRZPAPC_CANCELLED, "Operation cancelled");
        if (deadline.passed()) {
            KRZPAPModule::log(KRZ_LOG_ERROR, L"connect() error: (timed out after %d seconds)\n",
                              timeout);
            fail(__LINE__, KRZPAPC_CONNECT_ERROR);
        }
    }
}

void KRZPAPComm::closeConnection() {
    readState = READ_IDLE;
    closeSocket();
    peerClosed = false;
}

// ---- buffered reads ----

KRZPAPCReadStatus KRZPAPComm::fillBuffer() {
    if (sock == INVALID_SOCKET) {
        // After the peer's close has been seen, further reads report the close again.
        if (peerClosed)
            return KRZPAPC_READ_CLOSED;
        KRZPAPModule::log(KRZ_LOG_ERROR, L"KRZPAPComm::fillBuffer(): Invalid socket\n");
        fail(__LINE__, KRZPAPC_IO_ERROR);
    }
    if (socketShare && socketShare->tls)
        return fillFromTls();
    unsigned long waiting = 0;
    if (ioctlsocket(sock, FIONREAD, &waiting) != 0) {
        closeSocket();
        KRZPAPModule::log(KRZ_LOG_ERROR, L"Connection lost\n");
        fail(__LINE__, KRZPAPC_IO_ERROR);
    }
    if (waiting == 0) {
        char probe;
        int peeked = recv(sock, &probe, 1, MSG_PEEK);
        if (peeked == 0) {
            closeSocket();
            peerClosed = true;
            return KRZPAPC_READ_CLOSED;
        }
        // A reset shows here once and as an orderly close afterwards: it must not be missed.
        if (peeked < 0) {
            int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK && error != WSAEINTR)
                readFailed(__LINE__, error);
        }
        return KRZPAPC_READ_PENDING;
    }
    if (readBudget == 0)
        return KRZPAPC_READ_PENDING;
    size_t wanted = std::min<size_t>({waiting, FILL_MAX, readBudget});
    // Received straight into the buffer's tail: one copy less for every byte of a large reply.
    size_t base = readBuffer.size();
    readBuffer.resize(base + wanted);
    size_t total = 0;
    while (total < wanted) {
        int want = static_cast<int>(std::min(FILL_PIECE, wanted - total));
        int got = recv(sock, &readBuffer[base + total], want, 0);
        if (got <= 0) {
            readBuffer.resize(base + total);
            if (got == 0)
                return KRZPAPC_READ_CLOSED;
            readFailed(__LINE__, WSAGetLastError());
        }
        total += static_cast<size_t>(got);
        if (readBudget != UNLIMITED)
            readBudget -= static_cast<size_t>(got);
    }
    if (buffered() > MAX_REPLY)
        overLimit(__LINE__, "unread data", MAX_REPLY);
    return KRZPAPC_READ_OK;
}

// The TLS side of fillBuffer: the socket's count says nothing of decrypted bytes, so receives
// run until the session has nothing more, within the same budget and piece sizes.
KRZPAPCReadStatus KRZPAPComm::fillFromTls() {
    if (readBudget == 0)
        return KRZPAPC_READ_PENDING;
    size_t wanted = std::min<size_t>(FILL_MAX, readBudget);
    size_t base = readBuffer.size();
    readBuffer.resize(base + wanted);
    size_t total = 0;
    int got = 1;
    while (total < wanted) {
        got = receive(&readBuffer[base + total], std::min(FILL_PIECE, wanted - total));
        if (got <= 0)
            break;
        total += static_cast<size_t>(got);
    }
    readBuffer.resize(base + total);
    if (readBudget != UNLIMITED)
        readBudget -= total;
    if (buffered() > MAX_REPLY)
        overLimit(__LINE__, "unread data", MAX_REPLY);
    if (total > 0)
        return KRZPAPC_READ_OK;
    if (got == 0) {
        closeSocket();
        peerClosed = true;
        return KRZPAPC_READ_CLOSED;
    }
    return KRZPAPC_READ_PENDING;
}

KRZPAPCReadStatus KRZPAPComm::getLine(std::string& line) {
    bool filled = false;
    KRZPAPCReadStatus fill = KRZPAPC_READ_OK;
    for (;;) {
        const char* head = readBuffer.data() + readPos;
        const char* at = head;
        KRZPLineCursor::Result found = lines->next(at, readBuffer.data() + readBuffer.size(),
                                                   fill == KRZPAPC_READ_CLOSED, MAX_REPLY, line);
        skip(static_cast<size_t>(at - head));
        if (found == KRZPLineCursor::LINE)
            return KRZPAPC_READ_OK;
        if (found == KRZPLineCursor::TOO_LONG)
            overLimit(__LINE__, "line", MAX_REPLY);
        if (found == KRZPLineCursor::END)
            return KRZPAPC_READ_CLOSED;
        // One fill per call: without a line end after it, the line is pending.
        if (filled)
            return KRZPAPC_READ_PENDING;
        fill = fillBuffer();
        filled = true;
        if (fill == KRZPAPC_READ_PENDING)
            return KRZPAPC_READ_PENDING;
    }
}

KRZPAPCReadStatus KRZPAPComm::getUntil(std::string& out, const std::string& delimiter,
                                       int timeoutSeconds) {
    __time64_t start = now();
    KRZPAPCReadStatus filled = KRZPAPC_READ_PENDING;
    size_t searchFrom = readPos;
    for (;;) {
        size_t at = readBuffer.find(delimiter, std::max(searchFrom, readPos));
        if (at != std::string::npos) {
            size_t length = at + delimiter.size() - readPos;
            out.assign(readBuffer, readPos, length);
            consume(length);
            return KRZPAPC_READ_OK;
        }
        // Only the last delimiter-length bytes can start an occurrence completed by new data.
        size_t tail = delimiter.empty() ? 0 : delimiter.size() - 1;
        searchFrom = readBuffer.size() > tail ? readBuffer.size() - tail : 0;
        if (filled == KRZPAPC_READ_CLOSED)
            return KRZPAPC_READ_CLOSED;
        __time64_t elapsed = now() - start;
        int wait = std::max<int>(1, static_cast<int>(timeoutSeconds - elapsed));
        if (timeoutSeconds != 0 && now() > start + timeoutSeconds)
            return KRZPAPC_READ_PENDING;
        waitForData(wait);
        filled = fillBuffer();
    }
}

KRZPAPCReadStatus KRZPAPComm::peekData(std::string& out) {
    fillBuffer();
    if (buffered() == 0) {
        KRZPAPCReadStatus filled = fillBuffer();
        if (filled == KRZPAPC_READ_PENDING)
            return filled;
        if (filled == KRZPAPC_READ_CLOSED && buffered() == 0)
            return filled;
    }
    out.assign(readBuffer, readPos, std::string::npos);
    return KRZPAPC_READ_OK;
}

KRZPAPCReadStatus KRZPAPComm::getData(std::string& out) {
    KRZPAPCReadStatus result = peekData(out);
    if (result == KRZPAPC_READ_OK)
        consume(buffered());
    return result;
}

KRZPAPCReadStatus KRZPAPComm::appendBytes(std::string& out, int count) {
    size_t wanted = count > 0 ? static_cast<size_t>(count) : 0;
    dropPendingPartner();
    for (int fills = 0; buffered() < wanted; ++fills) {
        if (fills == 2)
            return KRZPAPC_READ_PENDING;
        KRZPAPCReadStatus filled = fillBuffer();
        if (filled == KRZPAPC_READ_PENDING || filled == KRZPAPC_READ_CLOSED)
            return filled;
        dropPendingPartner();
    }
    out.append(readBuffer, readPos, wanted);
    consume(wanted);
    return KRZPAPC_READ_OK;
}

bool KRZPAPComm::waitForData(int seconds) {
    if (sock == INVALID_SOCKET) {
        KRZPAPModule::log(KRZ_LOG_ERROR, L"waitForData(): invalid socket\n");
        fail(__LINE__, KRZPAPC_IO_ERROR);
    }
    if (hasBufferedData())
        return true;
    forgetCancel();
    __time64_t start = now();
    SelectPass pass = waitPass(sock, true, false, *wake);
    for (;;) {
        if (pass.readable)
            return true;
        if (cancel || pass.woken)
            return false;
        if (now() - start > seconds)
            return false;
        pass = waitPass(sock, true, false, *wake);
    }
}

// ---- writing ----

void KRZPAPComm::sendReq(unsigned int socketHandle, const std::string& data, bool logData) {
    SOCKET s = static_cast<SOCKET>(socketHandle);
    if (s == sock && observer())
        ownPart(wake).sent += data;
    if (socketShare && socketShare->tls && s == sock) {
        secure();
        sendTls(data);
        if (logData) {
            KRZPAPModule::log(logPrefix() + L"Sent Data:\n", KRZ_LOG_TRACE);
            logDump(data, L"\n");
        }
        return;
    }
    size_t at = 0;
    __time64_t stalledSince = now();
    while (at < data.size()) {
        int piece = static_cast<int>(std::min<size_t>(data.size() - at, INT_MAX));
        int sent = send(s, data.data() + at, piece, 0);
        if (sent >= 0) {
            at += static_cast<size_t>(sent);
            stalledSince = now();
            continue;
        }
        int error = WSAGetLastError();
        if (error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAENOTCONN)
            return;
        // The socket is non-blocking: a full send buffer is waited out, within the time-out.
        if (error == WSAEWOULDBLOCK && now() - stalledSince <= timeout) {
            fd_set writeSet;
            FD_ZERO(&writeSet);
            FD_SET(s, &writeSet);
            timeval tv = {0, SELECT_PASS_USEC};
            select(0, nullptr, &writeSet, nullptr, &tv);
            continue;
        }
        KRZPAPModule::log(KRZ_LOG_TRACE, L"send() error: %d\n", error);
        fail(__LINE__, KRZPAPC_IO_ERROR);
    }
    if (logData) {
        KRZPAPModule::log(logPrefix() + L"Sent Data:\n", KRZ_LOG_TRACE);
        logDump(data, L"\n");
    }
}

// Sends over the TLS session; a full send buffer (or a read the session needs first) is waited
// out within the time-out, as for a plain socket.
void KRZPAPComm::sendTls(const std::string& data) {
    KRZTlsSession& tls = *socketShare->tls;
    size_t at = 0;
    __time64_t stalledSince = now();
    while (at < data.size()) {
        size_t sent = 0;
        KRZTlsSession::Status step = tls.send(data.data() + at, data.size() - at, sent);
        if (step == KRZTlsSession::Status::Done) {
            at += sent;
            stalledSince = now();
            continue;
        }
        bool waiting =
            step == KRZTlsSession::Status::WantRead || step == KRZTlsSession::Status::WantWrite;
        if (waiting && now() - stalledSince <= timeout) {
            waitPass(sock, step == KRZTlsSession::Status::WantRead,
                     step == KRZTlsSession::Status::WantWrite, *wake);
            continue;
        }
        std::string sentence =
            waiting ? "the device took no data for " + std::to_string(timeout) + " seconds"
                    : tls.error();
        KRZPAPModule::log(KRZ_LOG_ERROR, L"send(): %hs\n", sentence.c_str());
        closeSocket();
        fail(__LINE__, KRZPAPC_IO_ERROR, sentence);
    }
}

void KRZPAPComm::writeData(const std::string& data, bool logData) {
    sendReq(static_cast<unsigned int>(sock), data, logData);
}

std::string KRZPAPComm::cookieLine() {
    if (cookies.empty())
        return "";
    return "Cookie: " + cookies["Cookie"] + "\r\n";
}

std::string KRZPAPComm::authorizationLine() const {
    if (username.empty() && password.empty())
        return "";
    return "Authorization: Basic " + krzBase64Encode(username + ":" + password) + "\r\n";
}

std::string KRZPAPComm::formText(const KRZPFormParams& params) const {
    std::string text;
    bool first = true;
    for (const auto& pair : params) {
        if (!first)
            text += '&';
        first = false;
        text += KRZPHtmlParser::urlEncode(pair.first, spacePlus, "");
        text += '=';
        text += KRZPHtmlParser::urlEncode(pair.second, spacePlus, "");
    }
    return text;
}

void KRZPAPComm::writeGetRequest(const std::string& url) {
    cancel = false;
    std::string host = addressText();
    std::string request = "GET " + url + " HTTP/1.1\r\nConnection: Close\r\n";
    request += "Host: " + host + "\r\n";
    request += "Referer: http://" + host + "/\r\n";
    request += cookieLine();
    request += authorizationLine();
    request += "\r\n";
    sendReq(static_cast<unsigned int>(sock), request, true);
    cancel = false;
}

void KRZPAPComm::writeGetRequest(const std::string& url, const KRZPFormParams& params) {
    writeGetRequest(params.empty() ? url : url + "?" + formText(params));
}

void KRZPAPComm::writeGetRequest(const std::string& url,
                                 const std::map<std::string, std::string>& params) {
    writeGetRequest(params.empty() ? url : url + "?" + formText(KRZPFormParams(params)));
}

void KRZPAPComm::writeGetRequest(const std::string& url,
                                 const std::map<std::string, std::string>& params,
                                 const std::vector<std::string>& order) {
    writeGetRequest(params.empty() ? url : url + "?" + formText(KRZPFormParams(params, order)));
}

void KRZPAPComm::writePostRequest(const std::string& url, std::string body) {
    cancel = false;
    std::string host = addressText();
    std::string request = "POST " + url + " HTTP/1.1\r\n";
    request += "Connection: Close\r\n";
    request += "Host: " + host + "\r\n";
    request += "Referer: http://" + host + "/\r\n";
    request += "Content-Type: application/x-www-form-urlencoded\r\n";
    request += cookieLine();
    request += authorizationLine();
    request += "Content-length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n";
    request += body;
    sendReq(static_cast<unsigned int>(sock), request, true);
    cancel = false;
}

void KRZPAPComm::writePostRequest(const std::string& url, const KRZPFormParams& params) {
    writePostRequest(url, formText(params));
}

void KRZPAPComm::writePostRequest(const std::string& url,
                                  const std::map<std::string, std::string>& params) {
    writePostRequest(url, KRZPFormParams(params));
}

void KRZPAPComm::writePostRequest(const std::string& url,
                                  const std::map<std::string, std::string>& params,
                                  const std::vector<std::string>& order) {
    writePostRequest(url, KRZPFormParams(params, order));
}

void KRZPAPComm::writeMultipartPostRequest(const std::string& url,
                                           const KRZPMultipartParams& params) {
    cancel = false;
    std::string host = addressText();
    std::string body = params.asString();
    std::string request = "POST " + url + " HTTP/1.1\r\nConnection: Close\r\n";
    request += "Host: " + host + "\r\n";
    request += "Referer: http://" + host + "/\r\n";
    request += "Content-Type: multipart/form-data; boundary=" + params.getBoundary() + "\r\n";
    request += cookieLine();
    request += authorizationLine();
    request += "Content-length: " + std::to_string(body.size()) + "\r\n\r\n";
    request += body;
    sendReq(static_cast<unsigned int>(sock), request, true);
    cancel = false;
}

void KRZPAPComm::writeMultipartPostRequest(const std::string& url, const KRZPFormParams& params) {
    KRZPMultipartParams multipart;
    multipart.addParams(params);
    writeMultipartPostRequest(url, multipart);
}

void KRZPAPComm::writeMultipartPostRequest(const std::string& url,
                                           const std::map<std::string, std::string>& params) {
    writeMultipartPostRequest(url, KRZPFormParams(params));
}

// ---- replies ----

KRZPAPCReadStatus KRZPAPComm::readResponse() {
    cancel = false;
    if (sock == INVALID_SOCKET) {
        KRZPAPModule::log(KRZ_LOG_ERROR, L"readResponse(): invalid socket\n");
        fail(__LINE__, KRZPAPC_IO_ERROR);
    }
    if (readState == READ_IDLE) {
        parser->start(lines->lastLineEnd());
        readBuffer.clear();
        readPos = 0;
        readState = READ_HEADERS;
    }
    // Each call receives a bounded amount, so that a device that never pauses still lets the
    // caller's wait look at its clock and cancel flag.
    struct Budget {
        size_t& left;
        explicit Budget(size_t& l) : left(l) { left = CALL_BUDGET; }
        ~Budget() { left = UNLIMITED; }
    } budget(readBudget);
    // The parser takes what is buffered; then the socket is asked for more: a body framed by its
    // length or the close is received straight in pieces, everything else through the buffer.
    KRZPAPCReadStatus parsed = parseBuffered(false);
    for (;;) {
        if (parsed != KRZPAPC_READ_PENDING)
            return endReply(parsed);
        KRZPAPCReadStatus received;
        if (parser->rawBody()) {
            received = receiveBody(parsed);
        } else {
            received = fillBuffer();
            if (received == KRZPAPC_READ_OK)
                parsed = parseBuffered(false);
        }
        if (received == KRZPAPC_READ_PENDING)
            return KRZPAPC_READ_PENDING;
        if (received == KRZPAPC_READ_CLOSED)
            parsed = parseBuffered(true);
    }
}

KRZPAPCReadStatus KRZPAPComm::parseBuffered(bool closed) {
    const char* head = readBuffer.data() + readPos;
    const char* at = head;
    KRZPAPCReadStatus parsed = parseReply(at, readBuffer.data() + readBuffer.size(), closed);
    skip(static_cast<size_t>(at - head));
    return parsed;
}

// Runs the parser over [at, end) and acts on what it found: the log lines of each part of the
// reply, and the refusal of a reply over a bound. Pending until the reply is over.
KRZPAPCReadStatus KRZPAPComm::parseReply(const char*& at, const char* end, bool closed) {
    for (;;) {
        switch (parser->parse(at, end, closed)) {
            case KRZPReplyParser::NEED_MORE:
                return KRZPAPC_READ_PENDING;
            case KRZPReplyParser::HEADER_BLOCK:
                KRZPAPModule::log(logPrefix() + L"Received HTTP headers:\n", KRZ_LOG_TRACE);
                logDump(parser->headers(), L"");
                readState = READ_BODY;
                continue;
            case KRZPReplyParser::PAGE:
                KRZPAPModule::log(logPrefix() + L"Received body without headers:\n", KRZ_LOG_TRACE);
                logDump(parser->body(), L"");
                return KRZPAPC_READ_OK;
            case KRZPReplyParser::COMPLETE:
                KRZPAPModule::log(logPrefix() + L"Received HTTP body:\n", KRZ_LOG_TRACE);
                logDump(parser->body(), L"\n");
                return KRZPAPC_READ_OK;
            case KRZPReplyParser::CUT_SHORT:
                // A body framed by its length is logged as far as it came; a cut chunked body or
                // header block is not.
                if (readState == READ_BODY && !parser->chunked()) {
                    KRZPAPModule::log(logPrefix() + L"Received HTTP body:\n", KRZ_LOG_TRACE);
                    logDump(parser->body(), L"\n");
                }
                return KRZPAPC_READ_CLOSED;
            case KRZPReplyParser::REFUSED:
                overLimit(__LINE__, parser->refusedWhat(), parser->refusedLimit());
        }
    }
}

// The reply is over: the connection is closed, and the next readResponse starts a new reply.
KRZPAPCReadStatus KRZPAPComm::endReply(KRZPAPCReadStatus result) {
    lines->clear();
    lines->setLastLineEnd(parser->lastLineEnd());
    parser->releaseSpareRoom();
    readState = READ_IDLE;
    closeSocket();
    return result;
}

// Receives the next piece of a body framed by its length or the close, straight from the socket
// into the parser; `parsed` is what the parser made of it. A positive length is never read past,
// so a reply ends with its last byte.
KRZPAPCReadStatus KRZPAPComm::receiveBody(KRZPAPCReadStatus& parsed) {
    if (readBudget == 0)
        return KRZPAPC_READ_PENDING;
    if (sock == INVALID_SOCKET && peerClosed)
        return KRZPAPC_READ_CLOSED;
    char piece[BODY_PIECE];
    size_t wanted = parser->bodyWanted();
    size_t size = wanted > 0 && wanted < BODY_PIECE ? wanted : BODY_PIECE;
    size = std::min(size, readBudget);
    int got = receive(piece, size);
    if (got == 0)
        return KRZPAPC_READ_CLOSED;
    if (got < 0) {
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            return KRZPAPC_READ_PENDING;
        closeSocket();  // a reset connection is of no further use
        KRZPAPModule::log(KRZ_LOG_ERROR, L"readBody(): error %d", error);
        fail(__LINE__, KRZPAPC_IO_ERROR, "", error);
    }
    if (readBudget != UNLIMITED)
        readBudget -= static_cast<size_t>(got);
    const char* at = piece;
    parsed = parseReply(at, piece + got, false);
    return KRZPAPC_READ_OK;
}

void KRZPAPComm::readResponseSynchronous() {
    forgetCancel();
    Deadline deadline(timeout);
    bool cancelled = false;
    auto noteCancel = [&] {
        if (cancel)
            cancelled = true;
    };
    KRZPAPCReadStatus result = KRZPAPC_READ_PENDING;
    while (sock != INVALID_SOCKET) {
        // readResponse clears the flag as it starts; the wake, drained only here, still tells of
        // a cancel that came just before.
        SelectPass pass;
        if (hasBufferedData())
            pass.readable = true;  // decrypted already: the socket may have nothing more
        else
            pass = waitPass(sock, true, false, *wake);
        if (pass.woken)
            cancelled = true;
        if (pass.readable) {
            noteCancel();
            result = readResponse();
            noteCancel();
            if (result == KRZPAPC_READ_OK || result == KRZPAPC_READ_CLOSED)
                break;
            if (result != KRZPAPC_READ_PENDING) {
                KRZPAPModule::log(KRZ_LOG_ERROR,
                                  L"readResponseSynchronous(): error reading response\n");
                fail(__LINE__, KRZPAPC_IO_ERROR);
            }
        }
        noteCancel();
        if (cancelled || deadline.passed())
            break;
    }
    if (result == KRZPAPC_READ_PENDING) {
        noteCancel();
        result = readResponse();
        noteCancel();
    }
    if (result == KRZPAPC_READ_OK || result == KRZPAPC_READ_CLOSED) {
        if (auto seen = observer())
            (*seen)(*this, ownPart(wake).sent, result == KRZPAPC_READ_CLOSED);
    }
    if (result == KRZPAPC_READ_OK)
        return;
    if (result == KRZPAPC_READ_CLOSED) {
        // Returning would pass a truncated page off as the device's answer.
        KRZPAPModule::log(logPrefix() + L"readResponseSynchronous(): reply cut short\n",
                          KRZ_LOG_ERROR);
        fail(__LINE__, KRZPAPC_IO_ERROR, "Reply cut short");
    }
    if (result == KRZPAPC_READ_PENDING) {
        closeConnection();
        if (cancelled)
            fail(__LINE__, KRZPAPC_CANCELLED, "Operation cancelled");
        KRZPAPModule::log(KRZ_LOG_ERROR, L"readResponseSynchronous(): timed out\n");
        fail(__LINE__, KRZPAPC_TIMEOUT);
    }
    KRZPAPModule::log(KRZ_LOG_ERROR,
                      L"readResponseSynchronous(): error reading response after timeout or "
                      L"cancel\n");
    fail(__LINE__, KRZPAPC_IO_ERROR);
}
