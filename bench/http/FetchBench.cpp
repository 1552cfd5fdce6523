// One whole fetch as a program: GET http://127.0.0.1:<port><path> through KRZPAPComm (https with
// a fourth argument "tls", any certificate taken), the reply read with readResponseSynchronous,
// the body dropped. fetch_vs_curl.py times this program
// against curl on the same server. Exit status 0 when the body has the expected size.
#include "http/KRZPAPComm.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_http_fetch PORT PATH EXPECTED_BYTES [tls]\n");
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
