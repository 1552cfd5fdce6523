// A played recording answering one request through the library's connection and the lab's
// carriage (goal: under 1 ms), and `krzpap record` over a played device of 30 pages behind Basic
// authentication (goal: under 5 s), which it visits twice each: as a client without the login
// sees them and with it; and on one page whose script fills a form of 1,000 and of 10,000 fields.
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"
#include "recording/Recording.h"

#include "http/KRZPAPComm.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "testsupport/krzprograms.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

const char kAddress[] = "192.168.77.10";

// A device of `pages` pages behind Basic authentication, each linking to the next and holding a
// form of `fields` fields (filled by the page's script when `scripted`), as a recording.
std::string writeRecording(int pages, int fields = 20, bool scripted = false) {
    krzlab::Recording r;
    r.address = kAddress;
    r.mac = "02:4B:5A:00:00:10";
    r.login.kind = "basic";
    r.login.user = "admin";
    r.login.password = "PW-0001";
    krzlab::Exchange refused;
    refused.request = {"GET", "/", {}, {}, false, false, {}};
    refused.reply.status = 401;
    refused.reply.reason = "Unauthorized";
    refused.reply.headers = {{"WWW-Authenticate", "Basic realm=\"bench\""}};
    r.exchanges.push_back(refused);
    for (int i = 0; i < pages; ++i) {
        krzlab::Exchange page;
        std::string target = i == 0 ? "/" : "/p" + std::to_string(i) + ".htm";
        page.request = {"GET", target, {}, {}, false, true, {}};
        page.reply.headers = {{"Content-Type", "text/html"}};
        std::string body = "<html><body><h1>Page " + std::to_string(i) + "</h1>\n";
        if (i + 1 < pages)
            body += "<a href=\"/p" + std::to_string(i + 1) + ".htm\">next</a>\n";
        body += "<form method=\"post\" action=\"/set" + std::to_string(i) + ".cgi\">\n";
        std::string script;
        for (int f = 0; f < fields; ++f) {
            std::string n = std::to_string(f);
            body += "<input name=\"field" + n + "\" value=\"value " + n + "\">\n";
            if (scripted)
                script += "var v" + n + " = 'x" + n + "'; f.field" + n + ".value = v" + n + ";\n";
        }
        body += "</form>\n<script>" + script + "</script>" + std::string(2000, ' ') +
                "</body></html>\n";
        page.reply.body = body;
        r.exchanges.push_back(page);
        page.request.credentials = false;
        page.reply = refused.reply;
        r.exchanges.push_back(page);
    }
    std::string path = "/tmp/recording_bench_" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << r.toText();
    return path;
}

krzlab::LabDescription playbackLab(const std::string& recording) {
    krzlab::LabDescription lab = krzlab::LabDescription::fromText(
        R"({"adapters": [{"name": "lab0", "index": 7, "address": "192.168.77.2",
                          "mask": "255.255.255.0", "mac": "02:4B:5A:00:00:02"}],
            "devices": [{"name": "played", "recording": ")" +
        recording + "\"}]}");
    return lab;
}

void BM_PlayedRecordingAnswersARequest(benchmark::State& state) {
    std::string recording = writeRecording(30);
    std::shared_ptr<krzlab::LabNetwork> lab = krzlab::LabNetwork::create(playbackLab(recording));
    lab->install();
    size_t bytes = 0;
    for (auto _ : state) {
        KRZPAPComm comm{std::string(kAddress)};
        comm.setAuthInfo("admin", "PW-0001");
        comm.openConnection(80, false);
        comm.writeGetRequest("/p7.htm");
        comm.readResponseSynchronous();
        bytes = comm.getResponseBody().size();
    }
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
    state.counters["page_bytes"] = static_cast<double>(bytes);
    std::remove(recording.c_str());
}

// The same request to the emulated Acme device of the default lab: the floor the lab's carriage
// and connection per request set.
void BM_EmulatedDeviceAnswersARequest(benchmark::State& state) {
    std::shared_ptr<krzlab::LabNetwork> lab =
        krzlab::LabNetwork::create(krzlab::LabDescription::defaultLab());
    lab->install();
    for (auto _ : state) {
        KRZPAPComm comm{std::string(kAddress)};
        comm.setAuthInfo("admin", "gatekeeper");
        comm.openConnection(80, false);
        comm.writeGetRequest("/index.htm");
        comm.readResponseSynchronous();
    }
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
}

// krzpap record over a played device: `pages` pages of `fields` fields each.
void recordPlayed(benchmark::State& state, int pages, int fields, bool scripted) {
    std::string recording = writeRecording(pages, fields, scripted);
    std::string description = recording + ".lab.json";
    std::ofstream(description) << playbackLab(recording).toJson().dump();
    std::string out = recording + ".out", err = recording + ".err";
    int pid = krztest::startProgram({KRZLAB_PROGRAM, "--lab", description},
                                    krztest::processEnvironment(), out, err);
    std::string address;
    for (int i = 0; i < 100 && address.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(out);
        std::string line;
        if (std::getline(in, line) && line.rfind("KRZ_LAB=", 0) == 0)
            address = line.substr(8);
    }
    std::vector<std::string> env = krztest::processEnvironment();
    env.push_back("KRZ_LAB=" + address);
    env.push_back("XDG_STATE_HOME=/tmp/recording_bench_state");
    std::string written = recording + ".recorded.json";
    for (auto _ : state) {
        krztest::ProgramOutcome o =
            krztest::runProgram({KRZPAP_PROGRAM, "-q", "record", kAddress, "-u", "admin", "-p",
                                 "PW-0001", "-o", written, "--max-depth", "40"},
                                env);
        if (o.status != 0) {
            state.SkipWithError(o.err.c_str());
            break;
        }
    }
    std::ifstream in(written);
    std::ostringstream text;
    text << in.rdbuf();
    try {
        krzlab::Recording r = krzlab::Recording::fromText(text.str());
        state.counters["requests"] = static_cast<double>(r.exchanges.size());
    } catch (const std::exception&) {
    }
    krztest::stopProgram(pid);
    for (const std::string& f : {recording, description, out, err, written})
        std::remove(f.c_str());
}

void BM_RecordThirtyPages(benchmark::State& state) {
    recordPlayed(state, 30, 20, false);
}

// One page with a form of state.range(0) fields that its script fills (goal: time linear in the
// fields, under 2 s for 10,000).
void BM_RecordOneBigForm(benchmark::State& state) {
    recordPlayed(state, 1, static_cast<int>(state.range(0)), true);
}

}  // namespace

BENCHMARK(BM_PlayedRecordingAnswersARequest)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_EmulatedDeviceAnswersARequest)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RecordThirtyPages)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RecordOneBigForm)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Arg(1000)
    ->Arg(10000);

BENCHMARK_MAIN();
