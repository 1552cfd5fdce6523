// krzpap record and the lab's playback, end to end: each family recorded from the emulated lab,
// played back by a second lab, and shown and configured there as on the emulator; secrets kept
// out of the file; misbehaving devices ending the recording with a sentence; and what the
// recording does not hold answered with 404.
#include "ToolsTestSupport.h"

#include "recording/Recording.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

using namespace krztest;
using nlohmann::json;

namespace {

using Outcome = ProgramOutcome;

class RecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch = ::testing::TempDir() + "record_" + std::to_string(getpid()) + "_" + info->name();
        runProgram({"/bin/rm", "-rf", scratch}, {});
        runProgram({"/bin/mkdir", "-p", scratch}, {});
        lab = std::make_unique<LabProcess>();
    }
    void TearDown() override {
        if (!HasFailure())
            runProgram({"/bin/rm", "-rf", scratch}, {});
    }
    Outcome krzpap(const LabProcess& at, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {KRZPAP_PROGRAM, "--log", scratch + "/krzpap.log"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = cleanEnvironment();
        env.push_back("XDG_STATE_HOME=" + scratch + "/state");
        env.push_back("KRZ_LAB=" + at.address());
        return runProgram(argv, env);
    }
    // A lab of one adapter whose devices play the named recordings (paths relative to it).
    std::unique_ptr<LabProcess> playback(const std::vector<std::string>& recordings) {
        json devices = json::array();
        for (size_t i = 0; i < recordings.size(); ++i)
            devices.push_back(
                {{"name", "played-" + std::to_string(i)}, {"recording", recordings[i]}});
        json description = labOf(devices);
        std::ofstream(scratch + "/play.json") << description.dump();
        return std::make_unique<LabProcess>(
            std::vector<std::string>{"--lab", scratch + "/play.json"});
    }
    std::string file(const std::string& name) { return fileText(scratch + "/" + name); }
    // A device of our own making: a recording, without a login, that answers GET at each target
    // with the page given (a "Location:" page is a 302 there), written as `name` in the scratch
    // folder for playback().
    void device(const std::string& name, const std::string& address,
                const std::vector<std::pair<std::string, std::string>>& pages) {
        krzlab::Recording r;
        r.address = address;
        r.mac = "02:4B:5A:00:01:" + address.substr(address.rfind('.') + 1);
        for (const auto& page : pages) {
            krzlab::Exchange e;
            e.request.method = "GET";
            e.request.target = page.first;
            if (page.second.rfind("Location:", 0) == 0) {
                e.reply.status = 302;
                e.reply.headers = {{"Location", page.second.substr(9)}};
            } else {
                bool json = page.second.rfind("{", 0) == 0;
                e.reply.headers = {{"Content-Type", json ? "application/json" : "text/html"}};
                e.reply.body = page.second;
            }
            r.exchanges.push_back(e);
        }
        std::ofstream(scratch + "/" + name, std::ios::binary) << r.toText();
    }

    std::unique_ptr<LabProcess> lab;
    std::string scratch;
};

struct Family {
    const char* name;     // the lab device
    const char* address;  // and its address
    const char* user;
    const char* password;
    const char* field;  // the form field that holds the SSID
};
const Family kFamilies[] = {
    {"acme-1", "192.168.77.10", "admin", "gatekeeper", "ssid"},
    {"borealis-1", "192.168.77.20", "root", "northwind", "ssid"},
    {"corvid-2", "192.168.77.31", "admin", "rookery", "wl_ssid"},
};

TEST_F(RecordTest, EachFamilyPlaysBackAsTheEmulatorShowsAndConfiguresIt) {
    std::vector<std::string> files, emulated;
    for (const Family& f : kFamilies) {
        json before = lab->device(f.name)["wireless"];
        std::string out = std::string(f.name) + ".json";
        Outcome recorded =
            krzpap(*lab, {"record", f.address, "-u", f.user, "-p", f.password, "-o",
                          scratch + "/" + out, "--try-change", std::string(f.field) + "=Recorded"});
        ASSERT_EQ(0, recorded.status) << f.name << recorded.err;
        EXPECT_NE(std::string::npos, recorded.err.find("into " + scratch + "/" + out))
            << recorded.err;
        // The change was tried and put back.
        EXPECT_EQ(before, lab->device(f.name)["wireless"]) << f.name;
        Outcome shown = krzpap(*lab, {"show", f.address, "-u", f.user, "-p", f.password});
        ASSERT_EQ(0, shown.status) << shown.err;
        files.push_back(out);
        emulated.push_back(shown.out);

        Outcome valid = runProgram(
            {"/usr/bin/jsonschema", "-i", scratch + "/" + out, KRZ_RECORDING_SCHEMA}, {});
        EXPECT_EQ(0, valid.status) << f.name << valid.out << valid.err;
        json r = json::parse(file(out));
        EXPECT_TRUE(r["complete"]) << f.name;
        EXPECT_EQ(lab->device(f.name)["mac"], r["mac"]) << f.name;
    }
    std::unique_ptr<LabProcess> played = playback(files);
    for (size_t i = 0; i < files.size(); ++i) {
        const Family& f = kFamilies[i];
        // The placeholder of the password logs in where the password did.
        Outcome shown = krzpap(*played, {"show", f.address, "-u", f.user, "-p", "PW-0001"});
        EXPECT_EQ(0, shown.status) << f.name << shown.err;
        EXPECT_EQ(emulated[i], shown.out) << f.name;
        Outcome refused = krzpap(*played, {"show", f.address, "-u", f.user, "-p", f.password});
        EXPECT_EQ(4, refused.status) << f.name << refused.out << refused.err;

        Outcome configured = krzpap(*played, {"configure", f.address, "-u", f.user, "-p", "PW-0001",
                                              "--ssid", "Played Back"});
        EXPECT_EQ(0, configured.status) << f.name << configured.out << configured.err;
        EXPECT_NE(std::string::npos, configured.out.find("confirmed")) << configured.out;
        Outcome after = krzpap(*played, {"show", f.address, "-u", f.user, "-p", "PW-0001"});
        EXPECT_NE(std::string::npos, after.out.find("SSID:        Played Back")) << after.out;
    }
}

TEST_F(RecordTest, SecretsLeaveNoTraceUnlessKept) {
    // Basic login with the key in a form field; a login form with a session cookie and the key in
    // a script.
    struct Case {
        const char* address;
        const char* user;
        const char* password;
        std::vector<std::string> secrets;
    } const cases[] = {
        {"192.168.77.10",
         "admin",
         "gatekeeper",
         {"gatekeeper", "correct horse battery", "YWRtaW46Z2F0ZWtlZXBlcg=="}},
        {"192.168.77.20", "root", "northwind", {"northwind", "polarlights42"}},
    };
    for (const Case& c : cases) {
        for (bool keep : {false, true}) {
            std::string out = scratch + "/secrets.json";
            std::vector<std::string> args = {"record", c.address,  "-u", c.user,
                                             "-p",     c.password, "-o", out};
            if (keep)
                args.push_back("--keep-secrets");
            ASSERT_EQ(0, krzpap(*lab, args).status) << c.address;
            std::string text = fileText(out);
            for (const std::string& secret : c.secrets)
                EXPECT_EQ(keep, text.find(secret) != std::string::npos)
                    << c.address << (keep ? " kept: " : " replaced: ") << secret;
            json r = json::parse(text);
            EXPECT_EQ(keep, r["secretsKept"]);
            // The session cookie the device set stands in the file only when kept.
            for (const json& e : r["exchanges"])
                for (const json& h : e["reply"]["headers"])
                    if (h[0] == "Set-Cookie") {
                        EXPECT_EQ(!keep,
                                  h[1].get<std::string>().find("COOKIE-0") != std::string::npos)
                            << h[1];
                    }
        }
    }
    // Anonymized: the MAC in no spelling, in the header a stand-in.
    std::string out = scratch + "/anonymous.json";
    ASSERT_EQ(0, krzpap(*lab, {"record", "192.168.77.20", "-u", "root", "-p", "northwind", "-o",
                               out, "--anonymize"})
                     .status);
    std::string text = fileText(out);
    for (const char* mac : {"02:4B:5A:00:00:20", "02:4b:5a:00:00:20", "02-4B-5A-00-00-20"})
        EXPECT_EQ(std::string::npos, text.find(mac)) << mac;
    json r = json::parse(text);
    EXPECT_TRUE(r["anonymized"]);
    EXPECT_EQ("02:00:00:00:00:01", r["mac"]);
}

TEST_F(RecordTest, MisbehavingDeviceEndsTheRecordingWithASentence) {
    struct Case {
        const char* fault;
        int status;
        const char* says;
        int param = 0;
    } const cases[] = {
        {"reset", 5,
         "broke off the connection; try again in a moment (it may be restarting); the recording "
         "stops there"},
        {"flood", 1, "reply was too large"},
        {"malformed", -1, "the recording stops there"},
        {"down", 5, "nothing answers at 192.168.77.10"},
        {"refusing", 5, "192.168.77.10"},
        // A page that trickles in for minutes: the time bound cuts it.
        {"slow", 1, "reached its time bound of 1 s (--max-time)", 1000},
    };
    for (const Case& c : cases) {
        lab->control({{"op", "fault"}, {"name", "acme-1"}, {"fault", c.fault}, {"param", c.param}});
        std::string out = scratch + "/" + c.fault + ".json";
        Outcome recorded =
            krzpap(*lab, {"record", "192.168.77.10", "-u", "admin", "-p", "gatekeeper", "-o", out,
                          "--timeout", "5", "--max-time", c.param ? "1" : "120"});
        // A malformed reply is one of three kinds in turn; each ends the recording.
        if (c.status < 0)
            EXPECT_NE(0, recorded.status) << c.fault << recorded.err;
        else
            EXPECT_EQ(c.status, recorded.status) << c.fault << recorded.err;
        EXPECT_NE(std::string::npos, recorded.err.find(c.says)) << c.fault << recorded.err;
        EXPECT_EQ(0u, recorded.err.find("krzpap: ")) << recorded.err;
        if (std::string(c.fault) == "reset" || std::string(c.fault) == "malformed") {
            json r = json::parse(fileText(out));
            EXPECT_FALSE(r["complete"]) << c.fault;
            EXPECT_FALSE(r["stopReason"].get<std::string>().empty()) << c.fault;
        }
    }
}

TEST_F(RecordTest, PlaybackAnswersOnlyWhatWasRecorded) {
    ASSERT_EQ(0, krzpap(*lab, {"record", "192.168.77.10", "-u", "admin", "-p", "gatekeeper", "-o",
                               scratch + "/acme.json"})
                     .status);
    std::unique_ptr<LabProcess> played = playback({"acme.json"});
    struct Case {
        std::vector<std::string> args;
        const char* status;
    } const cases[] = {
        {{"fetch", "192.168.77.10", "/wireless.htm", "-u", "admin", "-p", "PW-0001"}, " 200 "},
        {{"fetch", "192.168.77.10", "/wireless.htm"}, " 401 "},
        {{"fetch", "192.168.77.10", "/wireless.htm", "-u", "admin", "-p", "wrong"}, " 401 "},
        {{"fetch", "192.168.77.10", "/unknown.htm", "-u", "admin", "-p", "PW-0001"}, " 404 "},
        {{"fetch", "192.168.77.10", "/wireless.htm?x=1", "-u", "admin", "-p", "PW-0001"}, " 404 "},
        {{"fetch", "192.168.77.10", "/index.htm", "--post", "-u", "admin", "-p", "PW-0001"},
         " 404 "},
        // A form of the recording, but no submission of it was recorded.
        {{"fetch", "192.168.77.10", "/goform/wireless", "--form", "ssid=x", "-u", "admin", "-p",
          "PW-0001"},
         " 404 "},
    };
    for (const Case& c : cases) {
        Outcome fetched = krzpap(*played, c.args);
        EXPECT_EQ(0u, fetched.out.find(std::string("HTTP/1.1") + c.status))
            << c.args[2] << ": " << fetched.out.substr(0, 40);
    }
    // A change needs a recorded submission: without one it fails and says so.
    Outcome configured = krzpap(
        *played, {"configure", "192.168.77.10", "-u", "admin", "-p", "PW-0001", "--ssid", "x"});
    EXPECT_NE(0, configured.status);
}

// record --by-module: a description's own steps (a challenge-response login, JSON reads, a JSON
// change with its restart, and the change back), recorded without a secret and played back so
// that the same description configures the played device.
TEST_F(RecordTest, ByModuleRecordsADescriptionsStepsAndPlaysThemBack) {
    json labFile = json::parse(fileText(std::string(KRZ_LABS_SOURCE) + "/firmware.json"));
    for (json& d : labFile["devices"])
        if (d["name"] == "sorrelby-1")
            d["options"] = {{"restartMs", "200"}, {"iterations", "1000"}};
    std::ofstream(scratch + "/firmware.json") << labFile.dump();
    LabProcess emulated({"--lab", scratch + "/firmware.json"});
    json before = emulated.device("sorrelby-1")["wireless"];
    const std::string out = scratch + "/sorrelby.json";
    Outcome recorded =
        krzpap(emulated,
               {"--modules", "krzpapdescriptions.dll", "record", "192.168.77.90", "-u", "admin",
                "-p", "chal-lenge1", "--by-module", "--try-change", "ssid=Recorded", "--try-change",
                "security=wpa2-psk", "--try-change", "key=recorded-key-1", "-o", out});
    ASSERT_EQ(0, recorded.status) << recorded.err;
    EXPECT_EQ(before, emulated.device("sorrelby-1")["wireless"]);
    std::string text = file("sorrelby.json");
    for (const char* secret : {"chal-lenge1", "sorrelby-key-1", "recorded-key-1"})
        EXPECT_EQ(std::string::npos, text.find(secret)) << secret;
    json r = json::parse(text);
    EXPECT_TRUE(r["complete"]);
    EXPECT_EQ("admin", r["login"]["user"]);
    EXPECT_EQ("PW-0001", r["login"]["password"]);
    // The change and the change back, each as the description posts it.
    std::vector<std::string> posted;
    for (const json& e : r["exchanges"])
        if (e["request"]["method"] == "POST" && e["request"]["target"] == "/api/wireless")
            posted.push_back(json::parse(e["request"]["body"].get<std::string>())["ssid"]);
    EXPECT_EQ((std::vector<std::string>{"Recorded", before["ssid"]}), posted);

    std::unique_ptr<LabProcess> played = playback({"sorrelby.json"});
    const std::vector<std::string> device = {
        "--modules", "krzpapdescriptions.dll", "192.168.77.90", "-u", "admin", "-p", "PW-0001"};
    auto run = [&](const char* command, std::vector<std::string> more) {
        std::vector<std::string> args = {device[0], device[1], command};
        args.insert(args.end(), device.begin() + 2, device.end());
        args.insert(args.end(), more.begin(), more.end());
        return krzpap(*played, args);
    };
    Outcome configured = run("configure", {"--ssid", "Played Back"});
    EXPECT_EQ(0, configured.status) << configured.out << configured.err;
    EXPECT_NE(std::string::npos, configured.out.find("confirmed")) << configured.out;
    EXPECT_NE(std::string::npos, run("show", {}).out.find("SSID:        Played Back"));

    // --max-time holds while the module waits out the device's restart (15 s as shipped).
    LabProcess slow({"--lab", std::string(KRZ_LABS_SOURCE) + "/firmware.json"});
    Outcome cut = krzpap(slow, {"--modules", "krzpapdescriptions.dll", "record", "192.168.77.90",
                                "-u", "admin", "-p", "chal-lenge1", "--by-module", "--max-time",
                                "2", "--try-change", "ssid=Recorded", "-o", out});
    EXPECT_EQ(1, cut.status) << cut.err;
    EXPECT_NE(std::string::npos, cut.err.find("its time bound of 2 s (--max-time)")) << cut.err;
    EXPECT_FALSE(json::parse(file("sorrelby.json"))["complete"]);
}

TEST_F(RecordTest, WrongUsageIsRefusedBeforeAnythingIsSent) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    } const cases[] = {
        {{"record", "192.168.77.10"}, 2, "--output is required"},
        {{"record", "192.168.77.10", "-o", "x.json", "--try-change", "ssid"}, 2, "FIELD=VALUE"},
        {{"record", "192.168.77.10", "-u", "admin", "-p", "gatekeeper", "-o", "x.json",
          "--try-change", "nosuchfield=1"},
         2,
         "no recorded page has a form with a field named \"nosuchfield\""},
        {{"record", "192.168.77.10", "-o", "x.json", "--by-module", "--try-change", "channel=6"},
         2,
         "ssid=, security=, encryption= or key=, not \"channel=\""},
        {{"record", "192.168.77.10", "-o", "x.json", "--by-module", "--try-change", "key=k"},
         2,
         "security"},
        {{"record", "192.168.77.10", "-o", "x.json"}, 4, "give them with --user and --password"},
        {{"record", "192.168.77.10", "-u", "admin", "-p", "nope", "-o", "x.json"},
         4,
         "refused the credentials"},
        {{"record", "192.168.77.20", "-o", "x.json"}, 4, "shows a login form"},
        {{"record", "192.168.77.99", "-o", "x.json"}, 5, "nothing answers"},
        {{"record", "300.1.1.1", "-o", "x.json"}, 2, "not a device address"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        for (std::string& a : args)
            if (a == "x.json")
                a = scratch + "/x.json";
        Outcome o = krzpap(*lab, args);
        EXPECT_EQ(c.status, o.status) << args.back() << o.err;
        EXPECT_NE(std::string::npos, o.err.find(c.says)) << o.err;
    }
}

}  // namespace

namespace {

// The key and the passwords a recording must not hold, in any shape the device's pages hold them.
// Their letters ("Qz7W", "Jm4R", "Pw9X") appear in no spelling of anything else.
const char* const kKeyHtml = "Qz7W&#39;&amp;&quot;&lt;x y/Jm4R";
const char* const kKeyJs = "Qz7W\\'&\"<x y\\/Jm4R";
const char* const kKeyJson = "Qz7W'&\\\"<x y\\/Jm4R";
const char* const kKeyHex = "Qz7W\\x27\\x26\\x22\\x3Cx y\\x2FJm4R";
const char* const kKeyUrl = "Qz7W%27%26%22%3Cx+y%2FJm4R";

TEST_F(RecordTest, NoSecretInAnyShapeTheDeviceHoldsIt) {
    const std::string form = "<form action=/set method=post><input name=ssid value=Home>";
    struct Shape {
        const char* name;
        std::vector<std::pair<std::string, std::string>> pages;
    } const shapes[] = {
        {"form value",
         {{"/wl.htm",
           form + "<input type=password name=wl_key value=\"" + kKeyHtml + "\"></form>"}}},
        {"script variable",
         {{"/wl.htm", form + "<input type=password name=wl_key></form><script>var wlKey = '" +
                          kKeyJs + "';\ndocument.forms[0].wl_key.value = wlKey;</script>"}}},
        {"script object",
         {{"/wl.htm", form +
                          "<input type=password name=wl_key></form><script>var cfg = {ssid: "
                          "'Home', wlKey: '" +
                          kKeyJs + "'}; f.wl_key.value = cfg.wlKey;</script>"}}},
        {"value set by id",
         {{"/wl.htm", form +
                          "<input type=password id=k name=wl_key></form><script>"
                          "document.getElementById('k').value = '" +
                          kKeyHex + "';</script>"}}},
        {"JSON reply",
         {{"/wl.htm", form + "</form><script src=/wl.json></script>"},
          {"/wl.json", std::string("{\"ssid\": \"Home\", \"psk\": \"") + kKeyJson + "\"}"}}},
        {"attribute",
         {{"/wl.htm",
           form + "<input type=hidden name=wpa_passphrase value='" + kKeyHtml + "'></form>"}}},
        {"URL parameter",
         {{"/wl.htm",
           form + "</form><a href=\"/wps.htm?pin=1&amp;wl_key=" + kKeyUrl + "\">WPS</a>"},
          {std::string("/wps.htm?pin=1&wl_key=") + kKeyUrl, "<p>WPS</p>"}}},
        {"password given",
         {{"/wl.htm", form + "</form><script>var shown = \"Pw9X'&amp\";</script><a "
                             "href=\"/p.htm?u=Pw9X%27%26amp\">p</a>"}}},
    };
    std::vector<std::string> files;
    for (size_t i = 0; i < std::size(shapes); ++i) {
        files.push_back("shape" + std::to_string(i) + ".json");
        // The start page links the page of the shape: a form with a password there would be
        // taken for the login.
        std::vector<std::pair<std::string, std::string>> pages = shapes[i].pages;
        pages.emplace_back("/", "<a href=/wl.htm>Wireless</a>");
        device(files.back(), "192.168.77." + std::to_string(50 + i), pages);
    }
    std::unique_ptr<LabProcess> played = playback(files);
    for (size_t i = 0; i < std::size(shapes); ++i) {
        std::string out = scratch + "/recorded" + std::to_string(i) + ".json";
        Outcome recorded = krzpap(*played, {"record", "192.168.77." + std::to_string(50 + i), "-p",
                                            "Pw9X'&amp", "-o", out});
        ASSERT_EQ(0, recorded.status) << shapes[i].name << recorded.err;
        std::string text = fileText(out);
        for (const char* letters : {"Qz7W", "Jm4R", "Pw9X"})
            EXPECT_EQ(std::string::npos, text.find(letters))
                << shapes[i].name << ": " << letters << " in " << text;
        EXPECT_NE(std::string::npos, text.find(i + 1 == std::size(shapes) ? "PW-0001" : "KEY-0"))
            << shapes[i].name;
    }
}

// A page that a device may send to break its recorder, and what record then says.
struct HostilePage {
    const char* name;
    std::vector<std::pair<std::string, std::string>> pages;
    int status;            // record's exit status
    const char* says;      // in its stderr, when it fails
    const char* recorded;  // a target the recording holds, its bytes as requested
};

void PrintTo(const HostilePage& page, std::ostream* out) {
    *out << page.name;
}

class RecordHostileTest : public RecordTest, public ::testing::WithParamInterface<HostilePage> {};

TEST_P(RecordHostileTest, RecordAndDescribeSurviveThePage) {
    const HostilePage& c = GetParam();
    device("hostile.json", "192.168.77.60", c.pages);
    std::unique_ptr<LabProcess> played = playback({"hostile.json"});
    std::string out = scratch + "/recorded.json";
    Outcome recorded = krzpap(*played, {"record", "192.168.77.60", "-o", out, "--max-time", "60"});
    ASSERT_EQ(c.status, recorded.status) << recorded.err;
    krzlab::Recording r = krzlab::Recording::fromFile(out);
    EXPECT_EQ(c.status == 0, r.complete) << r.stopReason;
    if (c.status != 0) {
        EXPECT_NE(std::string::npos, recorded.err.find(c.says)) << recorded.err;
        EXPECT_NE(std::string::npos, r.stopReason.find(c.says)) << r.stopReason;
        return;
    }
    bool found = false;
    for (const krzlab::Exchange& e : r.exchanges)
        found = found || (e.request.target == c.recorded && e.reply.status == 200);
    EXPECT_TRUE(found) << c.recorded;
    // Played back, the page is served with the same bytes.
    for (const auto& page : c.pages)
        if (page.first == "/") {
            EXPECT_EQ(page.second, r.exchanges[0].reply.body.substr(0, page.second.size()));
        }
    Outcome described = krzpap(*played, {"describe", out, "-o", scratch + "/draft.json"});
    EXPECT_EQ(0, described.status) << described.err;
}

std::string bigForm(int fields) {
    std::string page = "<form name=f action=/set method=post>", script;
    for (int i = 0; i < fields; ++i) {
        std::string n = std::to_string(i);
        page += "<tr><td>Field " + n + "</td><td><input name=f" + n + " maxlength=32></td></tr>";
        script += "var v" + n + " = 'x" + n + "'; f.f" + n + ".value = v" + n + ";\n";
    }
    return "<html><title>Big</title>" + page + "</form><script>" + script + "</script>";
}

const std::string kMib(1 << 20, 'a');
const std::string kNext = "<a href=\"/next.htm\">next</a>";

INSTANTIATE_TEST_SUITE_P(
    Pages, RecordHostileTest,
    ::testing::Values(
        HostilePage{"long_link",
                    {{"/", "<a href=\"/" + kMib + "\">x</a><img src=" + kMib + ">" + kNext},
                     {"/next.htm", "<p>next</p>"}},
                    0,
                    "",
                    "/next.htm"},
        HostilePage{
            "long_attribute_name_and_literal",
            {{"/", "<form action=/s><input name=ssid value=\"" + kMib + "\"><input name=" + kMib +
                       "></form><script>var " + kMib + " = '" + kMib + "'; f.ssid" +
                       ".value = " + kMib + "; location = '/" + kMib + "';</script>" + kNext},
             {"/next.htm", "<p>next</p>"}},
            0,
            "",
            "/next.htm"},
        HostilePage{"ten_thousand_fields",
                    {{"/", bigForm(10000) + kNext}, {"/next.htm", "n"}},
                    0,
                    "",
                    "/next.htm"},
        HostilePage{"latin1_names",
                    {{"/",
                      "<form action=/s><input name=\"us\xe9r\" value=\"J\xfcrgen\"></form>"
                      "<a href=\"/caf\xe9.htm\">x</a>"},
                     {"/caf\xe9.htm", "<p>caf\xe9</p>"}},
                    0,
                    "",
                    "/caf\xe9.htm"},
        HostilePage{"redirect_loop",
                    {{"/", "Location:/a.htm"},
                     {"/a.htm", "Location:/b.htm"},
                     {"/b.htm", "Location:/a.htm"}},
                    1,
                    "redirects go round in a loop",
                    ""},
        HostilePage{
            "endless_redirects",
            [] {
                std::vector<std::pair<std::string, std::string>> pages = {{"/", "Location:/r0"}};
                for (int i = 0; i < 30; ++i)
                    pages.emplace_back("/r" + std::to_string(i),
                                       "Location:/r" + std::to_string(i + 1));
                return pages;
            }(),
            1, "redirects go round in a loop", ""}),
    [](const ::testing::TestParamInfo<HostilePage>& param) { return param.param.name; });

}  // namespace
