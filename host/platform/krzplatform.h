// The Windows system interfaces the library is written against: the Winsock 1.1 subset (plus the
// few calls the lab and the tests need to serve on loopback), the kernel and user calls, and the
// run-time time functions. On Windows this is the system's own headers. Elsewhere it declares the
// same names as real functions with Windows semantics, implemented in the *_posix.cpp units, so
// that library code is the same on both. No name is redefined with a macro.
//
// Semantics kept from Windows on POSIX:
//  - WSAGetLastError() returns Winsock numbers (10035 for a connect or read that would block,
//    10053/10054/10057/10061/10065 for aborted/reset/not connected/refused/unreachable).
//  - fd_set is Winsock's: an array of at most 64 handles; FD_SET ignores a handle already present
//    or a full set, FD_CLR closes the gap. select() runs on poll(), so any descriptor number is
//    safe. A non-blocking connect that failed is reported in the except set (as Windows does), not
//    as writable; getsockopt(SO_ERROR) then returns its Winsock number.
//  - send() never raises SIGPIPE; sockets are not inherited by programs this process starts.
//  - LoadLibraryW("name.dll") also tries lib<name>.so beside the library, in its private folder
//    krzpapconfigu/ and beside the program.
//
// Option and flag values are the host system's own (SOL_SOCKET is 1 on Linux, 0xFFFF on Windows):
// code uses the names, never the numbers.
//
// On POSIX every unit is built with _SYS_SELECT_H defined (the build does it): glibc's
// <sys/types.h> would otherwise declare the BSD fd_set and select in every unit. Units that call
// the system's socket API themselves (the *_posix.cpp units, and Linux-only test support) define
// KRZ_PLATFORM_IMPLEMENTATION: they get the system's own socket declarations and, from here, only
// the Winsock names that do not collide with them (fd_set, select, closesocket, ...). Every other
// unit sees no system header through this one.
#pragma once

#include "krzcompat/krzexport.h"

#if defined(_WIN32)

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sys/timeb.h>

#include <cstdint>
#include <ctime>

#else  // POSIX

#include <cstdint>
#include <ctime>  // struct timeval

#if !defined(_SYS_SELECT_H)
#error "build with _SYS_SELECT_H defined: the platform layer supplies fd_set and select"
#endif

// ---- basic Windows types ----
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef DWORD* PDWORD;
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int UINT;
typedef unsigned short u_short;
typedef unsigned long u_long;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* HMODULE;
typedef HMODULE HINSTANCE;
typedef int64_t __time64_t;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr WORD MAKEWORD(BYTE lo, BYTE hi) {
    return static_cast<WORD>(lo | (static_cast<WORD>(hi) << 8));
}
constexpr BYTE LOBYTE(WORD w) {
    return static_cast<BYTE>(w & 0xff);
}
constexpr BYTE HIBYTE(WORD w) {
    return static_cast<BYTE>((w >> 8) & 0xff);
}

// ---- error numbers ----
enum : DWORD {
    NO_ERROR = 0,
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_MOD_NOT_FOUND = 126,
    ERROR_BAD_EXE_FORMAT = 193,
    ERROR_NO_DATA = 232,
};

enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEMSGSIZE = 10040,
    WSAEPROTONOSUPPORT = 10043,
    WSAEOPNOTSUPP = 10045,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSANOTINITIALISED = 10093,
};

// ---- Winsock ----
typedef unsigned int SOCKET;
constexpr SOCKET INVALID_SOCKET = ~0u;
constexpr int SOCKET_ERROR = -1;

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
typedef WSADATA* LPWSADATA;

KRZPLATFORM_API int WSAStartup(WORD versionRequested, LPWSADATA data);
KRZPLATFORM_API int WSACleanup();
// The Winsock number for the calling thread's last failed socket call. The thread's errno carries
// it: a failed POSIX call leaves its errno, which is mapped here, and WSASetLastError stores the
// Winsock number itself. The host libraries' logging, settings and kernel calls leave errno as
// they found it.
KRZPLATFORM_API int WSAGetLastError();
KRZPLATFORM_API void WSASetLastError(int error);
// Maps a POSIX errno value to its Winsock number (0 stays 0; values of 10000 and above are Winsock
// numbers already and stay; other unknown values map to 10000 + errno).
KRZPLATFORM_API int krz_errnoToWsa(int err);

KRZPLATFORM_API int closesocket(SOCKET s);
// FIONBIO (argument 0/1) and FIONREAD (bytes waiting) as Winsock has them.
KRZPLATFORM_API int ioctlsocket(SOCKET s, long cmd, u_long* argp);

// Winsock's fd_set: a list of handles, not a bit mask.
constexpr unsigned FD_SETSIZE = 64;
struct fd_set {
    unsigned int fd_count;
    SOCKET fd_array[FD_SETSIZE];
};
inline void FD_ZERO(fd_set* set) {
    set->fd_count = 0;
}
KRZPLATFORM_API void FD_SET(SOCKET s, fd_set* set);
KRZPLATFORM_API void FD_CLR(SOCKET s, fd_set* set);
KRZPLATFORM_API int FD_ISSET(SOCKET s, const fd_set* set);

// Winsock select: the first argument is ignored; a null timeout waits without limit. Returns the
// number of handles left in the three sets, 0 on time-out, SOCKET_ERROR on failure.
KRZPLATFORM_API int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                           const timeval* timeout);

// The calls whose names the system's socket headers also declare are exported as krz_*; the
// Winsock names below forward to them.
struct in_addr;
struct sockaddr;
struct sockaddr_in;
struct hostent;
KRZPLATFORM_API SOCKET krz_socket(int af, int type, int protocol);
KRZPLATFORM_API int krz_connect(SOCKET s, const sockaddr* name, int namelen);
KRZPLATFORM_API int krz_bind(SOCKET s, const sockaddr* name, int namelen);
KRZPLATFORM_API int krz_listen(SOCKET s, int backlog);
KRZPLATFORM_API SOCKET krz_accept(SOCKET s, sockaddr* addr, int* addrlen);
KRZPLATFORM_API int krz_shutdown(SOCKET s, int how);
KRZPLATFORM_API int krz_send(SOCKET s, const char* buf, int len, int flags);
KRZPLATFORM_API int krz_recv(SOCKET s, char* buf, int len, int flags);
// SO_ERROR comes back as a Winsock number; other options pass through.
KRZPLATFORM_API int krz_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
KRZPLATFORM_API int krz_setsockopt(SOCKET s, int level, int optname, const char* optval,
                                   int optlen);
KRZPLATFORM_API int krz_getsockname(SOCKET s, sockaddr* name, int* namelen);
KRZPLATFORM_API int krz_getpeername(SOCKET s, sockaddr* name, int* namelen);
KRZPLATFORM_API uint32_t krz_inet_addr(const char* text);
// The text lives in a buffer of the calling thread until its next call.
KRZPLATFORM_API char* krz_inet_ntoa(uint32_t address);
KRZPLATFORM_API int krz_inet_pton(int af, const char* text, void* out);
KRZPLATFORM_API const char* krz_inet_ntop(int af, const void* address, char* out, int size);
KRZPLATFORM_API hostent* krz_gethostbyname(const char* name);

#if defined(KRZ_PLATFORM_IMPLEMENTATION)

// Units that talk to the system's sockets themselves get its own declarations of these.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#else

// Layouts are the system's own, so that addresses pass to the kernel unchanged.
struct in_addr {
    uint32_t s_addr;
};
struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};
struct sockaddr_in {
    u_short sin_family;
    u_short sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
struct hostent {
    char* h_name;
    char** h_aliases;
    int h_addrtype;
    int h_length;
    char** h_addr_list;
};
struct linger {
    int l_onoff;
    int l_linger;
};

constexpr int AF_INET = 2;
constexpr int PF_INET = AF_INET;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int IPPROTO_TCP = 6;
constexpr int TCP_NODELAY = 1;
constexpr int SOL_SOCKET = 1;
constexpr int SO_REUSEADDR = 2;
constexpr int SO_ERROR = 4;
constexpr int SO_SNDBUF = 7;
constexpr int SO_RCVBUF = 8;
constexpr int SO_KEEPALIVE = 9;
constexpr int SO_LINGER = 13;
constexpr int MSG_PEEK = 2;
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
constexpr int SOMAXCONN = 4096;
constexpr long FIONREAD = 0x541B;
constexpr long FIONBIO = 0x5421;
constexpr uint32_t INADDR_ANY = 0;
constexpr uint32_t INADDR_NONE = 0xffffffffu;
constexpr uint32_t INADDR_LOOPBACK = 0x7f000001u;
constexpr int INET_ADDRSTRLEN = 16;

inline SOCKET socket(int af, int type, int protocol) {
    return krz_socket(af, type, protocol);
}
inline int connect(SOCKET s, const sockaddr* name, int namelen) {
    return krz_connect(s, name, namelen);
}
inline int bind(SOCKET s, const sockaddr* name, int namelen) {
    return krz_bind(s, name, namelen);
}
inline int listen(SOCKET s, int backlog) {
    return krz_listen(s, backlog);
}
inline SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    return krz_accept(s, addr, addrlen);
}
inline int shutdown(SOCKET s, int how) {
    return krz_shutdown(s, how);
}
inline int send(SOCKET s, const char* buf, int len, int flags) {
    return krz_send(s, buf, len, flags);
}
inline int recv(SOCKET s, char* buf, int len, int flags) {
    return krz_recv(s, buf, len, flags);
}
inline int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    return krz_getsockopt(s, level, optname, optval, optlen);
}
inline int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    return krz_setsockopt(s, level, optname, optval, optlen);
}
inline int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    return krz_getsockname(s, name, namelen);
}
inline int getpeername(SOCKET s, sockaddr* name, int* namelen) {
    return krz_getpeername(s, name, namelen);
}
inline unsigned long inet_addr(const char* text) {
    return krz_inet_addr(text);
}
inline char* inet_ntoa(in_addr address) {
    return krz_inet_ntoa(address.s_addr);
}
inline int inet_pton(int af, const char* text, void* out) {
    return krz_inet_pton(af, text, out);
}
inline const char* inet_ntop(int af, const void* address, char* out, size_t size) {
    return krz_inet_ntop(af, address, out, static_cast<int>(size));
}
inline hostent* gethostbyname(const char* name) {
    return krz_gethostbyname(name);
}

// Network byte order is big-endian.
constexpr u_short htons(u_short v) {
    return static_cast<u_short>((v >> 8) | (v << 8));
}
constexpr u_short ntohs(u_short v) {
    return htons(v);
}
constexpr uint32_t htonl(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}
constexpr uint32_t ntohl(uint32_t v) {
    return htonl(v);
}

#endif  // !KRZ_PLATFORM_IMPLEMENTATION

// ---- kernel and user ----
KRZPLATFORM_API void Sleep(DWORD milliseconds);
KRZPLATFORM_API DWORD GetLastError();
KRZPLATFORM_API void SetLastError(DWORD error);
// Opens a shared object. A name ending in ".dll" (any case) is also tried as lib<name>.so in the
// folder of this platform library, of the running program, and on the loader's path. On failure
// GetLastError() gives ERROR_MOD_NOT_FOUND (126) or ERROR_BAD_EXE_FORMAT (193).
KRZPLATFORM_API HMODULE LoadLibraryW(LPCWSTR name);
KRZPLATFORM_API BOOL FreeLibrary(HMODULE module);
KRZPLATFORM_API void* GetProcAddress(HMODULE module, const char* name);
// Copies string `id` of the module's numbered wide-string store into `buffer` (at most
// bufferMax - 1 characters and a terminating zero). Returns the number of characters copied, 0
// when the module has no such string. A module publishes its store through an exported symbol
// "krzStringTable" (see krzstringtable.h).
KRZPLATFORM_API int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int bufferMax);

// ---- run-time time functions ----
struct __timeb64 {
    __time64_t time;
    unsigned short millitm;
    short timezone;
    short dstflag;
};
KRZPLATFORM_API __time64_t _time64(__time64_t* out);
KRZPLATFORM_API void _ftime64(struct __timeb64* out);

#endif  // POSIX

// The local calendar time of a moment in seconds since 1970, safe to call from any thread.
KRZPLATFORM_API void krz_localtime(int64_t seconds, std::tm* out);
