// IP Helper tables: the kernel's IPv4 TCP table and the active backend's host ARP table.
#define KRZ_PLATFORM_IMPLEMENTATION
#include "platform/krziphlp.h"

#include "krznetlib/KRZNetworkBackend.h"
#include "krzutil/KRZTextCoding.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
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
bool parseHex(const char*& p, const char* end, unsigned& value) {
    value = 0;
    const char* start = p;
    for (; p < end; ++p) {
        int digit = krzHexDigitValue(*p);
        if (digit < 0) {
            break;
        }
        value = (value << 4) | static_cast<unsigned>(digit);
    }
    return p != start;
}

bool expect(const char*& p, const char* end, char c) {
    if (p < end && *p == c) {
        ++p;
        return true;
    }
    return false;
}

void skipBlanks(const char*& p, const char* end) {
    while (p < end && *p == ' ') {
        ++p;
    }
}

// "  sl: local:port remote:port st ..." -> a row; false for a line of another shape.
bool parseTcpLine(const char* p, const char* end, MIB_TCPROW& row) {
    unsigned slot, localAddr, localPort, remoteAddr, remotePort, state;
    skipBlanks(p, end);
    if (!parseHex(p, end, slot) || !expect(p, end, ':')) {
        return false;
    }
    skipBlanks(p, end);
    if (!parseHex(p, end, localAddr) || !expect(p, end, ':') || !parseHex(p, end, localPort)) {
        return false;
    }
    skipBlanks(p, end);
    if (!parseHex(p, end, remoteAddr) || !expect(p, end, ':') || !parseHex(p, end, remotePort)) {
        return false;
    }
    skipBlanks(p, end);
    if (!parseHex(p, end, state)) {
        return false;
    }
    row.dwState = mapTcpState(state);
    row.dwLocalAddr = localAddr;
    row.dwLocalPort = htons(static_cast<uint16_t>(localPort));
    row.dwRemoteAddr = remoteAddr;
    row.dwRemotePort = htons(static_cast<uint16_t>(remotePort));
    return true;
}

// The whole table in one read: a scan asks for it in every pass, and the kernel's table can hold
// many thousands of closed connections.
std::string readProcFile(const char* path) {
    std::string text;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

// The kernel's socket diagnostics: the same table as /proc/net/tcp, without its text, at about
// a third of the cost. False when the kernel does not answer (then /proc is read).
bool readTcpRowsNetlink(std::vector<MIB_TCPROW>& rows) {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return false;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    if ((::send)(fd, &query, sizeof query, 0) != static_cast<ssize_t>(sizeof query)) {
        ::close(fd);
        return false;
    }
    alignas(nlmsghdr) char buffer[32768];
    bool ok = false;
    for (bool done = false; !done;) {
        ssize_t n = (::recv)(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        size_t left = static_cast<size_t>(n);
        for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                ok = true;
                done = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            const inet_diag_msg* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            MIB_TCPROW row;
            row.dwState = mapTcpState(msg->idiag_state);
            row.dwLocalAddr = msg->id.idiag_src[0];
            row.dwLocalPort = msg->id.idiag_sport;
            row.dwRemoteAddr = msg->id.idiag_dst[0];
            row.dwRemotePort = msg->id.idiag_dport;
            rows.push_back(row);
        }
    }
    ::close(fd);
    return ok;
}

std::vector<MIB_TCPROW> readTcpRows() {
    std::vector<MIB_TCPROW> rows;
    if (readTcpRowsNetlink(rows)) {
        return rows;
    }
    rows.clear();
    std::string text = readProcFile("/proc/net/tcp");
    const char* p = text.data();
    const char* end = p + text.size();
    const char* line = static_cast<const char*>(std::memchr(p, '\n', text.size()));
    line = line ? line + 1 : end;  // column titles
    while (line < end) {
        const char* next = static_cast<const char*>(std::memchr(line, '\n', end - line));
        const char* stop = next ? next : end;
        MIB_TCPROW row;
        if (parseTcpLine(line, stop, row)) {
            rows.push_back(row);
        }
        line = next ? next + 1 : end;
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
    // The snapshot rule is the call's contract (krziphlp.h): a read walks every bucket of the
    // kernel's connection hash (milliseconds on a large machine).
    thread_local std::vector<MIB_TCPROW> snapshot;
    thread_local std::chrono::steady_clock::time_point readAt;
    thread_local bool haveSnapshot = false;
    auto now = std::chrono::steady_clock::now();
    if (!haveSnapshot || now - readAt >= std::chrono::milliseconds(100)) {
        int savedErrno = errno;
        snapshot = readTcpRows();
        errno = savedErrno;
        // Sorted once per read; an unsorted request may get it sorted all the same.
        std::sort(snapshot.begin(), snapshot.end(),
                  [](const MIB_TCPROW& a, const MIB_TCPROW& b) { return tcpKey(a) < tcpKey(b); });
        readAt = now;
        haveSnapshot = true;
    }
    return fillTable(table, size, snapshot);
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
