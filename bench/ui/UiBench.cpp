// krzpap ui as a browser meets it, measured against the built-in lab in a scratch state folder:
// the first page load (secret exchanged, page, style, script), later loads, the server's idle CPU
// and resident memory, and when a scan's first device and its end reach the page's polling.
//
//   krz_ui_bench [idle-seconds]
#include "testsupport/krzprograms.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string statusField(int pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "?";
}

// User and system CPU time of the process, in clock ticks.
long cpuTicks(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

int pidOf(const std::string& program) {
    // The newest process running the program, started by this bench.
    std::string out = krztest::runProgram({"/usr/bin/pgrep", "-n", "-f", program + " ui"}, {}).out;
    return out.empty() ? -1 : std::stoi(out);
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::string state = "/tmp/krz_ui_bench_" + std::to_string(getpid());
    std::vector<std::string> env;
    for (const std::string& entry : krztest::processEnvironment())
        if (entry.rfind("KRZ_", 0) != 0 && entry.rfind("XDG_STATE_HOME=", 0) != 0)
            env.push_back(entry);
    env.push_back("XDG_STATE_HOME=" + state);
    krztest::BackgroundProgram server({KRZPAP_PROGRAM, "ui", "--no-open", "-q"}, env);
    std::string url = server.firstLine();
    int port = std::stoi(url.substr(std::string("http://127.0.0.1:").size()));
    std::string host = "127.0.0.1:" + std::to_string(port);
    std::string secret = url.substr(url.find("/?"));

    auto first = Clock::now();
    httplib::Client client("127.0.0.1", port);
    httplib::Result opened = client.Get(secret.c_str());
    std::string cookie = opened->get_header_value("Set-Cookie");
    cookie = cookie.substr(0, cookie.find(';'));
    // The page's token comes once, in the fragment the exchange redirects to.
    const std::string token = opened->get_header_value("Location").substr(2);
    httplib::Headers headers = {{"Cookie", cookie}, {"X-Krzpap-Token", token}};
    client.Get("/", headers);
    client.Get("/app.css", headers);
    client.Get("/app.js", headers);
    std::printf("first page load (secret, page, style, script): %.2f ms\n", msSince(first));

    std::vector<double> loads;
    for (int i = 0; i < 50; ++i) {
        auto start = Clock::now();
        httplib::Client fresh("127.0.0.1", port);
        for (const char* path : {"/", "/app.css", "/app.js"})
            fresh.Get(path, headers);
        loads.push_back(msSince(start));
    }
    std::sort(loads.begin(), loads.end());
    std::printf("later page loads, new connection: median %.2f ms, worst %.2f ms (50)\n",
                loads[loads.size() / 2], loads.back());

    int pid = pidOf(KRZPAP_PROGRAM);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long before = cpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    long used = cpuTicks(pid) - before;
    std::printf("idle for %d s: %ld CPU ticks (%.2f %% of one core); resident %s, peak %s\n",
                idleSeconds, used, 100.0 * used / sysconf(_SC_CLK_TCK) / idleSeconds,
                statusField(pid, "VmRSS").c_str(), statusField(pid, "VmHWM").c_str());

    httplib::Headers change = {
        {"Cookie", cookie}, {"Origin", "http://" + host}, {"X-Krzpap-Token", token}};
    auto scan = Clock::now();
    client.Post("/api/scan", change, "{}", "application/json");
    double firstDevice = -1;
    for (;;) {
        std::string body = client.Get("/api/job", headers)->body;
        if (firstDevice < 0 && body.find("\"recognized\":true") != std::string::npos)
            firstDevice = msSince(scan);
        if (body.find("\"done\":true") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("scan: first device on the page after %.0f ms, scan done after %.0f ms\n",
                firstDevice, msSince(scan));
    std::printf("after the scan: resident %s\n", statusField(pid, "VmRSS").c_str());
    server.stop();
    krztest::runProgram({"/bin/rm", "-rf", state}, {});
    return 0;
}
