// Cancel to throw: each wait is started on a thread of its own, cancelled from this one once it
// is under way, and the time from the cancel call to the exception it ends with is the iteration's
// time. The waits: a connect that stays pending, a reply that never comes, a configurator's sleep
// between connect attempts, and the HTTP scanner's wait for a silent probe. The goal for each is
// under 20 ms; a wait that saw its cancel only at the end of a 0.3 s pass took 150 ms on average.
#include "FakeNetworkBackend.h"
#include "ScriptedPeer.h"

#include "core/KRZPAPCException.h"
#include "discovery/KRZPHttpScanner.h"
#include "http/KRZPAPComm.h"
#include "webconf/KRZPHttpConfigurator.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// How long the wait runs before it is cancelled: long enough to be inside it.
const auto kUnderWay = std::chrono::milliseconds(30);

// Runs `wait` on a thread, calls `cancel` once it is under way, and returns the seconds from the
// cancel to the end of the wait; negative when the wait did not end with KRZPAPC_CANCELLED (a
// cancel that a loaded machine delivered before the wait began is forgotten, as it should be).
double cancelToThrow(const std::function<void()>& wait, const std::function<void()>& cancel) {
    std::promise<Clock::time_point> ended;
    std::future<Clock::time_point> endedAt = ended.get_future();
    std::atomic<bool> started{false};
    bool cancelled = false;
    std::thread waiter([&] {
        started = true;
        try {
            wait();
        } catch (const KRZPAPCException& e) {
            cancelled = e.getAPCErrorCode() == KRZPAPC_CANCELLED;
        }
        ended.set_value(Clock::now());
    });
    while (!started)
        std::this_thread::yield();
    std::this_thread::sleep_for(kUnderWay);
    Clock::time_point cancelledAt = Clock::now();
    cancel();
    Clock::time_point end = endedAt.get();
    waiter.join();
    return cancelled ? std::chrono::duration<double>(end - cancelledAt).count() : -1.0;
}

// One iteration: a fresh wait from `once`, cancelled; a try whose cancel came too early is
// repeated (its wait has a short time-out).
template <typename Once>
void measure(benchmark::State& state, Once once) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        double seconds = once();
        if (seconds >= 0) {
            state.SetIterationTime(seconds);
            return;
        }
        state.counters["retried"] += 1;
    }
    state.SkipWithError("the wait never ended cancelled");
}

void BM_CancelConnectWait(benchmark::State& state) {
    FullBacklogListener blackhole;
    for (auto _ : state) {
        measure(state, [&] {
            KRZPAPComm comm(std::string("127.0.0.1"));
            comm.setTimeout(1);
            return cancelToThrow([&] { comm.openConnection(blackhole.port(), false); },
                                 [&] { comm.setCancel(true); });
        });
    }
}

void BM_CancelReplyWait(benchmark::State& state) {
    ScriptedPeer peer(ScriptedPeer::Script().awaitRequest().silent(), 1000);
    for (auto _ : state) {
        measure(state, [&] {
            KRZPAPComm comm(std::string("127.0.0.1"));
            comm.setTimeout(1);
            comm.openConnection(peer.port(), false);
            comm.writeGetRequest("/");
            return cancelToThrow([&] { comm.readResponseSynchronous(); },
                                 [&] { comm.setCancel(true); });
        });
    }
}

// A device module's configurator, only to reach the protected sleep.
class Sleeper : public KRZPHttpConfigurator {
  public:
    Sleeper() : KRZPHttpConfigurator(std::vector<KRZMacAddress>(), "admin", "admin") {}
    std::string getVendorName() const override { return "Bench"; }
    std::string getModelName() const override { return "Sleeper"; }
    std::pair<std::string, std::string> getDefaultCredentials() const override {
        return {"admin", "admin"};
    }
    bool usesUsername() const override { return true; }
    int getMaxPasswordLen() const override { return 32; }
    void retryPause() { sleep(2000); }  // the pause after an unreachable connect attempt

  private:
    void _retrieveAttributes() override {}
};

void BM_CancelConfiguratorSleep(benchmark::State& state) {
    for (auto _ : state) {
        measure(state, [&] {
            Sleeper conf;
            return cancelToThrow([&] { conf.retryPause(); }, [&] { conf.cancelOperation(); });
        });
    }
}

// scanForThisAP on a device whose connect never completes: the wait for the probe ends only by
// the one-second deadline, or by the cancel.
void BM_CancelScannerProbeWait(benchmark::State& state) {
    FakeNetworkBackend net;
    FakeNetworkBackend::Device silent;
    silent.address = "10.7.7.7";
    silent.mac = FakeNetworkBackend::mac("02:00:00:00:07:07");
    silent.silent = true;
    net.addDevice(silent);
    net.install();
    for (auto _ : state) {
        measure(state, [&] {
            KRZPHttpScanner scanner;
            in_addr address;
            address.s_addr = FakeNetworkBackend::ip(silent.address);
            KRZMacAddress mac = silent.mac;
            return cancelToThrow([&] { scanner.scanForThisAP(address, mac); },
                                 [&] { scanner.cancel(); });
        });
    }
    FakeNetworkBackend::uninstall();
}

}  // namespace

BENCHMARK(BM_CancelConnectWait)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_CancelReplyWait)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_CancelConfiguratorSleep)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(BM_CancelScannerProbeWait)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

BENCHMARK_MAIN();
