// The krzpap program as a user runs it: each test starts a krzlab process, points krzpap at it
// through KRZ_LAB, and checks output, exit status and the devices' state through the lab's
// control protocol.
#include "ToolSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

using namespace tooltest;
using nlohmann::json;

namespace {

const std::string kAcme = "192.168.77.10";
const std::string kBorealis = "192.168.77.20";
const std::string kCorvidOpen = "192.168.77.30";
const std::string kCorvid = "192.168.77.31";
const std::string kPrinter = "192.168.77.40";
const std::string kNoWeb = "192.168.77.50";
const std::string kNobody = "192.168.77.99";

// Exit codes as documented for scripts.
enum { kOk = 0, kUsage = 2, kNothingFound = 3, kLoginFailed = 4, kUnreachable = 5, kCancelled = 6 };

class KrzpapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lab = std::make_unique<LabProcess>();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch = ::testing::TempDir() + "krzpap_" + std::to_string(getpid()) + "_" + info->name();
        logPath = scratch + ".log";
        std::remove(logPath.c_str());
    }
    void TearDown() override {
        if (!HasFailure())
            std::remove(logPath.c_str());
    }

    Outcome krzpap(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
        std::vector<std::string> argv = {KRZPAP_PROGRAM, "--log", logPath};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = cleanEnvironment();
        env.push_back("KRZ_LAB=" + lab->address());
        return runProgram(argv, env, input);
    }

    static json parsed(const Outcome& outcome) {
        json document = json::parse(outcome.out, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << "not JSON: " << outcome.out;
        return document;
    }

    bool logWritten() const {
        struct stat st;
        return stat(logPath.c_str(), &st) == 0 && st.st_size > 0;
    }

    json devices() { return lab->control({{"op", "devices"}})["devices"]; }
    json wireless(const std::string& name) { return lab->device(name)["wireless"]; }

    std::unique_ptr<LabProcess> lab;
    std::string scratch;
    std::string logPath;
};

std::string describe(const Outcome& o) {
    return "exit " + std::to_string(o.status) + "\nstdout: " + o.out + "\nstderr: " + o.err;
}

// The line of `text` that starts with `first` followed by a space.
std::string lineStarting(const std::string& text, const std::string& first) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(first + " ", 0) == 0)
            return line;
    return "";
}

TEST_F(KrzpapTest, ScanListsEveryRouterAsTextAndJson) {
    const std::map<std::string, std::string> vendors = {
        {"acme", "Acme"}, {"borealis", "Borealis"}, {"corvid", "Corvid"}};
    std::map<std::string, std::tuple<std::string, std::string, std::string>> routers;
    for (const json& d : devices()) {
        auto vendor = vendors.find(d["family"].get<std::string>());
        if (vendor != vendors.end())
            routers[d["address"]] = {vendor->second, d["model"], d["mac"]};
    }
    ASSERT_EQ(4u, routers.size());

    Outcome text = krzpap({"scan"});
    ASSERT_EQ(kOk, text.status) << describe(text);
    for (const auto& [address, identity] : routers) {
        std::string line = lineStarting(text.out, address);
        EXPECT_NE(std::string::npos, line.find(std::get<0>(identity))) << line;
        EXPECT_NE(std::string::npos, line.find(" " + std::get<1>(identity) + " ")) << line;
        EXPECT_NE(std::string::npos, line.find(std::get<2>(identity))) << line;
    }
    EXPECT_EQ("", lineStarting(text.out, kPrinter));
    EXPECT_EQ("", lineStarting(text.out, kNoWeb));

    Outcome js = krzpap({"--json", "scan"});
    ASSERT_EQ(kOk, js.status) << describe(js);
    json document = parsed(js);
    decltype(routers) listed;
    for (const json& d : document["devices"])
        listed[d["address"]] = {d["vendor"], d["model"], d["mac"]};
    EXPECT_EQ(routers, listed);
    EXPECT_EQ(routers.size(), document["devices"].size());
    EXPECT_EQ(false, document["interrupted"]);
}

TEST_F(KrzpapTest, ShowReadsTheDeviceSettings) {
    Outcome text = krzpap({"show", kAcme, "-p", "gatekeeper"});
    ASSERT_EQ(kOk, text.status) << describe(text);
    EXPECT_NE(std::string::npos, text.out.find("Acme AP-100 at " + kAcme)) << text.out;
    EXPECT_NE(std::string::npos, text.out.find(wireless("acme-1")["ssid"].get<std::string>()));

    Outcome js = krzpap({"--json", "show", kBorealis, "--user", "root", "--password", "northwind"});
    ASSERT_EQ(kOk, js.status) << describe(js);
    json shown = parsed(js);
    json device = lab->device("borealis-1");
    EXPECT_EQ(kBorealis, shown["address"]);
    EXPECT_EQ(device["mac"], shown["mac"]);
    EXPECT_EQ("Borealis", shown["vendor"]);
    EXPECT_EQ(device["model"], shown["model"]);
    for (const char* field : {"ssid", "security", "encryption", "key"})
        EXPECT_EQ(device["wireless"][field], shown[field]) << field;
    // The rule texts come from the host's resource library.
    for (const char* rule : {"password", "ssid"})
        EXPECT_FALSE(shown["requirements"][rule].get<std::string>().empty()) << rule;

    // Without credentials the device's factory ones are tried: this one has no password.
    Outcome factory = krzpap({"--json", "show", kCorvidOpen});
    ASSERT_EQ(kOk, factory.status) << describe(factory);
    EXPECT_EQ(wireless("corvid-1")["ssid"], parsed(factory)["ssid"]);
}

TEST_F(KrzpapTest, ConfigureWritesTheSettingsAndShowReadsThemBack) {
    Outcome text = krzpap({"configure", kAcme, "-p", "gatekeeper", "--ssid", "Lab Net",
                           "--security", "wpa2-psk", "--key", "a new passphrase"});
    ASSERT_EQ(kOk, text.status) << describe(text);
    EXPECT_NE(std::string::npos, text.out.find("Read back: the device holds the new settings."));
    json expected = {{"ssid", "Lab Net"},
                     {"security", "wpa2-psk"},
                     {"encryption", "aes"},
                     {"key", "a new passphrase"}};
    EXPECT_EQ(expected, wireless("acme-1"));
    Outcome shown = krzpap({"--json", "show", kAcme, "-p", "gatekeeper"});
    ASSERT_EQ(kOk, shown.status) << describe(shown);
    for (const auto& [field, value] : expected.items())
        EXPECT_EQ(value, parsed(shown)[field]) << field;

    // A device that restarts after the change: the read-back waits for it.
    Outcome js = krzpap({"--json", "configure", kBorealis, "-p", "northwind", "--ssid", "Polar",
                         "--security", "wpa-wpa2-psk", "--key", "icecold-99"});
    ASSERT_EQ(kOk, js.status) << describe(js);
    json result = parsed(js);
    EXPECT_EQ(true, result["changed"]);
    EXPECT_EQ("Polar", result["settings"]["ssid"]);
    EXPECT_EQ("Polar", wireless("borealis-1")["ssid"]);
    EXPECT_EQ("wpa-wpa2-psk", wireless("borealis-1")["security"]);
    EXPECT_EQ("icecold-99", wireless("borealis-1")["key"]);

    // A new password alone keeps the user name (this device has none to give); the old
    // password stops working, the new one works.
    Outcome password = krzpap({"configure", kCorvid, "-p", "rookery", "--new-password", "Raven-2"});
    ASSERT_EQ(kOk, password.status) << describe(password);
    EXPECT_EQ("Raven-2", lab->device("corvid-2")["password"]);
    EXPECT_EQ("admin", lab->device("corvid-2")["username"]);
    EXPECT_EQ(kLoginFailed, krzpap({"show", kCorvid, "-p", "rookery"}).status);
    EXPECT_EQ(kOk, krzpap({"show", kCorvid, "-p", "Raven-2"}).status);

    // A new user name alone keeps the password.
    Outcome user = krzpap({"configure", kAcme, "-p", "gatekeeper", "--new-user", "boss"});
    ASSERT_EQ(kOk, user.status) << describe(user);
    EXPECT_EQ("boss", lab->device("acme-1")["username"]);
    EXPECT_EQ("gatekeeper", lab->device("acme-1")["password"]);
    EXPECT_EQ(kOk, krzpap({"show", kAcme, "-u", "boss", "-p", "gatekeeper"}).status);
}

TEST_F(KrzpapTest, FindLocatesADeviceAfterItsFactoryReset) {
    json reset = lab->control({{"op", "reset"}, {"name", "corvid-2"}});
    ASSERT_TRUE(reset.value("ok", false)) << reset.dump();
    const std::string moved = reset["device"]["address"];
    ASSERT_NE(kCorvid, moved);

    Outcome text = krzpap({"find", "02:4b:5a:00:00:31"});
    ASSERT_EQ(kOk, text.status) << describe(text);
    EXPECT_NE(std::string::npos, lineStarting(text.out, "02:4B:5A:00:00:31").find(moved))
        << text.out;

    // Any separators; one MAC that nobody has makes the search incomplete.
    Outcome js =
        krzpap({"--json", "find", "02-4B-5A-00-00-31", "024b5a000010", "02:4B:5A:00:00:99"});
    EXPECT_EQ(kNothingFound, js.status) << describe(js);
    json results = parsed(js)["results"];
    ASSERT_EQ(3u, results.size());
    EXPECT_EQ((json{{"mac", "02:4B:5A:00:00:31"}, {"found", true}, {"address", moved}}),
              results[0]);
    EXPECT_EQ((json{{"mac", "02:4B:5A:00:00:10"}, {"found", true}, {"address", kAcme}}),
              results[1]);
    EXPECT_EQ(false, results[2]["found"]);
}

TEST_F(KrzpapTest, DefaultsTellsFactoryNetworksFromChangedOnes) {
    json corvid = lab->device("corvid-1");
    Outcome factory = krzpap({"--json", "defaults", "--ssid", corvid["factory"]["wireless"]["ssid"],
                              "--bssid", corvid["mac"]});
    ASSERT_EQ(kOk, factory.status) << describe(factory);
    EXPECT_EQ(true, parsed(factory)["factoryDefaults"]);
    EXPECT_GT(parsed(factory)["verdict"].get<int>(), 0);

    Outcome changed = krzpap({"defaults", "--ssid", "Nest", "--bssid", "02:4B:5A:00:00:31"});
    ASSERT_EQ(kOk, changed.status) << describe(changed);
    EXPECT_EQ(std::string::npos, changed.out.find("still at its factory defaults")) << changed.out;
}

TEST_F(KrzpapTest, FetchAndFormsShowWhatTheLibraryReads) {
    Outcome denied = krzpap({"fetch", kAcme, "/"});
    ASSERT_EQ(kOk, denied.status) << describe(denied);
    EXPECT_EQ(0u, denied.out.rfind("HTTP/1.1 401", 0)) << denied.out;

    Outcome page =
        krzpap({"--json", "fetch", kAcme, "/wireless.htm", "-u", "admin", "-p", "gatekeeper"});
    ASSERT_EQ(kOk, page.status) << describe(page);
    json reply = parsed(page);
    EXPECT_NE(std::string::npos, reply["headers"].get<std::string>().find(" 200 "));
    const std::string saved = scratch + ".html";
    std::ofstream(saved, std::ios::binary) << reply["body"].get<std::string>();

    const std::string ssid = wireless("acme-1")["ssid"];
    Outcome text = krzpap({"forms", saved});
    ASSERT_EQ(kOk, text.status) << describe(text);
    EXPECT_NE(std::string::npos, text.out.find("\n  ssid=" + ssid + "\n")) << text.out;

    Outcome js = krzpap({"--json", "forms", "-"}, saved);
    ASSERT_EQ(kOk, js.status) << describe(js);
    json forms = parsed(js)["forms"];
    ASSERT_FALSE(forms.empty());
    json fields = forms[0]["fields"];
    EXPECT_NE(fields.end(),
              std::find(fields.begin(), fields.end(), json{{"name", "ssid"}, {"value", ssid}}))
        << fields.dump();
    std::remove(saved.c_str());
}

TEST_F(KrzpapTest, FetchPostsAFormAndCarriesTheSessionCookie) {
    Outcome login = krzpap(
        {"fetch", kBorealis, "/login.cgi", "--form", "uname=root", "--form", "upass=northwind"});
    ASSERT_EQ(kOk, login.status) << describe(login);
    const std::string header = "Set-Cookie: ";
    size_t at = login.out.find(header);
    ASSERT_NE(std::string::npos, at) << login.out;
    at += header.size();
    const std::string cookie = login.out.substr(at, login.out.find_first_of(";\r\n", at) - at);

    const std::string ssid = wireless("borealis-1")["ssid"];
    const std::string setting = "var wlanSsid = '" + ssid + "'";
    Outcome settings = krzpap({"fetch", kBorealis, "/wireless.html", "--cookie", cookie});
    ASSERT_EQ(kOk, settings.status) << describe(settings);
    EXPECT_NE(std::string::npos, settings.out.find(setting)) << settings.out;
    Outcome anonymous = krzpap({"fetch", kBorealis, "/wireless.html"});
    EXPECT_EQ(std::string::npos, anonymous.out.find(setting)) << anonymous.out;
}

TEST_F(KrzpapTest, ExitCodesTellOutcomesApart) {
    Outcome wrongPassword = krzpap({"show", kAcme, "-p", "letmein"});
    EXPECT_EQ(kLoginFailed, wrongPassword.status) << describe(wrongPassword);
    EXPECT_NE(std::string::npos, wrongPassword.err.find("refused the credentials"));
    Outcome wrongJson = krzpap({"--json", "show", kAcme, "-p", "letmein"});
    EXPECT_EQ(kLoginFailed, parsed(wrongJson)["exitCode"]);

    Outcome nobody = krzpap({"show", kNobody});
    EXPECT_EQ(kUnreachable, nobody.status) << describe(nobody);
    EXPECT_NE(std::string::npos, nobody.err.find("no device answers at " + kNobody));
    EXPECT_EQ(kUnreachable, krzpap({"show", kNoWeb}).status);
    EXPECT_EQ(kUnreachable, krzpap({"fetch", kNoWeb, "/"}).status);

    Outcome printer = krzpap({"show", kPrinter});
    EXPECT_EQ(kNothingFound, printer.status) << describe(printer);
    EXPECT_NE(std::string::npos, printer.err.find("no module recognizes"));
    EXPECT_EQ(kNothingFound, krzpap({"find", "02:4B:5A:00:00:99"}).status);
    for (const char* name : {"acme-1", "borealis-1", "corvid-1", "corvid-2"})
        lab->control({{"op", "stop"}, {"name", name}});
    Outcome empty = krzpap({"--json", "scan"});
    EXPECT_EQ(kNothingFound, empty.status) << describe(empty);
    EXPECT_TRUE(parsed(empty)["devices"].empty());

    // Nothing answers at all: no connectivity.
    for (const json& d : devices())
        lab->control({{"op", "fault"}, {"name", d["name"]}, {"fault", "down"}, {"param", 0}});
    Outcome silence = krzpap({"scan"});
    EXPECT_EQ(kUnreachable, silence.status) << describe(silence);
    EXPECT_NE(std::string::npos, silence.err.find("no connectivity"));

    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"probe"}, {"show"}, {"configure", kAcme, "--security", "wpa3"}, {"find"}}) {
        Outcome usage = krzpap(args);
        EXPECT_EQ(kUsage, usage.status) << describe(usage);
    }
}

TEST_F(KrzpapTest, BadInputIsRefusedBeforeAnythingIsSent) {
    const json before = devices();
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"show", "192.168.77"}, "not a device address"},
        {{"configure", "10.0.0.300", "--ssid", "x"}, "not a device address"},
        {{"find", "02:4B:5A:00:00"}, "not a MAC address"},
        {{"find", "02:4B:5A:00:00:1G"}, "not a MAC address"},
        {{"defaults", "--ssid", "corvid", "--bssid", "corvid"}, "not a MAC address"},
        {{"defaults", "--ssid", std::string(33, 'x'), "--bssid", "02:4B:5A:00:00:30"},
         "at most 32 bytes"},
        {{"configure", kAcme, "-p", "gatekeeper", "--ssid", std::string(33, 's')}, "1 to 32 bytes"},
        {{"configure", kAcme, "-p", "gatekeeper", "--ssid", ""}, "1 to 32 bytes"},
        {{"configure", kAcme, "-p", "gatekeeper", "--new-user", "admin", "--new-password", "a:b"},
         "new password"},
        {{"configure", kAcme, "-p", "gatekeeper", "--new-user", "ad min", "--new-password", "ok"},
         "new user name"},
        {{"configure", kAcme, "-p", "gatekeeper", "--security", "wpa2-psk", "--key", "short"},
         "WPA passphrase"},
        {{"configure", kAcme, "-p", "gatekeeper", "--security", "wep", "--key", "abc"}, "WEP key"},
        {{"configure", kAcme, "-p", "gatekeeper"}, "nothing to change"},
        {{"fetch", kAcme, "wireless.htm"}, "path must start with '/'"},
        {{"fetch", kAcme, "/", "--multipart"}, "--multipart needs"},
        {{"fetch", kAcme, "/", "--form", "novalue"}, "a form field is name=value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Outcome text = krzpap(c.args);
        EXPECT_EQ(kUsage, text.status) << describe(text);
        EXPECT_NE(std::string::npos, text.err.find("krzpap: ")) << text.err;
        EXPECT_NE(std::string::npos, text.err.find(c.says)) << text.err;

        std::vector<std::string> withJson = {"--json"};
        withJson.insert(withJson.end(), c.args.begin(), c.args.end());
        json error = parsed(krzpap(withJson));
        EXPECT_EQ(kUsage, error["exitCode"]);
        EXPECT_NE(std::string::npos, error["error"].get<std::string>().find(c.says));
    }
    // Refused before the library was even set up: nothing logged, no device touched.
    EXPECT_FALSE(logWritten());
    EXPECT_EQ(before, devices());
}

TEST_F(KrzpapTest, DeviceRulesRefuseBeforeAnyChange) {
    const json before = devices();
    // Allowed in general, but not by these devices' own rules.
    Outcome user = krzpap({"configure", kAcme, "-p", "gatekeeper", "--ssid", "Fine", "--new-user",
                           "ad-min", "--new-password", "okpass1"});
    EXPECT_EQ(kUsage, user.status) << describe(user);
    EXPECT_NE(std::string::npos, user.err.find("the new user name holds a character")) << user.err;
    Outcome password =
        krzpap({"configure", kCorvidOpen, "--new-user", "admin", "--new-password", "a&b12345"});
    EXPECT_EQ(kUsage, password.status) << describe(password);
    EXPECT_NE(std::string::npos, password.err.find("the new password holds a character"))
        << password.err;
    EXPECT_EQ(before, devices());
}

TEST_F(KrzpapTest, CtrlCDuringTheScanEndsItAsCancelled) {
    std::vector<std::string> env = cleanEnvironment();
    env.push_back("KRZ_LAB=" + lab->address());
    // A probe that stays outstanding for a second, so the sweep notices the cancel.
    lab->control({{"op", "fault"}, {"name", "printer-1"}, {"fault", "silent"}, {"param", 0}});
    const std::string out = scratch + ".out";
    const std::string err = scratch + ".err";
    pid_t scan = startProgram({KRZPAP_PROGRAM, "--log", logPath, "scan"}, env, out, err);
    // The sweep has begun; its wait for ARP answers alone lasts two seconds.
    bool sweeping = waitForText(logPath, "KRZPHttpScanner::scan()", 60000);
    kill(scan, SIGINT);
    int status = waitProgram(scan);
    ASSERT_TRUE(sweeping) << fileText(err);
    EXPECT_EQ(kCancelled, status) << fileText(err);
    EXPECT_NE(std::string::npos, fileText(err).find("the scan was cancelled")) << fileText(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
}

TEST_F(KrzpapTest, HelpOnEveryLevelSucceeds) {
    for (std::string level :
         {"", "scan", "show", "configure", "find", "defaults", "fetch", "forms", "lab"}) {
        std::vector<std::string> args;
        if (!level.empty())
            args.push_back(level);
        args.push_back("--help");
        Outcome help = krzpap(args);
        EXPECT_EQ(kOk, help.status) << level << ": " << describe(help);
        EXPECT_NE(std::string::npos, help.out.find("Usage")) << level << ": " << help.out;
    }
    EXPECT_FALSE(logWritten());
}

TEST_F(KrzpapTest, LabSubcommandRunsALabThatOtherCommandsJoin) {
    std::vector<std::string> env = cleanEnvironment();
    Background ownLab({KRZPAP_PROGRAM, "lab", "--generated", "3"}, env);
    const std::string prefix = "KRZ_LAB=";
    ASSERT_EQ(0u, ownLab.firstLine().rfind(prefix, 0)) << ownLab.firstLine();
    Outcome scan = runProgram({KRZPAP_PROGRAM, "--log", logPath, "--lab",
                               ownLab.firstLine().substr(prefix.size()), "--json", "scan"},
                              env);
    EXPECT_EQ(kOk, scan.status) << describe(scan);
    EXPECT_FALSE(parsed(scan)["devices"].empty());
    EXPECT_EQ(0, ownLab.stop());
}

}  // namespace
