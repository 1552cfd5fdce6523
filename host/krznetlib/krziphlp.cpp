// IP Helper tables: the kernel's IPv4 TCP table and the active backend's host ARP table.
#include "platform/krziphlp.h"

#include "krznetlib/KRZNetworkBackend.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

DWORD mapTcpState(unsigned linuxState) {
    switch (linuxState) {
        case 0x01:
            return MIB_TCP_STATE_ESTAB;
        case 0x02:
            return MIB_TCP_STATE_SYN_SENT;
        case 0x03:
        case 0x0C:  // a request not yet accepted into the queue
            return MIB_TCP_STATE_SYN_RCVD;
        case 0x04:
            return MIB_TCP_STATE_FIN_WAIT1;
        case 0x05:
            return MIB_TCP_STATE_FIN_WAIT2;
        case 0x06:
            return MIB_TCP_STATE_TIME_WAIT;
        case 0x07:
            return MIB_TCP_STATE_CLOSED;
        case 0x08:
            return MIB_TCP_STATE_CLOSE_WAIT;
        case 0x09:
            return MIB_TCP_STATE_LAST_ACK;
        case 0x0A:
            return MIB_TCP_STATE_LISTEN;
        case 0x0B:
            return MIB_TCP_STATE_CLOSING;
        default:
            return MIB_TCP_STATE_CLOSED;
    }
}

// /proc prints each address as the 32-bit number that its network-order bytes make on this
// machine, so the parsed number is already the in-memory network-order value.
bool parseTcpLine(const std::string& line, MIB_TCPROW& row) {
    unsigned slot, localAddr, localPort, remoteAddr, remotePort, state;
    if (std::sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %2X", &slot, &localAddr, &localPort,
                    &remoteAddr, &remotePort, &state) != 6) {
        return false;
    }
    row.dwState = mapTcpState(state);
    row.dwLocalAddr = localAddr;
    row.dwLocalPort = htons(static_cast<uint16_t>(localPort));
    row.dwRemoteAddr = remoteAddr;
    row.dwRemotePort = htons(static_cast<uint16_t>(remotePort));
    return true;
}

std::vector<MIB_TCPROW> readTcpRows() {
    std::vector<MIB_TCPROW> rows;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        MIB_TCPROW row;
        if (parseTcpLine(line, row)) {
            rows.push_back(row);
        }
    }
    return rows;
}

auto tcpKey(const MIB_TCPROW& r) {
    return std::make_tuple(ntohl(r.dwLocalAddr), ntohs(static_cast<uint16_t>(r.dwLocalPort)),
                           ntohl(r.dwRemoteAddr), ntohs(static_cast<uint16_t>(r.dwRemotePort)));
}

// The Windows size protocol shared by both tables: the count, then the rows.
template <typename Table, typename Row>
DWORD fillTable(Table* table, PULONG size, const std::vector<Row>& rows) {
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    ULONG needed = static_cast<ULONG>(offsetof(Table, table) + rows.size() * sizeof(Row));
    if (table == nullptr || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    if (!rows.empty()) {
        std::memcpy(table->table, rows.data(), rows.size() * sizeof(Row));
    }
    return NO_ERROR;
}

}  // namespace

DWORD GetTcpTable(PMIB_TCPTABLE table, PULONG size, BOOL order) {
    int savedErrno = errno;
    std::vector<MIB_TCPROW> rows = readTcpRows();
    errno = savedErrno;
    if (order) {
        std::sort(rows.begin(), rows.end(),
                  [](const MIB_TCPROW& a, const MIB_TCPROW& b) { return tcpKey(a) < tcpKey(b); });
    }
    return fillTable(table, size, rows);
}

DWORD GetIpNetTable(PMIB_IPNETTABLE table, PULONG size, BOOL order) {
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<MIB_IPNETROW> rows = KRZNetworkBackend::active()->hostArpTable();
    if (rows.empty()) {
        return ERROR_NO_DATA;
    }
    if (order) {
        std::stable_sort(rows.begin(), rows.end(),
                         [](const MIB_IPNETROW& a, const MIB_IPNETROW& b) {
                             return ntohl(a.dwAddr) < ntohl(b.dwAddr);
                         });
    }
    return fillTable(table, size, rows);
}
