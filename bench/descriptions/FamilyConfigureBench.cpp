// A described family's configure on the lab, as `krzpap configure` makes it: the Sorrelby router
// of lab/labs/firmware.json (its challenge-response login with the lab file's PBKDF2 iterations),
// the FreshTomato and the ASUSWRT-Merlin routers each get a new network name, security, key and
// password, each read back. Reported: the wall time
// and the requests made. The restart is as the lab file has it unless KRZ_BENCH_RESTART_MS
// shortens it (the wait for the radio is most of the time).
#include "KRZPDescribedConfigurator.h"
#include "KRZPDescription.h"

#include "core/KRZPAPModule.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"
#include "platform/krzplatform.h"

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

void FamilyConfigure(benchmark::State& state, const std::string& family) {
    nlohmann::json file =
        nlohmann::json::parse(readFile(std::string(KRZ_LABS_SOURCE) + "/firmware.json"));
    nlohmann::json devices = nlohmann::json::array();
    for (nlohmann::json device : file["devices"])
        if (device["family"] == family) {
            if (const char* restart = std::getenv("KRZ_BENCH_RESTART_MS"))
                device["options"]["restartMs"] = restart;
            devices.push_back(device);
        }
    file["devices"] = devices;
    auto description = krzdesc::parseDescription(
        readFile(std::string(KRZ_DESCRIPTIONS_SOURCE) + "/" + family + ".json"), family + ".json");
    std::string log = "/tmp/krz_bench_" + family + ".log";
    std::remove(log.c_str());
    KRZPAPModule::setLogFile(std::wstring(log.begin(), log.end()), 0);
    KRZPAPModule::setLogLevel(KRZ_LOG_TRACE);
    size_t requests = 0;
    for (auto _ : state) {
        state.PauseTiming();
        size_t before = occurrences(readFile(log), "Connecting to ");
        auto lab = krzlab::LabNetwork::create(krzlab::LabDescription::fromJson(file));
        lab->install();
        const auto device = lab->status(family + "-1").state;
        auto conf = boost::make_shared<KRZPDescribedConfigurator>(description, device.model,
                                                                  std::vector<KRZMacAddress>(),
                                                                  device.username, device.password);
        in_addr address;
        address.s_addr = inet_addr(device.address.c_str());
        conf->setAddr(address);
        state.ResumeTiming();
        conf->retrieveAttributes();
        conf->startConfiguration();
        conf->changeSSID(KRZSsid("Bench Net"));
        conf->changeSecurityMode(KRZP_SECURITY_WPA2_PSK, boost::make_shared<KRZPKey>("bench-key-1"),
                                 KRZP_ENCRYPTION_AES);
        conf->changeCredentials(device.username, "bench-pass1");
        if (!conf->completeConfiguration())
            state.SkipWithError("the configure was not confirmed");
        state.PauseTiming();
        requests = occurrences(readFile(log), "Connecting to ") - before;
        KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
        state.ResumeTiming();
    }
    state.counters["requests"] = static_cast<double>(requests);
}
BENCHMARK_CAPTURE(FamilyConfigure, Sorrelby, std::string("sorrelby"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK_CAPTURE(FamilyConfigure, FreshTomato, std::string("freshtomato"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK_CAPTURE(FamilyConfigure, AsusWrt, std::string("asuswrt"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
