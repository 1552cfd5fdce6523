// Time to read one whole reply of 1 MiB and of 16 MiB from a loopback peer, chunked, with a content
// length, and read to the close. Reading is linear when the 16 MiB time is about 16 times the
// 1 MiB time (compare the rows: the target is a ratio of at most 20).
#include <benchmark/benchmark.h>

#include "ScriptedPeer.h"
#include "http/KRZPAPComm.h"

#include <cstdio>
#include <map>
#include <string>

namespace {

enum Framing { CHUNKED, LENGTH, TO_CLOSE };

std::string makeReply(Framing framing, size_t size, size_t chunkSize) {
    std::string body(size, 'x');
    for (size_t i = 0; i < size; i += 97)
        body[i] = '\n';
    std::string reply = "HTTP/1.1 200 OK\r\nServer: bench\r\n";
    if (framing == LENGTH)
        reply += "Content-Length: " + std::to_string(size) + "\r\n";
    if (framing == CHUNKED)
        reply += "Transfer-Encoding: chunked\r\n";
    reply += "\r\n";
    if (framing != CHUNKED)
        return reply + body;
    for (size_t at = 0; at < size; at += chunkSize) {
        size_t n = std::min(chunkSize, size - at);
        char line[32];
        std::snprintf(line, sizeof(line), "%zx;ext=1\r\n", n);
        reply += line;
        reply.append(body, at, n);
        reply += "\r\n";
    }
    return reply + "0\r\n\r\n";
}

const std::string& cachedReply(Framing framing, size_t size, size_t chunkSize) {
    static std::map<std::string, std::string> cache;
    std::string key =
        std::to_string(framing) + "/" + std::to_string(size) + "/" + std::to_string(chunkSize);
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.emplace(key, makeReply(framing, size, chunkSize)).first;
    return it->second;
}

// args: framing, body size in MiB, chunk size in bytes (chunked only)
void BM_ReadReply(benchmark::State& state) {
    Framing framing = static_cast<Framing>(state.range(0));
    size_t size = static_cast<size_t>(state.range(1)) << 20;
    const std::string& reply = cachedReply(framing, size, static_cast<size_t>(state.range(2)));
    // One connection object for all replies, as a configurator keeps one: its strings keep their
    // capacity from reply to reply.
    KRZPAPComm comm(std::string("127.0.0.1"));
    for (auto _ : state) {
        ScriptedPeer peer(ScriptedPeer::Script().write(reply).close());
        comm.openConnection(peer.port(), false);
        comm.readResponseSynchronous();
        if (comm.getResponseBody().size() != size)
            state.SkipWithError("short body");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void framings(benchmark::internal::Benchmark* b) {
    b->ArgNames({"framing", "MiB", "chunk"});
    for (int mib : {1, 4, 16}) {
        b->Args({CHUNKED, mib, 8192});
        b->Args({CHUNKED, mib, 256});
        b->Args({LENGTH, mib, 0});
        b->Args({TO_CLOSE, mib, 0});
    }
}

BENCHMARK(BM_ReadReply)->Apply(framings)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
