// The Windows system interfaces the library is written against: the Winsock 1.1 subset, the kernel
// and user calls, and the run-time time functions. On Windows this header would include the real
// ones; elsewhere it supplies them with Windows semantics so that library code is the same on both.
//
// Semantics kept from Windows:
//  - WSAGetLastError() returns Winsock numbers (10035 for a connect or read that would block,
//    10053/10054/10057/10061/10065 for aborted/reset/not connected/refused/unreachable).
//  - fd_set is Winsock's: an array of at most 64 handles; FD_SET ignores a handle already present
//  or
//    a full set, FD_CLR closes the gap. select() runs on poll(), so any descriptor number is safe.
//    A non-blocking connect that failed is reported in the except set (as Windows does), not as
//    writable; getsockopt(SO_ERROR) then returns its Winsock number.
//  - send() never raises SIGPIPE.
//  - LoadLibraryW("name.dll") also tries lib<name>.so beside the library and beside the program.
//
// Include this header after any system header: it replaces the POSIX fd_set and select.
#pragma once

#include "krzcompat/krzexport.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

// ---- basic Windows types ----
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef DWORD* PDWORD;
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int UINT;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* HMODULE;
typedef HMODULE HINSTANCE;
typedef int64_t __time64_t;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAKEWORD(lo, hi) ((WORD)(((BYTE)(lo)) | (((WORD)((BYTE)(hi))) << 8)))
#define LOBYTE(w) ((BYTE)((w)&0xff))
#define HIBYTE(w) ((BYTE)(((w) >> 8) & 0xff))

// ---- error numbers ----
#define NO_ERROR 0
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_INVALID_PARAMETER 87
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_BAD_EXE_FORMAT 193
#define ERROR_NO_DATA 232

#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEPROTONOSUPPORT 10043
#define WSAEOPNOTSUPP 10045
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSANOTINITIALISED 10093

// ---- Winsock ----
typedef unsigned int SOCKET;
#define INVALID_SOCKET (SOCKET)(~0u)
#define SOCKET_ERROR (-1)

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
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
// it: a failed POSIX call (socket(), connect(), ...) leaves its errno, which is mapped here, and
// WSASetLastError stores the Winsock number itself. The host libraries' logging, settings and
// kernel calls leave errno as they found it.
KRZPLATFORM_API int WSAGetLastError();
KRZPLATFORM_API void WSASetLastError(int error);
// Maps a POSIX errno value to its Winsock number (0 stays 0; values of 10000 and above are Winsock
// numbers already and stay; other unknown values map to 10000 + errno).
KRZPLATFORM_API int krz_errnoToWsa(int err);

KRZPLATFORM_API int closesocket(SOCKET s);
// FIONBIO (argument 0/1) and FIONREAD (bytes waiting) as Winsock has them.
KRZPLATFORM_API int ioctlsocket(SOCKET s, long cmd, unsigned long* argp);

// Winsock fd_set, replacing the POSIX one for code that includes this header.
#undef FD_SETSIZE
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#undef FD_ZERO
#define FD_SETSIZE 64
struct krz_fd_set {
    unsigned int fd_count;
    SOCKET fd_array[FD_SETSIZE];
};
#define fd_set krz_fd_set
KRZPLATFORM_API void krz_FD_SET(SOCKET s, krz_fd_set* set);
KRZPLATFORM_API void krz_FD_CLR(SOCKET s, krz_fd_set* set);
KRZPLATFORM_API int krz_FD_ISSET(SOCKET s, const krz_fd_set* set);
#define FD_SET(s, set) krz_FD_SET((SOCKET)(s), (set))
#define FD_CLR(s, set) krz_FD_CLR((SOCKET)(s), (set))
#define FD_ISSET(s, set) krz_FD_ISSET((SOCKET)(s), (set))
#define FD_ZERO(set) ((set)->fd_count = 0)

// Winsock select: the first argument is ignored; a null timeout waits without limit. Returns the
// number of handles left in the three sets, 0 on time-out, SOCKET_ERROR on failure.
KRZPLATFORM_API int krz_select(int nfds, krz_fd_set* readfds, krz_fd_set* writefds,
                               krz_fd_set* exceptfds, const struct timeval* timeout);
#define select(n, r, w, e, t) krz_select((n), (r), (w), (e), (t))

KRZPLATFORM_API int krz_send(SOCKET s, const char* buf, int len, int flags);
#define send(s, b, l, f) krz_send((s), (b), (l), (f))
KRZPLATFORM_API int krz_recv(SOCKET s, char* buf, int len, int flags);
#define recv(s, b, l, f) krz_recv((s), (b), (l), (f))
// SO_ERROR comes back as a Winsock number; other options pass through.
KRZPLATFORM_API int krz_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
#define getsockopt(s, l, n, v, len) krz_getsockopt((s), (l), (n), (char*)(v), (len))

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
