#include "http/KRZPAPComm.h"

#include "core/KRZPAPModule.h"
#include "html/KRZPHtmlParser.h"
#include "http/KRZPFormParams.h"
#include "http/KRZPMultipartParams.h"
#include "krznetlib/KRZVirtualSocket.h"
#include "krzutil/KRZMiscUtil.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzplatform.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
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
const int FILL_PIECE = 511;
const int BODY_PIECE = 1024;
// One fill takes at most this much of what the socket offers, so that a bound is noticed before
// the buffer has grown far past it.
const size_t FILL_MAX = 64 * 1024;
// One readResponse call receives at most this much and then reports pending, so that the waits
// around it see the time-out and the cancel flag even while a device sends without pause.
const size_t CALL_BUDGET = 1024 * 1024;
const size_t UNLIMITED = static_cast<size_t>(-1);
// A reply dump in the log stops after this much; the wide copy costs four bytes per byte.
const size_t DUMP_MAX = 1024 * 1024;

bool winsockStarted = false;

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

char partnerOf(char lineEnd) {
    return lineEnd == '\r' ? '\n' : '\r';
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    size_t n = 0;
    for (; prefix[n] != 0; ++n) {
        if (n >= text.size())
            return false;
        unsigned char a = static_cast<unsigned char>(text[n]);
        unsigned char b = static_cast<unsigned char>(prefix[n]);
        if (std::tolower(a) != std::tolower(b))
            return false;
    }
    return true;
}

bool containsNoCase(const std::string& text, const std::string& word) {
    auto it = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

// Decimal number as atoi reads it: leading blanks, an optional sign, the digits up to the first
// other character; no digits give 0. Saturates instead of overflowing.
int parseDecimal(const std::string& text, size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = std::min<long long>(value * 10 + (text[at] - '0'), INT_MAX);
    }
    return static_cast<int>(negative ? -value : value);
}

// The hexadecimal digits at the start of a chunk-size line; extensions after them are ignored.
int parseChunkSize(const std::string& line) {
    long long value = 0;
    for (char c : line) {
        int digit = krzHexDigitValue(c);
        if (digit < 0) {
            break;
        }
        value = std::min<long long>(value * 16 + digit, INT_MAX);
    }
    return static_cast<int>(value);
}

std::string base64(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                     static_cast<unsigned char>(bytes[i + 1]) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        out += alphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += rest == 2 ? alphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

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
// a failed connect or a reset ends the pass early; error is the select error, 0 when it worked.
struct SelectPass {
    bool readable = false;
    bool writable = false;
    bool failed = false;
    int error = 0;
};

SelectPass selectPass(SOCKET s, bool forRead, bool forWrite) {
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    if (forRead)
        FD_SET(s, &readSet);
    if (forWrite)
        FD_SET(s, &writeSet);
    FD_SET(s, &exceptSet);
    timeval tv = {0, SELECT_PASS_USEC};
    SelectPass pass;
    if (select(0, &readSet, &writeSet, &exceptSet, &tv) == SOCKET_ERROR) {
        pass.error = WSAGetLastError();
        return pass;
    }
    pass.readable = FD_ISSET(s, &readSet) != 0;
    pass.writable = FD_ISSET(s, &writeSet) != 0;
    pass.failed = FD_ISSET(s, &exceptSet) != 0;
    return pass;
}

}  // namespace

struct KRZPAPComm::SocketShare {
    SOCKET handle;
    explicit SocketShare(SOCKET s) : handle(s) {}
    ~SocketShare() {
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
      chunked(false),
      sock(INVALID_SOCKET),
      chunkRemaining(0),
      contentLength(-1),
      lastLineEnd(0),
      spacePlus(true),
      readPos(0),
      lineScanPos(0),
      peerClosed(false),
      readBudget(UNLIMITED) {
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

KRZPAPComm::KRZPAPComm(const KRZPAPComm& other) : cancel(false), readBudget(UNLIMITED) {
    *this = other;
}

KRZPAPComm& KRZPAPComm::operator=(const KRZPAPComm& other) {
    if (this == &other)
        return *this;
    timeout = other.timeout;
    readState = other.readState;
    address = other.address;
    cancel = other.cancel.load();
    chunked = other.chunked;
    sock = other.sock;
    socketShare = other.socketShare;
    username = other.username;
    password = other.password;
    responseHeaders = other.responseHeaders;
    responseBody = other.responseBody;
    readBuffer = other.readBuffer;
    chunkRemaining = other.chunkRemaining;
    contentLength = other.contentLength;
    lastLineEnd = other.lastLineEnd;
    virtualSocket = other.virtualSocket;
    interfaceMac = other.interfaceMac;
    destinationMac = other.destinationMac;
    spacePlus = other.spacePlus;
    cookies = other.cookies;
    readPos = other.readPos;
    lineScanPos = other.lineScanPos;
    peerClosed = other.peerClosed;
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
void KRZPAPComm::setCancel(bool value) {
    cancel = value;
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

unsigned int KRZPAPComm::getFD() const {
    return static_cast<unsigned int>(sock);
}
in_addr KRZPAPComm::getAddr() const {
    return *address;
}
const std::string& KRZPAPComm::getResponseHeaders() const {
    return responseHeaders;
}
const std::string& KRZPAPComm::getResponseBody() const {
    return responseBody;
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

void KRZPAPComm::checkReplySize() {
    if (responseHeaders.size() + responseBody.size() > MAX_REPLY)
        overLimit(__LINE__, "reply", MAX_REPLY);
}

// One select pass of at most 0.3 s on the socket; true when it is readable (forRead) or writable.
bool KRZPAPComm::selectSocket(bool forRead, bool forWrite) {
    SelectPass pass = selectPass(sock, forRead, forWrite);
    return forRead ? pass.readable : pass.writable;
}

void KRZPAPComm::consume(size_t count) {
    readPos += count;
    if (readPos >= readBuffer.size()) {
        readBuffer.clear();
        readPos = 0;
        lineScanPos = 0;
    } else if (readPos >= COMPACT_AT && readPos * 2 > readBuffer.size()) {
        readBuffer.erase(0, readPos);
        lineScanPos = lineScanPos > readPos ? lineScanPos - readPos : 0;
        readPos = 0;
    }
}

// Position of the first CR or LF at or after readPos, or npos. Bytes already searched are not
// searched again, so a long line arriving in many reads costs linear time.
size_t KRZPAPComm::findLineEnd() {
    size_t from = std::max(readPos, lineScanPos);
    size_t at = readBuffer.find_first_of("\r\n", from);
    lineScanPos = at == std::string::npos ? readBuffer.size() : at;
    return at;
}

// When the last line handed out ended with a lone CR or LF, its partner may still arrive at the
// head of the next read; raw-byte readers drop it, as getLine does, so that a CR LF pair split
// between two reads gives the same bytes as the pair in one read.
void KRZPAPComm::dropPendingPartner() {
    if (lastLineEnd == 0 || buffered() == 0)
        return;
    if (readBuffer[readPos] == partnerOf(lastLineEnd))
        consume(1);
    lastLineEnd = 0;
}

// ---- connection ----

void KRZPAPComm::openConnection(unsigned short port, bool noWait) {
    closeSocket();
    lastLineEnd = 0;
    cancel = false;
    peerClosed = false;
    createSocket();
    startConnect(port);
    if (!noWait)
        waitForConnect();
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
        SelectPass pass = selectPass(sock, false, true);
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
        if (cancel)
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
        int want = static_cast<int>(std::min<size_t>(FILL_PIECE, wanted - total));
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

KRZPAPCReadStatus KRZPAPComm::getLine(std::string& line) {
    return getLine(line, MAX_REPLY, "line");
}

// getLine with a bound on the line's length, counted without its line end; `what` names the line
// in the error.
KRZPAPCReadStatus KRZPAPComm::getLine(std::string& line, size_t limit, const char* what) {
    for (;;) {
        size_t end = findLineEnd();
        if (end == std::string::npos) {
            KRZPAPCReadStatus filled = fillBuffer();
            if (filled == KRZPAPC_READ_PENDING) {
                if (buffered() > limit)
                    overLimit(__LINE__, what, limit);
                return KRZPAPC_READ_PENDING;
            }
            end = findLineEnd();
            if (end == std::string::npos) {
                if (buffered() > limit)
                    overLimit(__LINE__, what, limit);
                if (filled != KRZPAPC_READ_CLOSED)
                    return KRZPAPC_READ_PENDING;
                if (buffered() == 0)
                    return KRZPAPC_READ_CLOSED;
                line.assign(readBuffer, readPos, std::string::npos);
                consume(buffered());
                lastLineEnd = 0;
                return KRZPAPC_READ_OK;
            }
        }
        if (end - readPos > limit)
            overLimit(__LINE__, what, limit);
        char lineEnd = readBuffer[end];
        if (end == readPos && lastLineEnd != 0 && lineEnd != lastLineEnd) {
            // Second half of a pair whose first half ended the previous line.
            consume(1);
            lastLineEnd = 0;
            continue;
        }
        line.assign(readBuffer, readPos, end - readPos);
        if (end + 1 < readBuffer.size() && readBuffer[end + 1] == partnerOf(lineEnd)) {
            lastLineEnd = 0;
            consume(end + 2 - readPos);
        } else {
            lastLineEnd = lineEnd;
            consume(end + 1 - readPos);
        }
        return KRZPAPC_READ_OK;
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
    if (buffered() > 0)
        return true;
    cancel = false;
    __time64_t start = now();
    if (selectSocket(true, false))
        return true;
    for (;;) {
        if (cancel)
            return false;
        if (now() - start > seconds)
            return false;
        if (selectSocket(true, false))
            return true;
    }
}

// ---- writing ----

void KRZPAPComm::sendReq(unsigned int socketHandle, const std::string& data, bool logData) {
    SOCKET s = static_cast<SOCKET>(socketHandle);
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
    return "Authorization: Basic " + base64(username + ":" + password) + "\r\n";
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
        responseHeaders.clear();
        responseBody.clear();
        readBuffer.clear();
        readPos = 0;
        lineScanPos = 0;
        chunkRemaining = 0;
        contentLength = -1;
        chunked = false;
        readState = READ_HEADERS;
    }
    // Each call receives a bounded amount, so that a device that never pauses still lets the
    // caller's wait look at its clock and cancel flag.
    struct Budget {
        size_t& left;
        explicit Budget(size_t& l) : left(l) { left = CALL_BUDGET; }
        ~Budget() { left = UNLIMITED; }
    } budget(readBudget);
    KRZPAPCReadStatus result = KRZPAPC_READ_OK;
    if (readState == READ_HEADERS) {
        result = readHeaders();
        if (result == KRZPAPC_READ_PENDING)
            return result;
        bool hasStatusLine = responseHeaders.compare(0, 4, "HTTP") == 0;
        if (result == KRZPAPC_READ_OK) {
            if (!hasStatusLine)
                responseBody.swap(responseHeaders);
            readState = READ_BODY;
        } else if (!hasStatusLine) {
            KRZPAPModule::log(logPrefix() + L"Received body without headers:\n", KRZ_LOG_TRACE);
            logDump(responseHeaders, L"");
            responseBody.swap(responseHeaders);
            result = KRZPAPC_READ_OK;
        }
    }
    if (readState == READ_BODY) {
        result = readBody();
        if (result == KRZPAPC_READ_PENDING)
            return result;
    }
    readState = READ_IDLE;
    closeSocket();
    return result;
}

KRZPAPCReadStatus KRZPAPComm::readHeaders() {
    std::string line;
    for (;;) {
        // Lines of a reply without status line are body text, bound only by the reply's size.
        bool statusLine = responseHeaders.empty()
                              ? buffered() >= 4 && readBuffer.compare(readPos, 4, "HTTP") == 0
                              : responseHeaders.compare(0, 4, "HTTP") == 0;
        KRZPAPCReadStatus result = statusLine ? getLine(line, MAX_HEADER_LINE, "header line")
                                              : getLine(line, MAX_REPLY, "reply");
        if (result != KRZPAPC_READ_OK)
            return result;
        if (line.empty()) {
            KRZPAPModule::log(logPrefix() + L"Received HTTP headers:\n", KRZ_LOG_TRACE);
            logDump(responseHeaders, L"");
            return KRZPAPC_READ_OK;
        }
        if (startsWithNoCase(line, "transfer-encoding:") && containsNoCase(line, "chunked")) {
            chunked = true;
        }
        // The value is read from the 17th character on (name, colon and one more skipped); a
        // line too short to have one declares nothing.
        if (startsWithNoCase(line, "content-length:") && line.size() > 16) {
            contentLength = parseDecimal(line, 16);
            if (contentLength > 0 && static_cast<size_t>(contentLength) > MAX_REPLY)
                overLimit(__LINE__, "declared length", MAX_REPLY);
        }
        responseHeaders += line;
        responseHeaders += "\r\n";
        if (statusLine && responseHeaders.size() > MAX_HEADER_BLOCK)
            overLimit(__LINE__, "header block", MAX_HEADER_BLOCK);
        checkReplySize();
    }
}

KRZPAPCReadStatus KRZPAPComm::readBody() {
    KRZPAPCReadStatus result = KRZPAPC_READ_OK;
    if (chunked) {
        result = readChunks();
        if (result != KRZPAPC_READ_OK)
            return result;
    } else {
        dropPendingPartner();
        size_t take = buffered();
        if (contentLength > 0)
            take = std::min(take, static_cast<size_t>(contentLength));
        responseBody.append(readBuffer, readPos, take);
        consume(take);
        checkReplySize();
        if (contentLength > 0)
            contentLength -= static_cast<int>(take);
        char piece[BODY_PIECE];
        while (contentLength != 0) {
            if (readBudget == 0)
                return KRZPAPC_READ_PENDING;
            // A positive length is never read past, so a reply ends with its last byte.
            int size = contentLength > 0 && contentLength < BODY_PIECE ? contentLength : BODY_PIECE;
            size = static_cast<int>(std::min<size_t>(static_cast<size_t>(size), readBudget));
            int got = sock == INVALID_SOCKET && peerClosed ? 0 : recv(sock, piece, size, 0);
            if (got == 0) {
                // Closed before the declared length: the reply is cut short.
                if (contentLength > 0)
                    result = KRZPAPC_READ_CLOSED;
                break;
            }
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
            const char* data = piece;
            if (lastLineEnd != 0) {
                if (*data == partnerOf(lastLineEnd)) {
                    ++data;
                    --got;
                }
                lastLineEnd = 0;
            }
            responseBody.append(data, static_cast<size_t>(got));
            checkReplySize();
            if (contentLength > 0)
                contentLength -= got;
        }
    }
    KRZPAPModule::log(logPrefix() + L"Received HTTP body:\n", KRZ_LOG_TRACE);
    logDump(responseBody, L"\n");
    return result;
}

KRZPAPCReadStatus KRZPAPComm::readChunks() {
    for (;;) {
        if (chunkRemaining == 0) {
            // Empty lines are skipped: they are the line ends after the previous chunk's data.
            std::string line;
            do {
                KRZPAPCReadStatus result = getLine(line, MAX_CHUNK_SIZE_LINE, "chunk-size line");
                if (result != KRZPAPC_READ_OK)
                    return result;
            } while (line.empty());
            chunkRemaining = parseChunkSize(line);
            if (chunkRemaining == 0)
                return KRZPAPC_READ_OK;
            if (responseHeaders.size() + responseBody.size() + static_cast<size_t>(chunkRemaining) >
                MAX_REPLY)
                overLimit(__LINE__, "reply", MAX_REPLY);
        }
        // Chunk data moves to the body as it arrives; chunk remaining counts what is still to
        // come, so a large chunk is never held twice.
        dropPendingPartner();
        if (buffered() == 0) {
            KRZPAPCReadStatus filled = fillBuffer();
            if (filled != KRZPAPC_READ_OK)
                return filled;
            dropPendingPartner();
        }
        size_t take = std::min(buffered(), static_cast<size_t>(chunkRemaining));
        responseBody.append(readBuffer, readPos, take);
        consume(take);
        chunkRemaining -= static_cast<int>(take);
    }
}

void KRZPAPComm::readResponseSynchronous() {
    cancel = false;
    Deadline deadline(timeout);
    bool cancelled = false;
    auto noteCancel = [&] {
        if (cancel)
            cancelled = true;
    };
    KRZPAPCReadStatus result = KRZPAPC_READ_PENDING;
    while (sock != INVALID_SOCKET) {
        if (selectSocket(true, false)) {
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
