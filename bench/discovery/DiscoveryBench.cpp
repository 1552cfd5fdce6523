// runScan over an in-process lab. The floor for one adapter of 254 addresses is the sweep's own
// pacing (six pauses of 167 ms after the 40th, 80th, ... request) plus the 2000 ms wait for ARP
// answers that some addresses never give; what the probes add on top is the scanner's cost.
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPModule.h"
#include "discovery/KRZPAPScanner.h"
#include "krznetlib/KRZNetworkBackend.h"

#include <benchmark/benchmark.h>

namespace {

const double kPacingFloorMs = 6 * 167.0;
const double kArpWaitMs = 2000.0;

void runScanOver(benchmark::State& state, const krzlab::LabDescription& description) {
    static bool modulesLoaded = [] {
        try {
            KRZPAPModule::loadModuleDlls();  // recognizers, when the sample modules are built
        } catch (const KRZPAPCException&) {
        }
        return true;
    }();
    benchmark::DoNotOptimize(modulesLoaded);
    std::shared_ptr<krzlab::LabNetwork> lab = krzlab::LabNetwork::create(description);
    lab->install();
    size_t found = 0;
    for (auto _ : state) {
        try {
            found = KRZPAPScanner::runScan().size();
        } catch (const KRZPAPCException&) {
            state.SkipWithError("runScan failed");
            break;
        }
    }
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
    state.counters["floor_ms"] = kPacingFloorMs + kArpWaitMs;
    state.counters["configurators"] = static_cast<double>(found);
}

void BM_RunScanDefaultLab(benchmark::State& state) {
    runScanOver(state, krzlab::LabDescription::defaultLab());
}

void BM_RunScanFiftyDevices(benchmark::State& state) {
    runScanOver(state, krzlab::LabDescription::generated(50));
}

}  // namespace

BENCHMARK(BM_RunScanDefaultLab)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RunScanFiftyDevices)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
