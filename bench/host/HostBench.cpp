#include "krzutil/KRZLoggingUtil.h"
#include "krzutil/KRZMiscUtil.h"
#include "platform/krzplatform.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// A configurator trace line as the library writes thousands of them during a scan.
void BM_FormatTraceLine(benchmark::State& state) {
    for (auto _ : state) {
        std::wstring line = KRZMiscUtil::formatString(
            L"%hs(%hs): %s returned %d after %u ms (0x%08X)\n", "Acme AP-200", "192.168.1.20",
            L"KRZPHttpConfigurator::_testLogin", 401, 1234u, 0xC000009Au);
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_FormatTraceLine);

// Dumps of received pages go through %hs: the cost must grow linearly with the page size.
void BM_FormatPageDump(benchmark::State& state) {
    std::string page(static_cast<size_t>(state.range(0)), 'x');
    for (size_t i = 0; i < page.size(); i += 97) {
        page[i] = static_cast<char>(0xE9);  // Latin-1 bytes that are not UTF-8
    }
    for (auto _ : state) {
        std::wstring text = KRZMiscUtil::formatString(L"received: %hs", page.c_str());
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FormatPageDump)->Range(1 << 10, 1 << 18)->Complexity(benchmark::oN);

void BM_Utf8RoundTrip(benchmark::State& state) {
    std::string text;
    while (text.size() < static_cast<size_t>(state.range(0))) {
        text += "Netzwerk gr\xC3\xBCn \xE2\x82\xAC ";
    }
    for (auto _ : state) {
        std::wstring wide = KRZMiscUtil::utf8StringToTstring(text, KRZ_CONVERSION_REPLACE);
        std::string back = KRZMiscUtil::tstringToUtf8String(wide, KRZ_CONVERSION_REPLACE);
        benchmark::DoNotOptimize(back);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Utf8RoundTrip)->Range(1 << 8, 1 << 16)->Complexity(benchmark::oN);

// A connected pair of loopback TCP sockets, made with the portable calls.
void loopbackPair(SOCKET listening, unsigned short port, std::vector<SOCKET>& out) {
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connect(client, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    out.push_back(accept(listening, nullptr, nullptr));
    out.push_back(client);
}

// One polling select pass over the scanner's seven probes (read, write and except sets).
void BM_SelectPollSevenSockets(benchmark::State& state) {
    SOCKET listening = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(a);
    bind(listening, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(listening, 8);
    getsockname(listening, reinterpret_cast<sockaddr*>(&a), &length);
    std::vector<SOCKET> fds;
    for (int i = 0; i < 7; ++i) {
        loopbackPair(listening, ntohs(a.sin_port), fds);
    }
    closesocket(listening);
    for (auto _ : state) {
        fd_set r, w, e;
        FD_ZERO(&r);
        FD_ZERO(&w);
        FD_ZERO(&e);
        for (size_t i = 0; i < fds.size(); i += 2) {
            FD_SET(fds[i], &r);
            FD_SET(fds[i], &e);
        }
        timeval zero = {0, 0};
        benchmark::DoNotOptimize(select(0, &r, &w, &e, &zero));
    }
    for (SOCKET fd : fds) {
        closesocket(fd);
    }
}
BENCHMARK(BM_SelectPollSevenSockets);

void BM_LogFilteredOut(benchmark::State& state) {
    KRZLoggingUtil log;
    log.setLogFile(L"/dev/null");
    log.setLogLevel(KRZ_LOG_TRACE);
    for (auto _ : state) {
        log.LogStringToFile(true, L"dump that the level filter drops", KRZ_LOG_DUMP);
    }
}
BENCHMARK(BM_LogFilteredOut);

}  // namespace

BENCHMARK_MAIN();
