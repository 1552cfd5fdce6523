// Winsock 1.1 on POSIX sockets. The calling thread's errno carries the last socket error:
// failed POSIX calls leave their errno value there and WSAGetLastError maps it, while Winsock
// numbers stored through WSASetLastError (all 10000 and above, clear of every errno value) map
// to themselves.
#define KRZ_PLATFORM_IMPLEMENTATION
#include "platform/krzplatform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

std::atomic<int> g_startups{0};

// The kernel hands out a socket's pending error once (SO_ERROR, or the next call). When select
// has to take it to classify a connect, it is kept here until getsockopt, send or recv asks.
struct PendingError {
    dev_t dev;
    ino_t ino;
    int err;
};
std::mutex g_pendingMutex;
std::unordered_map<int, PendingError>& pendingErrors() {
    static std::unordered_map<int, PendingError> map;
    return map;
}

bool socketIdentity(int fd, dev_t& dev, ino_t& ino) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
}

void storePending(int fd, int err) {
    dev_t dev;
    ino_t ino;
    if (!socketIdentity(fd, dev, ino)) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    pendingErrors()[fd] = PendingError{dev, ino, err};
}

// The error kept for fd, 0 when none; `take` forgets it. An entry left by a descriptor that was
// closed without closesocket does not match the socket that now has the number.
int pendingFor(int fd, bool take) {
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    auto& map = pendingErrors();
    auto it = map.find(fd);
    if (it == map.end()) {
        return 0;
    }
    dev_t dev;
    ino_t ino;
    int err = 0;
    if (socketIdentity(fd, dev, ino) && dev == it->second.dev && ino == it->second.ino) {
        err = it->second.err;
    }
    if (take || err == 0) {
        map.erase(it);
    }
    return err;
}

void forgetPending(int fd) {
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    pendingErrors().erase(fd);
}

// Errors with which a connect ends; a reset or broken pipe belongs to an established connection.
bool isConnectFailure(int err) {
    switch (err) {
        case ECONNREFUSED:
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
        case ENETDOWN:
        case EACCES:
        case EPERM:
        case EADDRNOTAVAIL:
            return true;
        default:
            return false;
    }
}

// Takes the socket's error from the kernel (or from what select kept) and keeps it for later.
int takeSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    int saved = errno;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
        storePending(fd, err);
    } else {
        err = pendingFor(fd, false);
    }
    errno = saved;
    return err;
}

int timeoutMs(const struct timeval* tv) {
    if (tv == nullptr) {
        return -1;
    }
    long long ms = static_cast<long long>(tv->tv_sec) * 1000 + (tv->tv_usec + 999) / 1000;
    if (ms < 0) {
        return 0;
    }
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

struct Watched {
    pollfd pfd;
    bool inRead = false;
    bool inWrite = false;
    bool inExcept = false;
    bool read = false;
    bool write = false;
    bool except = false;
};

void addWatched(std::vector<Watched>& list, fd_set* set, short events, bool Watched::*member) {
    if (set == nullptr) {
        return;
    }
    unsigned count = set->fd_count < FD_SETSIZE ? set->fd_count : FD_SETSIZE;
    for (unsigned i = 0; i < count; ++i) {
        int fd = static_cast<int>(set->fd_array[i]);
        Watched* entry = nullptr;
        for (Watched& w : list) {
            if (w.pfd.fd == fd) {
                entry = &w;
            }
        }
        if (entry == nullptr) {
            list.push_back(Watched{});
            entry = &list.back();
            entry->pfd.fd = fd;
        }
        entry->pfd.events = static_cast<short>(entry->pfd.events | events);
        entry->*member = true;
    }
}

// Windows reports a failed connect in the except set only; everything else that poll says about
// a socket (data, end of stream, reset) makes it readable.
void classify(Watched& w) {
    short ev = w.pfd.revents;
    bool failedConnect = false;
    // After the first report the kernel shows a failed connect only as hang-up; what select
    // kept from the first time still classifies it.
    if ((ev & (POLLERR | POLLHUP)) && (w.inWrite || w.inExcept)) {
        failedConnect = isConnectFailure(takeSocketError(w.pfd.fd));
    }
    w.read = w.inRead && !failedConnect && (ev & (POLLIN | POLLHUP | POLLERR));
    w.write = w.inWrite && !failedConnect && (ev & POLLOUT);
    w.except = w.inExcept && (failedConnect || (ev & POLLPRI));
}

int keepReady(fd_set* set, const std::vector<Watched>& list, bool Watched::*ready) {
    if (set == nullptr) {
        return 0;
    }
    unsigned count = set->fd_count < FD_SETSIZE ? set->fd_count : FD_SETSIZE;
    unsigned kept = 0;
    for (unsigned i = 0; i < count; ++i) {
        int fd = static_cast<int>(set->fd_array[i]);
        for (const Watched& w : list) {
            if (w.pfd.fd == fd && w.*ready) {
                set->fd_array[kept++] = set->fd_array[i];
                break;
            }
        }
    }
    set->fd_count = kept;
    return static_cast<int>(kept);
}

}  // namespace

int krz_errnoToWsa(int err) {
    if (err == 0 || err >= 10000) {
        return err;
    }
    switch (err) {
        case EINTR:
            return WSAEINTR;
        case EBADF:
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS:
            return WSAEWOULDBLOCK;
        case EALREADY:
            return WSAEALREADY;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        default:
            return 10000 + err;
    }
}

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (data == nullptr) {
        return WSAEFAULT;
    }
    std::memset(data, 0, sizeof *data);
    data->wVersion = MAKEWORD(1, 1);
    data->wHighVersion = MAKEWORD(1, 1);
    std::strcpy(data->szDescription, "krzplatform sockets");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 0xFFFF;
    data->iMaxUdpDg = 0xFFFF;
    // Below 1.1 is not offered (Winsock's WSAVERNOTSUPPORTED).
    if (LOBYTE(versionRequested) < 1 ||
        (LOBYTE(versionRequested) == 1 && HIBYTE(versionRequested) < 1)) {
        return 10092;
    }
    ++g_startups;
    return 0;
}

int WSACleanup() {
    int count = g_startups.load();
    while (count > 0 && !g_startups.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0) {
        errno = WSANOTINITIALISED;
        return SOCKET_ERROR;
    }
    return 0;
}

int WSAGetLastError() {
    return krz_errnoToWsa(errno);
}
void WSASetLastError(int error) {
    errno = error;
}

int closesocket(SOCKET s) {
    int fd = static_cast<int>(s);
    forgetPending(fd);
    if (::close(fd) != 0 && errno != EINTR) {
        return SOCKET_ERROR;
    }
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    int fd = static_cast<int>(s);
    if (argp == nullptr) {
        errno = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (cmd == static_cast<long>(FIONBIO)) {  // the same number as the platform header's
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0) {
            return SOCKET_ERROR;
        }
        flags = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : SOCKET_ERROR;
    }
    if (cmd == static_cast<long>(FIONREAD)) {
        int available = 0;
        if (::ioctl(fd, FIONREAD, &available) != 0) {
            return SOCKET_ERROR;
        }
        *argp = static_cast<unsigned long>(available);
        return 0;
    }
    errno = WSAEINVAL;
    return SOCKET_ERROR;
}

void FD_SET(SOCKET s, fd_set* set) {
    for (unsigned i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) {
            return;
        }
    }
    if (set->fd_count < FD_SETSIZE) {
        set->fd_array[set->fd_count++] = s;
    }
}

void FD_CLR(SOCKET s, fd_set* set) {
    for (unsigned i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) {
            for (unsigned j = i + 1; j < set->fd_count; ++j) {
                set->fd_array[j - 1] = set->fd_array[j];
            }
            --set->fd_count;
            return;
        }
    }
}

int FD_ISSET(SOCKET s, const fd_set* set) {
    for (unsigned i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) {
            return 1;
        }
    }
    return 0;
}

int select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           const struct timeval* timeout) {
    std::vector<Watched> list;
    addWatched(list, readfds, POLLIN, &Watched::inRead);
    addWatched(list, writefds, POLLOUT, &Watched::inWrite);
    addWatched(list, exceptfds, POLLPRI, &Watched::inExcept);
    if (list.empty()) {
        errno = WSAEINVAL;  // Winsock refuses a select with nothing to wait for
        return SOCKET_ERROR;
    }
    int waitMs = timeoutMs(timeout);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::vector<pollfd> pfds(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        pfds[i] = list[i].pfd;
    }
    for (;;) {
        int n = ::poll(pfds.data(), pfds.size(), waitMs);
        if (n < 0 && errno != EINTR) {
            return SOCKET_ERROR;
        }
        int ready = 0;
        for (size_t i = 0; n > 0 && i < list.size(); ++i) {
            if (pfds[i].revents & POLLNVAL) {
                errno = WSAENOTSOCK;
                return SOCKET_ERROR;
            }
            if (pfds[i].fd < 0 || pfds[i].revents == 0) {
                continue;
            }
            list[i].pfd.revents = pfds[i].revents;
            classify(list[i]);
            if (list[i].read || list[i].write || list[i].except) {
                ++ready;
            } else {
                // Its state will not change (a failed connect no one asked about): stop
                // polling it rather than spin until the time-out.
                pfds[i].fd = -1;
            }
        }
        if (ready > 0) {
            break;
        }
        if (waitMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            waitMs = static_cast<int>(left.count());
        }
    }
    return keepReady(readfds, list, &Watched::read) + keepReady(writefds, list, &Watched::write) +
           keepReady(exceptfds, list, &Watched::except);
}

namespace {

// One send or recv: a negative length is refused and an error kept for the socket is reported
// before anything moves; the call is repeated while a signal interrupts it.
template <typename Io>
int transfer(int fd, int len, Io io) {
    if (len < 0) {
        errno = WSAEINVAL;
        return SOCKET_ERROR;
    }
    int pending = pendingFor(fd, true);
    if (pending != 0) {
        errno = pending;
        return SOCKET_ERROR;
    }
    for (;;) {
        ssize_t n = io(static_cast<size_t>(len));
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EINTR) {
            return SOCKET_ERROR;
        }
    }
}

}  // namespace

int krz_send(SOCKET s, const char* buf, int len, int flags) {
    int fd = static_cast<int>(s);
    return transfer(fd, len,
                    [&](size_t size) { return ::send(fd, buf, size, flags | MSG_NOSIGNAL); });
}

int krz_recv(SOCKET s, char* buf, int len, int flags) {
    int fd = static_cast<int>(s);
    return transfer(fd, len, [&](size_t size) { return ::recv(fd, buf, size, flags); });
}

int krz_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    int fd = static_cast<int>(s);
    if (optlen == nullptr || *optlen < 0) {
        errno = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (level == SOL_SOCKET && optname == SO_ERROR) {
        if (optval == nullptr || *optlen < static_cast<int>(sizeof(int))) {
            errno = WSAEFAULT;
            return SOCKET_ERROR;
        }
        int err = pendingFor(fd, true);
        if (err == 0) {
            socklen_t len = sizeof err;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                return SOCKET_ERROR;
            }
        }
        int wsa = krz_errnoToWsa(err);
        std::memcpy(optval, &wsa, sizeof wsa);
        *optlen = sizeof wsa;
        return 0;
    }
    socklen_t len = static_cast<socklen_t>(*optlen);
    if (::getsockopt(fd, level, optname, optval, &len) != 0) {
        return SOCKET_ERROR;
    }
    *optlen = static_cast<int>(len);
    return 0;
}

SOCKET krz_socket(int af, int type, int protocol) {
    // Not inherited by programs this process starts, as Windows handles are not by default.
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

int krz_connect(SOCKET s, const sockaddr* name, int namelen) {
    int fd = static_cast<int>(s);
    forgetPending(fd);
    return ::connect(fd, name, static_cast<socklen_t>(namelen)) == 0 ? 0 : SOCKET_ERROR;
}

int krz_bind(SOCKET s, const sockaddr* name, int namelen) {
    return ::bind(static_cast<int>(s), name, static_cast<socklen_t>(namelen)) == 0 ? 0
                                                                                   : SOCKET_ERROR;
}

int krz_listen(SOCKET s, int backlog) {
    return ::listen(static_cast<int>(s), backlog) == 0 ? 0 : SOCKET_ERROR;
}

SOCKET krz_accept(SOCKET s, sockaddr* addr, int* addrlen) {
    socklen_t len = addrlen != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
    int fd;
    do {
        fd =
            ::accept4(static_cast<int>(s), addr, addrlen != nullptr ? &len : nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return INVALID_SOCKET;
    }
    if (addrlen != nullptr) {
        *addrlen = static_cast<int>(len);
    }
    return static_cast<SOCKET>(fd);
}

int krz_shutdown(SOCKET s, int how) {
    // SD_RECEIVE, SD_SEND and SD_BOTH are SHUT_RD, SHUT_WR and SHUT_RDWR.
    return ::shutdown(static_cast<int>(s), how) == 0 ? 0 : SOCKET_ERROR;
}

int krz_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (optlen < 0) {
        errno = WSAEFAULT;
        return SOCKET_ERROR;
    }
    return ::setsockopt(static_cast<int>(s), level, optname, optval,
                        static_cast<socklen_t>(optlen)) == 0
               ? 0
               : SOCKET_ERROR;
}

namespace {

template <typename Call>
int nameOf(SOCKET s, sockaddr* name, int* namelen, Call call) {
    if (namelen == nullptr || *namelen < 0) {
        errno = WSAEFAULT;
        return SOCKET_ERROR;
    }
    socklen_t len = static_cast<socklen_t>(*namelen);
    if (call(static_cast<int>(s), name, &len) != 0) {
        return SOCKET_ERROR;
    }
    *namelen = static_cast<int>(len);
    return 0;
}

}  // namespace

int krz_getsockname(SOCKET s, sockaddr* name, int* namelen) {
    return nameOf(s, name, namelen, ::getsockname);
}

int krz_getpeername(SOCKET s, sockaddr* name, int* namelen) {
    return nameOf(s, name, namelen, ::getpeername);
}

uint32_t krz_inet_addr(const char* text) {
    return ::inet_addr(text);
}

char* krz_inet_ntoa(uint32_t address) {
    thread_local char text[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = address;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

int krz_inet_pton(int af, const char* text, void* out) {
    return ::inet_pton(af, text, out);
}

const char* krz_inet_ntop(int af, const void* address, char* out, int size) {
    return size < 0 ? nullptr : ::inet_ntop(af, address, out, static_cast<socklen_t>(size));
}

hostent* krz_gethostbyname(const char* name) {
    return ::gethostbyname(name);
}
