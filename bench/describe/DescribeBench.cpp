// `krzpap describe` on a recording of 50 admin pages, each fetched with and without the login,
// each with a settings form of text fields, selects and a script that fills them (goal: under
// 1 s for the command); and the guesser alone on the same recording, without the process and
// the file; and the command on one form of 1,000 and of 10,000 fields.
#include "Describer.h"

#include "testsupport/krzprograms.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

// One page with a form of `fields` fields, each with a label and filled by the page's script.
krzlab::Recording oneBigForm(int fields) {
    krzlab::Recording r;
    r.address = "192.168.77.10";
    krzlab::Exchange page;
    page.request = {"GET", "/", {}, {}, false, false, {}};
    page.reply.headers = {{"Content-Type", "text/html"}};
    std::string body = "<html><title>Bench BX-50</title><form name=f action=/set method=post>",
                script;
    for (int i = 0; i < fields; ++i) {
        std::string n = std::to_string(i);
        body += "<tr><td>Field " + n + "</td><td><input name=f" + n + " maxlength=32></td></tr>\n";
        script += "var v" + n + " = 'x" + n + "'; f.f" + n + ".value = v" + n + ";\n";
    }
    page.reply.body = body + "</form><script>" + script + "</script></html>";
    r.exchanges.push_back(page);
    return r;
}

krzlab::Recording fiftyPages() {
    krzlab::Recording r;
    r.address = "192.168.77.10";
    r.mac = "02:4B:5A:00:00:10";
    r.login.kind = "basic";
    r.login.user = "admin";
    r.login.password = "PW-0001";
    krzlab::Exchange refused;
    refused.request = {"GET", "/", {}, {}, false, false, {}};
    refused.reply.status = 401;
    refused.reply.reason = "Unauthorized";
    refused.reply.headers = {{"WWW-Authenticate", "Basic realm=\"Bench BX-50\""}};
    r.exchanges.push_back(refused);
    for (int i = 0; i < 50; ++i) {
        krzlab::Exchange page;
        std::string n = std::to_string(i);
        std::string target = i == 0 ? "/" : "/p" + n + ".htm";
        page.request = {"GET", target, {}, {}, false, true, {}};
        page.reply.headers = {{"Content-Type", "text/html"}};
        std::string body = "<html><head><title>Bench BX-50 - Page " + n + "</title><script>var v" +
                           n +
                           " = 'x'; function init() { var f = "
                           "document.forms[0]; f.field0.value = v" +
                           n +
                           "; }</script></head><body><table><tr><td>Model</td><td>BX-50</td></tr>"
                           "<tr><td>Firmware</td><td>1." +
                           n + "</td></tr></table>\n";
        if (i + 1 < 50)
            body += "<a href=\"/p" + std::to_string(i + 1) + ".htm\">next</a>\n";
        body += "<form method=\"post\" action=\"/set" + n + ".cgi\"><table>\n";
        for (int f = 0; f < 20; ++f)
            body += "<tr><td>Setting " + std::to_string(f) + "</td><td><input name=\"field" +
                    std::to_string(f) + "\" maxlength=\"32\" value=\"value " + std::to_string(f) +
                    "\"></td></tr>\n";
        body += "<tr><td>Security</td><td><select name=\"sec" + n +
                "\"><option value=\"0\">Open</option><option value=\"1\">WPA</option>"
                "<option value=\"2\">WPA2</option><option value=\"3\">WPA/WPA2</option>"
                "</select></td></tr>\n</table><input type=submit name=apply value=Apply></form>\n" +
                std::string(2000, ' ') + "</body></html>\n";
        page.reply.body = body;
        r.exchanges.push_back(page);
        page.request.credentials = false;
        page.reply = refused.reply;
        r.exchanges.push_back(page);
    }
    return r;
}

void describe(benchmark::State& state, const krzlab::Recording& recording) {
    std::string path = "/tmp/describe_bench_" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << recording.toText();
    std::string out = path + ".draft.json";
    std::vector<std::string> env = krztest::processEnvironment();
    env.push_back("XDG_STATE_HOME=/tmp/describe_bench_state");
    for (auto _ : state) {
        krztest::ProgramOutcome o =
            krztest::runProgram({KRZPAP_PROGRAM, "-q", "describe", path, "-o", out}, env);
        if (o.status != 0) {
            state.SkipWithError(o.err.c_str());
            break;
        }
    }
    std::remove(path.c_str());
    std::remove(out.c_str());
}

void BM_DescribeFiftyPages(benchmark::State& state) {
    describe(state, fiftyPages());
}

// The command on one form of state.range(0) fields (goal: time linear in the fields, under 2 s
// for 10,000).
void BM_DescribeOneBigForm(benchmark::State& state) {
    describe(state, oneBigForm(static_cast<int>(state.range(0))));
}

void BM_DraftFiftyPages(benchmark::State& state) {
    krzlab::Recording r = fiftyPages();
    size_t marks = 0;
    for (auto _ : state) {
        nlohmann::ordered_json draft = krzpap::draftDescription(r, "bench.json");
        marks = draft["draft"]["guesses"].size() + draft["draft"]["gaps"].size();
    }
    state.counters["marks"] = static_cast<double>(marks);
}

}  // namespace

BENCHMARK(BM_DescribeFiftyPages)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DescribeOneBigForm)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Arg(1000)
    ->Arg(10000);
BENCHMARK(BM_DraftFiftyPages)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
