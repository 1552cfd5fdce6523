// krzpap against lab devices that serve HTTPS with their own self-signed certificate: show and
// configure over TLS (the change read back from the device), a factory reset that makes a new
// certificate refused before any request reaches the device, `krzpap trust` accepting it, and
// curl, a client we did not write, reading the same HTTPS port.
#include "ToolsTestSupport.h"

#include "app/KRZPTlsTrust.h"
#include "recording/Recording.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>

using namespace krztest;
using nlohmann::json;

namespace {

struct HttpsDeviceCase {
    const char* name;
    const char* family;
    const char* model;
    const char* address;  // as krzpap is given it
    const char* user;
    json options;       // the device's lab options
    bool descriptions;  // known to the description module alone
};

void PrintTo(const HttpsDeviceCase& c, std::ostream* out) {
    *out << c.name;
}

json deviceEntry(const HttpsDeviceCase& c) {
    std::string host = std::string(c.address).substr(8);
    host = host.substr(0, host.find(':'));
    std::string last = host.substr(host.rfind('.') + 1);
    json wireless = {{"ssid", "Before"},
                     {"security", "wpa2-psk"},
                     {"encryption", "aes"},
                     {"key", "before-key-1"}};
    return {{"name", c.name},      {"family", c.family},       {"model", c.model},
            {"firmware", "1.0"},   {"address", host},          {"mac", "02:4B:5A:00:01:" + last},
            {"username", c.user},  {"password", "tls-pass-1"}, {"wireless", wireless},
            {"options", c.options}};
}

// The SHA-256 a certificate in PEM has, as krzpap shows it.
std::string fingerprintOf(const std::string& pem) {
    std::string body;
    for (size_t at = pem.find('\n') + 1; at < pem.size() && pem.compare(at, 5, "-----") != 0;) {
        size_t end = pem.find('\n', at);
        body += pem.substr(at, end - at);
        at = end + 1;
    }
    std::string der = krzlab::base64Decode(body);
    return krzpapp::TlsTrust::fingerprint(std::vector<unsigned char>(der.begin(), der.end()));
}

std::string said(const ProgramOutcome& o) {
    return "exit " + std::to_string(o.status) + "\nout: " + o.out + "\nerr: " + o.err;
}

class KrzpapHttps : public ::testing::TestWithParam<HttpsDeviceCase> {
  protected:
    void SetUp() override {
        scratch = ::testing::TempDir() + "krzpap_https_" + std::to_string(getpid()) + "_" +
                  GetParam().name;
        runProgram({"/bin/rm", "-rf", scratch}, {});
        runProgram({"/bin/mkdir", "-p", scratch}, {});
        std::ofstream(scratch + "/lab.json") << labOf(json::array({deviceEntry(GetParam())}));
        lab =
            std::make_unique<LabProcess>(std::vector<std::string>{"--lab", scratch + "/lab.json"});
    }
    void TearDown() override {
        if (!HasFailure())
            runProgram({"/bin/rm", "-rf", scratch}, {});
    }
    ProgramOutcome krzpap(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {KRZPAP_PROGRAM, "--log", scratch + "/krzpap.log"};
        if (GetParam().descriptions)
            argv.insert(argv.end(), {"--modules", "krzpapdescriptions.dll"});
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = cleanEnvironment();
        env.push_back("XDG_STATE_HOME=" + scratch + "/state");
        env.push_back("KRZ_LAB=" + lab->address());
        return runProgram(argv, env);
    }
    json device() { return lab->device(GetParam().name); }

    std::unique_ptr<LabProcess> lab;
    std::string scratch;
};

TEST_P(KrzpapHttps, ConfigureOverTlsThenAResetCertificateIsRefusedUntilTrusted) {
    const HttpsDeviceCase& c = GetParam();
    const std::string address = c.address;
    ProgramOutcome changed =
        krzpap({"--json", "configure", address, "-u", c.user, "-p", "tls-pass-1", "--ssid",
                "Over TLS", "--security", "wpa2-psk", "--key", "after-key-2"});
    ASSERT_EQ(0, changed.status) << said(changed);
    EXPECT_EQ("Over TLS", device()["wireless"]["ssid"]);
    ProgramOutcome shown = krzpap({"--json", "show", address, "-u", c.user, "-p", "tls-pass-1"});
    ASSERT_EQ(0, shown.status) << said(shown);
    EXPECT_EQ("Over TLS", json::parse(shown.out)["result"]["device"]["ssid"]) << shown.out;
    std::string before = fingerprintOf(device()["tls"]["certificate"]);

    // A client we did not write reads the same HTTPS port, the new name included.
    if (runProgram({"/bin/sh", "-c", "command -v curl"}, {}).status != 0) {
        std::printf("curl is missing (scripts/deps.sh installs it): its check is skipped\n");
    } else {
        std::string url =
            "https://127.0.0.1:" + std::to_string(device()["tlsPort"].get<int>()) + "/";
        ProgramOutcome anonymous = runProgram({"/usr/bin/curl", "-sk", "-o", "/dev/null", "-w",
                                               "%{http_code} %{ssl_verify_result}", url},
                                              {});
        EXPECT_EQ(0, anonymous.status) << said(anonymous);
        EXPECT_NE("000", anonymous.out.substr(0, 3))
            << "no HTTP answer over TLS: " << said(anonymous);
        EXPECT_NE(" 0", anonymous.out.substr(3)) << "a self-signed certificate verified";
    }

    lab->control({{"op", "reset"}, {"name", c.name}});
    unsigned read = device()["requestsRead"];
    ProgramOutcome refused = krzpap({"show", address, "-u", c.user, "-p", "tls-pass-1"});
    EXPECT_NE(0, refused.status) << said(refused);
    std::string after = fingerprintOf(device()["tls"]["certificate"]);
    ASSERT_NE(before, after);
    for (const std::string& part : {before, after, "krzpap trust " + address})
        EXPECT_NE(std::string::npos, refused.err.find(part)) << part << "\n" << said(refused);
    EXPECT_EQ(read, device()["requestsRead"].get<unsigned>())
        << "a request (with the password) reached a device whose certificate changed";

    ProgramOutcome trusted = krzpap({"trust", address});
    ASSERT_EQ(0, trusted.status) << said(trusted);
    EXPECT_NE(std::string::npos, trusted.out.find(after)) << trusted.out;
    ProgramOutcome again = krzpap({"--json", "show", address, "-u", c.user, "-p", "tls-pass-1"});
    ASSERT_EQ(0, again.status) << said(again);
    EXPECT_EQ("Before", json::parse(again.out)["result"]["device"]["ssid"]) << "factory settings";
}

// A krzpap that runs the lab inside itself (a lab file, no lab joined) ends while the device may
// still be in its handshake: the exit must not pull OpenSSL from under it (it crashed about one
// run in three).
TEST(KrzpapHttpsBuiltInLab, CommandsEndCleanlyWhileTheDeviceStillServes) {
    const std::string dir =
        ::testing::TempDir() + "krzpap_https_inside_" + std::to_string(getpid());
    runProgram({"/bin/mkdir", "-p", dir}, {});
    HttpsDeviceCase c = {"acme-in",         "acme", "AP-100", "https://192.168.77.12", "admin",
                         {{"https", true}}, false};
    std::ofstream(dir + "/lab.json") << labOf(json::array({deviceEntry(c)}));
    std::vector<std::string> env = cleanEnvironment();
    env.push_back("XDG_STATE_HOME=" + dir + "/state");
    env.push_back("KRZ_LAB_FILE=" + dir + "/lab.json");
    for (int run = 0; run < 6; ++run) {
        ProgramOutcome trusted =
            runProgram({KRZPAP_PROGRAM, "--log", dir + "/krzpap.log", "trust", c.address}, env);
        ASSERT_EQ(0, trusted.status) << "run " << run << ": " << said(trusted);
    }
    runProgram({"/bin/rm", "-rf", dir}, {});
}

const HttpsDeviceCase kDevices[] = {
    // Port 80 closed: everything must come over TLS.
    {"acme-tls",
     "acme",
     "AP-100",
     "https://192.168.77.11",
     "admin",
     {{"https", true}, {"http", "off"}},
     false},
    {"corvid-tls",
     "corvid",
     "CR-5",
     "https://192.168.77.32:8443",
     "admin",
     {{"https", 8443}, {"http", "off"}},
     false},
    // Port 80 redirects, as OpenWrt's web server does; the family's JSON-RPC over TLS.
    {"luci-tls",
     "luci",
     "LB-1",
     "https://192.168.77.71",
     "root",
     {{"https", true}, {"http", "redirect"}},
     true},
};

INSTANTIATE_TEST_SUITE_P(Devices, KrzpapHttps, ::testing::ValuesIn(kDevices),
                         [](const ::testing::TestParamInfo<HttpsDeviceCase>& row) {
                             std::string name = row.param.name;
                             return name.substr(0, name.find('-'));
                         });

// A device first met by `record` whose port 80 redirects to its own HTTPS port: the recorder
// follows it as the scanner and fetch do, so the recording is of the HTTPS pages (the redirect
// itself is not among them), says its scheme and port, and the certificate was pinned on the way.
class KrzpapHttpsRecord : public KrzpapHttps {};

TEST_P(KrzpapHttpsRecord, RecordFollowsTheRedirectOfItsFirstRequest) {
    const HttpsDeviceCase& c = GetParam();
    std::string host = std::string(c.address).substr(8);
    const std::string recording = scratch + "/recording.json";
    ProgramOutcome recorded = krzpap({"--json", "record", host.substr(0, host.find(':')), "-u",
                                      c.user, "-p", "tls-pass-1", "-o", recording});
    ASSERT_EQ(0, recorded.status) << said(recorded);
    std::ifstream in(recording);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    krzlab::Recording r = krzlab::Recording::fromText(text);
    EXPECT_EQ("https", r.scheme);
    EXPECT_EQ(host.find(':') == std::string::npos ? 0 : std::stoi(host.substr(host.find(':') + 1)),
              r.port);
    ASSERT_FALSE(r.exchanges.empty());
    EXPECT_EQ("/", r.exchanges.front().request.target);
    for (const krzlab::Exchange& e : r.exchanges)
        EXPECT_FALSE(e.reply.status / 100 == 3 && e.request.target == "/")
            << "the redirect to HTTPS was recorded: " << text.substr(0, 2000);
    EXPECT_GT(r.exchanges.size(), 2u) << "the crawl went no further than the redirect";
    ProgramOutcome trusted = krzpap({"trust", c.address});
    ASSERT_EQ(0, trusted.status) << said(trusted);
    EXPECT_EQ(std::string::npos, trusted.out.find("replaces"))
        << "pinned on first use: " << trusted.out;
}

const HttpsDeviceCase kRedirecting[] = {
    // 301 to 443, as most firmware; 307 without a body (uhttpd); 301 to a port of its own.
    {"acme-rec",
     "acme",
     "AP-100",
     "https://192.168.77.13",
     "admin",
     {{"https", true}, {"http", "redirect"}},
     false},
    {"luci-rec",
     "luci",
     "LB-1",
     "https://192.168.77.72",
     "root",
     {{"https", true}, {"http", "redirect"}},
     true},
    {"corvid-rec",
     "corvid",
     "CR-5",
     "https://192.168.77.33:8443",
     "admin",
     {{"https", 8443}, {"http", "redirect"}},
     false},
};

INSTANTIATE_TEST_SUITE_P(Redirecting, KrzpapHttpsRecord, ::testing::ValuesIn(kRedirecting),
                         [](const ::testing::TestParamInfo<HttpsDeviceCase>& row) {
                             std::string name = row.param.name;
                             return name.substr(0, name.find('-'));
                         });

}  // namespace
