// Feeds arbitrary bytes as a device's reply into the resumable reader, in pieces whose sizes the
// fuzzer chooses, over a real loopback connection that ends with a close or a reset. The reader
// may report errors through KRZPAPCException; it must never crash, read out of bounds, or fail to
// finish after the end, and a reset never passes for a complete reply.
#include "ScriptedPeer.h"
#include "http/KRZPAPComm.h"
#include "platform/krzplatform.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// One listening socket for the whole run.
int listener() {
    static const int fd = krztest::listeningLoopbackSocket(4);
    return fd;
}

// The first byte gives the number of pieces (1 to 8) and, in its high bit, whether the reply ends
// with a reset instead of a close; the next bytes give the sizes; the rest is the reply.
std::vector<std::string> piecesOf(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces;
    if (size == 0)
        return pieces;
    size_t count = (data[0] & 7) + 1;
    size_t header = std::min(size, count);
    std::string reply(reinterpret_cast<const char*>(data) + header, size - header);
    size_t at = 0;
    for (size_t i = 1; i < header && at < reply.size(); ++i) {
        size_t n = std::min<size_t>(data[i] + 1, reply.size() - at);
        pieces.push_back(reply.substr(at, n));
        at += n;
    }
    if (at < reply.size())
        pieces.push_back(reply.substr(at));
    return pieces;
}

void resetConnection(SOCKET s) {
    linger l{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces = piecesOf(data, size);
    const bool endWithReset = size > 0 && (data[0] & 0x80) != 0;
    KRZPAPComm comm(std::string("127.0.0.1"));
    comm.setTimeout(2);
    comm.openConnection(krztest::boundPort(listener()), false);
    SOCKET server = accept(static_cast<SOCKET>(listener()), nullptr, nullptr);
    KRZPAPCReadStatus status = KRZPAPC_READ_PENDING;
    try {
        for (const std::string& piece : pieces) {
            // The platform's send never raises SIGPIPE.
            if (send(server, piece.data(), static_cast<int>(piece.size()), 0) < 0)
                break;
            if (!krztest::waitReadable(comm.getFD(), 1000))
                std::abort();  // loopback delivers at once
            status = comm.readResponse();
            if (status != KRZPAPC_READ_PENDING)
                break;
        }
        if (endWithReset) {
            resetConnection(server);
            closesocket(server);
            server = INVALID_SOCKET;
        } else {
            shutdown(server, SD_SEND);
        }
        for (int i = 0; status == KRZPAPC_READ_PENDING; ++i) {
            // After the close every reply must come to an end.
            if (i > 10000 || !krztest::waitReadable(comm.getFD(), 1000))
                std::abort();
            status = comm.readResponse();
        }
        if (status != KRZPAPC_READ_OK && status != KRZPAPC_READ_CLOSED)
            std::abort();
        // A reset while the reply was still being read is an error, never an ending. (The reader
        // may have finished before the reset arrived: a declared length or a last chunk.)
        if (endWithReset && status == KRZPAPC_READ_CLOSED)
            std::abort();
        // Headers and body together never hold more than was sent.
        if (comm.getResponseHeaders().size() + comm.getResponseBody().size() > 2 * size + 16) {
            std::abort();
        }
    } catch (const KRZPAPCException&) {
        // Reported failures are fine.
    }
    if (server != INVALID_SOCKET)
        closesocket(server);
    return 0;
}
