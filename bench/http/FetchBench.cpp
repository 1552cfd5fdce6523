// One whole fetch as a program: GET http://127.0.0.1:<port><path> through KRZPAPComm (https with
// a fourth argument "tls", any certificate taken), the reply read with readResponseSynchronous,
// the body dropped. fetch_vs_curl.py times this program
// against curl on the same server. Exit status 0 when the body has the expected size.
//
// "bench_http_fetch PORT --memory N [tls]" opens N connections (their handshakes done) and holds
// them, and prints the resident memory they added per connection in KiB (Linux: /proc/self/statm).
#include "http/KRZPAPComm.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// Resident pages in KiB, from the kernel's own count; 0 where there is none.
long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    if (!(statm >> size >> resident))
        return 0;
    return resident * 4;
}

int heldConnections(unsigned short port, int count, bool tls) {
    std::vector<std::unique_ptr<KRZPAPComm>> held;
    held.reserve(static_cast<size_t>(count));
    // One connection first, so that the TLS library's own start-up is not counted per connection.
    KRZPAPComm first(std::string("127.0.0.1"));
    first.setTls(tls, "127.0.0.1");
    first.openConnection(port, false);
    const long before = residentKiB();
    for (int i = 0; i < count; ++i) {
        held.emplace_back(new KRZPAPComm(std::string("127.0.0.1")));
        held.back()->setTls(tls, "127.0.0.1");
        held.back()->openConnection(port, false);
    }
    const long after = residentKiB();
    std::printf("%.1f\n", static_cast<double>(after - before) / count);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[2]) == "--memory") {
        return heldConnections(static_cast<unsigned short>(std::atoi(argv[1])), std::atoi(argv[3]),
                               argc > 4 && std::string(argv[4]) == "tls");
    }
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: bench_http_fetch PORT PATH EXPECTED_BYTES [tls]\n"
                     "       bench_http_fetch PORT --memory CONNECTIONS [tls]\n");
        return 2;
    }
    KRZPAPComm comm(std::string("127.0.0.1"));
    comm.setTls(argc > 4 && std::string(argv[4]) == "tls", "127.0.0.1");
    comm.openConnection(static_cast<unsigned short>(std::atoi(argv[1])), false);
    comm.writeGetRequest(argv[2]);
    comm.readResponseSynchronous();
    size_t expected = std::strtoull(argv[3], nullptr, 10);
    if (comm.getResponseBody().size() != expected) {
        std::fprintf(stderr, "body of %zu bytes, expected %zu\n", comm.getResponseBody().size(),
                     expected);
        return 1;
    }
    return 0;
}
