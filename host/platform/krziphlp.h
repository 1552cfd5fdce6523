// The IP Helper subset: the kernel's TCP connection table and the host ARP table, with Windows
// shapes and results. Implemented by the network library: the TCP table is the machine's own, the
// ARP table comes from the active network backend.
#pragma once

#include "platform/krzplatform.h"

// On Windows the system's iphlpapi.h (through the platform header) declares all of this.
#if !defined(_WIN32)

#define MAXLEN_PHYSADDR 8

#define MIB_TCP_STATE_CLOSED 1
#define MIB_TCP_STATE_LISTEN 2
#define MIB_TCP_STATE_SYN_SENT 3
#define MIB_TCP_STATE_SYN_RCVD 4
#define MIB_TCP_STATE_ESTAB 5
#define MIB_TCP_STATE_FIN_WAIT1 6
#define MIB_TCP_STATE_FIN_WAIT2 7
#define MIB_TCP_STATE_CLOSE_WAIT 8
#define MIB_TCP_STATE_CLOSING 9
#define MIB_TCP_STATE_LAST_ACK 10
#define MIB_TCP_STATE_TIME_WAIT 11
#define MIB_TCP_STATE_DELETE_TCB 12

#define MIB_IPNET_TYPE_OTHER 1
#define MIB_IPNET_TYPE_INVALID 2
#define MIB_IPNET_TYPE_DYNAMIC 3
#define MIB_IPNET_TYPE_STATIC 4

// Addresses in network byte order; ports in network byte order in the low 16 bits.
struct MIB_TCPROW {
    DWORD dwState;
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
};
typedef MIB_TCPROW* PMIB_TCPROW;

struct MIB_TCPTABLE {
    DWORD dwNumEntries;
    MIB_TCPROW table[1];
};
typedef MIB_TCPTABLE* PMIB_TCPTABLE;

struct MIB_IPNETROW {
    DWORD dwIndex;
    DWORD dwPhysAddrLen;
    BYTE bPhysAddr[MAXLEN_PHYSADDR];
    DWORD dwAddr;
    DWORD dwType;
};
typedef MIB_IPNETROW* PMIB_IPNETROW;

struct MIB_IPNETTABLE {
    DWORD dwNumEntries;
    MIB_IPNETROW table[1];
};
typedef MIB_IPNETTABLE* PMIB_IPNETTABLE;

// Both follow the Windows protocol: with a null table or a size too small they store the size
// needed in *size and return ERROR_INSUFFICIENT_BUFFER (122); otherwise they fill the table and
// return NO_ERROR. `order` sorts rows (TCP: by local address and port; ARP: by address).
// GetIpNetTable returns ERROR_NO_DATA (232) when the table is empty.
//
// GetTcpTable may answer from a snapshot: a table read on the calling thread within the last
// 100 ms serves again, always sorted whatever `order` asks, so the table can be up to 100 ms
// old: a connection opened since may be missing, and one that changed state or closed since may
// show as it was, until the next read. Reading the kernel's table
// walks its whole connection hash, which all namespaces share; a caller that asks repeatedly for
// connections it opened itself (the HTTP scanner, twice in every pass of its wait loop) sees
// each one in the first read after it was opened. The size call and the filling call that
// follows it on the same thread see the same snapshot unless 100 ms passed between them; a
// caller that needs a fresh table waits those 100 ms. Windows's own call reads afresh each time.
KRZNETLIB_API DWORD GetTcpTable(PMIB_TCPTABLE table, PULONG size, BOOL order);
KRZNETLIB_API DWORD GetIpNetTable(PMIB_IPNETTABLE table, PULONG size, BOOL order);

#endif  // !_WIN32
