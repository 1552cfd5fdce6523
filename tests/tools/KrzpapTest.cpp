// The krzpap program as a user runs it: each test starts a krzlab process, points krzpap at it
// through KRZ_LAB, and checks output, exit status and the devices' state through the lab's
// control protocol.
#include "ToolsTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

using namespace krztest;
using nlohmann::json;

namespace {

using Outcome = ProgramOutcome;

const std::string kAcme = "192.168.77.10";
const std::string kBorealis = "192.168.77.20";
const std::string kCorvidOpen = "192.168.77.30";
const std::string kCorvid = "192.168.77.31";
const std::string kPrinter = "192.168.77.40";
const std::string kNoWeb = "192.168.77.50";
const std::string kNobody = "192.168.77.99";
const std::string kInstalled = KRZPAP_PREFIX;

// Exit codes as documented for scripts.
enum { kOk, kError, kUsage, kNothingFound, kLoginFailed, kUnreachable, kCancelled };

class KrzpapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lab = std::make_unique<LabProcess>();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch = ::testing::TempDir() + "krzpap_" + std::to_string(getpid()) + "_" + info->name();
        logPath = scratch + ".log";
        std::remove(logPath.c_str());
        // The user's state folder (default log, built-in lab's state) is the test's own.
        stateHome = scratch + ".state";
        runProgram({"/bin/rm", "-rf", stateHome}, {});
    }
    void TearDown() override {
        // Every JSON document the test read, against the published schema in one run.
        if (!documents.empty()) {
            std::vector<std::string> argv = {"/usr/bin/jsonschema"};
            for (const std::string& path : documents)
                argv.insert(argv.end(), {"-i", path});
            argv.push_back(KRZPAP_SCHEMA);
            Outcome valid = runProgram(argv, {});
            EXPECT_EQ(0, valid.status) << valid.out << valid.err;
        }
        if (!HasFailure()) {
            for (const std::string& path : documents)
                std::remove(path.c_str());
            std::remove(logPath.c_str());
            runProgram({"/bin/rm", "-rf", stateHome}, {});
        }
    }

    std::vector<std::string> environment(bool withLab = true) const {
        std::vector<std::string> env = cleanEnvironment();
        env.push_back("XDG_STATE_HOME=" + stateHome);
        if (withLab)
            env.push_back("KRZ_LAB=" + lab->address());
        return env;
    }

    // The program with the test's log unless the arguments name one.
    std::vector<std::string> command(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {KRZPAP_PROGRAM};
        if (std::find(args.begin(), args.end(), "--log") == args.end())
            argv.insert(argv.end(), {"--log", logPath});
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    Outcome krzpap(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
        return runProgram(command(args), environment(), input);
    }
    // Commands that wait out the library's fixed sweep or search times, run at once.
    std::vector<Outcome> together(const std::vector<std::vector<std::string>>& commands) {
        std::vector<int> pids;
        for (size_t i = 0; i < commands.size(); ++i) {
            std::string out = scratch + "." + std::to_string(i);
            pids.push_back(
                startProgram(command(commands[i]), environment(), out + ".out", out + ".err"));
        }
        std::vector<Outcome> outcomes;
        for (size_t i = 0; i < commands.size(); ++i) {
            std::string out = scratch + "." + std::to_string(i);
            outcomes.push_back(
                {waitProgram(pids[i]), fileText(out + ".out"), fileText(out + ".err")});
            std::remove((out + ".out").c_str());
            std::remove((out + ".err").c_str());
        }
        return outcomes;
    }
    // As a newcomer runs it: no log option, no lab named.
    Outcome plain(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {KRZPAP_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv, environment(false));
    }

    // The document; kept for the check against the published schema when the test ends.
    json parsed(const Outcome& outcome) {
        json document = json::parse(outcome.out, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << "not JSON: " << outcome.out;
        documents.push_back(scratch + "." + std::to_string(documents.size()) + ".json");
        std::ofstream(documents.back()) << outcome.out;
        EXPECT_EQ(outcome.status, document.value("exitCode", -1)) << outcome.out;
        return document;
    }
    json result(const Outcome& outcome) { return parsed(outcome)["result"]; }

    bool logWritten() const {
        unsigned mode = 0;
        long long size = 0;
        return krztest::fileModeAndSize(logPath, mode, size) && size > 0;
    }

    json devices() { return lab->control({{"op", "devices"}})["devices"]; }
    json wireless(const std::string& name) { return lab->device(name)["wireless"]; }

    std::unique_ptr<LabProcess> lab;
    std::string scratch;
    std::string logPath;
    std::string stateHome;
    std::vector<std::string> documents;
};

// A command line, its exit status, and what its output says.
struct CommandCase {
    std::vector<std::string> args;
    int status;
    std::string says;
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

    // Global options after the command; --all also lists the unrecognized printer and the host
    // without a web server; -I by name.
    std::vector<Outcome> scans = together(
        {{"scan"}, {"scan", "--json", "-q", "--all", "-I", "lab0"}, {"scan", "-I", "eth9"}});
    const Outcome& text = scans[0];
    ASSERT_EQ(kOk, text.status) << describe(text);
    for (const auto& [address, identity] : routers) {
        std::string line = lineStarting(text.out, address);
        EXPECT_NE(std::string::npos, line.find(std::get<0>(identity))) << line;
        EXPECT_NE(std::string::npos, line.find(" " + std::get<1>(identity))) << line;
        EXPECT_NE(std::string::npos, line.find(std::get<2>(identity))) << line;
    }
    EXPECT_EQ("", lineStarting(text.out, kPrinter));
    EXPECT_EQ("", lineStarting(text.out, kNoWeb));
    // The printer's web server answered too; no module knows it. Only the Borealis login page
    // names its firmware: that row shows it, the others "-".
    EXPECT_NE(std::string::npos, text.err.find("5 host(s) answered, 4 recognized")) << text.err;
    EXPECT_NE(std::string::npos, text.out.find("FIRMWARE")) << text.out;
    std::string firmware = lab->device("borealis-1")["firmware"];
    EXPECT_NE(std::string::npos, lineStarting(text.out, kBorealis).find(" " + firmware))
        << text.out;
    std::string acme = lineStarting(text.out, kAcme);
    EXPECT_TRUE(acme.size() > 2 && acme.compare(acme.size() - 2, 2, " -") == 0) << text.out;

    const Outcome& js = scans[1];
    ASSERT_EQ(kOk, js.status) << describe(js);
    EXPECT_EQ("", js.err);
    json document = result(js);
    decltype(routers) listed;
    for (const json& d : document["devices"])
        if (d["recognized"] == true)
            listed[d["address"]] = {d["vendor"], d["model"], d["mac"]};
    EXPECT_EQ(routers, listed);
    ASSERT_EQ(routers.size() + 2, document["devices"].size());
    const json& printer = document["devices"][routers.size()];
    EXPECT_EQ(kPrinter, printer["address"]);
    EXPECT_EQ(false, printer["recognized"]);
    EXPECT_FALSE(printer.contains("arpOnly"));
    EXPECT_EQ(kNoWeb, document["devices"].back()["address"]);
    EXPECT_EQ(true, document["devices"].back()["arpOnly"]);
    EXPECT_EQ(5, document["answered"]);
    EXPECT_EQ(4, document["recognized"]);
    EXPECT_EQ(json{"lab0"}, document["adapters"]);

    const Outcome& unknown = scans[2];
    EXPECT_EQ(kUsage, unknown.status) << describe(unknown);
    EXPECT_NE(std::string::npos, unknown.err.find("lab0 (192.168.77.2)")) << unknown.err;
}

TEST_F(KrzpapTest, ShowReadsTheDeviceSettingsAndHidesSecrets) {
    const std::string key = wireless("acme-1")["key"];
    Outcome text = krzpap({"show", kAcme, "-p", "gatekeeper"});
    ASSERT_EQ(kOk, text.status) << describe(text);
    EXPECT_NE(std::string::npos, text.out.find("Acme AP-100 at " + kAcme)) << text.out;
    EXPECT_NE(std::string::npos, text.out.find(wireless("acme-1")["ssid"].get<std::string>()));
    EXPECT_EQ(std::string::npos, text.out.find(key)) << text.out;
    Outcome shownKey = krzpap({"show", kAcme, "-p", "gatekeeper", "--show-secrets"});
    EXPECT_NE(std::string::npos, shownKey.out.find(key)) << shownKey.out;

    Outcome js = krzpap({"--json", "show", kBorealis, "--user", "root", "--password", "northwind"});
    ASSERT_EQ(kOk, js.status) << describe(js);
    EXPECT_EQ(std::string::npos, js.out.find("northwind"));
    json shown = result(js)["device"];
    json device = lab->device("borealis-1");
    EXPECT_EQ(kBorealis, shown["address"]);
    EXPECT_EQ("Borealis", shown["vendor"]);
    for (const char* field : {"mac", "model", "firmware"})
        EXPECT_EQ(device[field], shown[field]) << field;
    for (const char* field : {"ssid", "security", "encryption"})
        EXPECT_EQ(device["wireless"][field], shown[field]) << field;
    EXPECT_EQ(nullptr, shown["key"]);
    Outcome secret =
        krzpap({"--json", "--show-secrets", "show", kBorealis, "-u", "root", "-p", "northwind"});
    EXPECT_EQ(device["wireless"]["key"], result(secret)["device"]["key"]);
    // The rule texts come from the host's resource library.
    for (const char* rule : {"password", "ssid"})
        EXPECT_FALSE(shown["requirements"][rule].get<std::string>().empty()) << rule;

    // Without credentials the device's factory ones are tried: this one has no password.
    Outcome factory = krzpap({"--json", "show", kCorvidOpen});
    ASSERT_EQ(kOk, factory.status) << describe(factory);
    EXPECT_EQ(wireless("corvid-1")["ssid"], result(factory)["device"]["ssid"]);
}

TEST_F(KrzpapTest, ConfigureWritesConfirmsAndShowReadsBack) {
    Outcome text = krzpap({"configure", kAcme, "-p", "gatekeeper", "--ssid", "Lab Net",
                           "--security", "wpa2-psk", "--key", "a new passphrase"});
    ASSERT_EQ(kOk, text.status) << describe(text);
    for (const char* setting : {"ssid", "security", "encryption", "key"})
        EXPECT_NE(std::string::npos,
                  lineStarting(text.out, std::string("  ") + setting + ":").find("confirmed"))
            << setting << "\n"
            << text.out;
    EXPECT_EQ(std::string::npos, text.out.find("a new passphrase")) << text.out;
    json expected = {{"ssid", "Lab Net"},
                     {"security", "wpa2-psk"},
                     {"encryption", "aes"},
                     {"key", "a new passphrase"}};
    EXPECT_EQ(expected, wireless("acme-1"));
    Outcome shown = krzpap({"--json", "--show-secrets", "show", kAcme, "-p", "gatekeeper"});
    ASSERT_EQ(kOk, shown.status) << describe(shown);
    for (const auto& [field, value] : expected.items())
        EXPECT_EQ(value, result(shown)["device"][field]) << field;

    // A device that restarts after the change: the read-back waits for it.
    Outcome js = krzpap({"--json", "configure", kBorealis, "-p", "northwind", "--ssid", "Polar",
                         "--security", "wpa-wpa2-psk", "--key", "icecold-99"});
    ASSERT_EQ(kOk, js.status) << describe(js);
    json changed = result(js);
    EXPECT_EQ("Polar", changed["device"]["ssid"]);
    for (const json& change : changed["changes"])
        EXPECT_EQ(true, change["confirmed"]) << change.dump();
    EXPECT_EQ(nullptr, changed["device"]["key"]);
    EXPECT_EQ((json{{"ssid", "Polar"},
                    {"security", "wpa-wpa2-psk"},
                    {"encryption", "tkip-aes"},
                    {"key", "icecold-99"}}),
              wireless("borealis-1"));

    // A new password alone keeps the user name; the change is confirmed by a login with it.
    Outcome password = krzpap({"configure", kCorvid, "-p", "rookery", "--new-password", "Raven-2"});
    ASSERT_EQ(kOk, password.status) << describe(password);
    EXPECT_NE(std::string::npos, lineStarting(password.out, "  password:").find("confirmed"))
        << password.out;
    EXPECT_EQ(std::string::npos, password.out.find("Raven-2")) << password.out;
    EXPECT_EQ("Raven-2", lab->device("corvid-2")["password"]);
    EXPECT_EQ("admin", lab->device("corvid-2")["username"]);
    EXPECT_EQ(kLoginFailed, krzpap({"show", kCorvid, "-p", "rookery"}).status);
    EXPECT_EQ(kOk, krzpap({"show", kCorvid, "-p", "Raven-2"}).status);

    // A new user name alone keeps the password.
    Outcome user = krzpap({"configure", kAcme, "-p", "gatekeeper", "--new-user", "boss"});
    ASSERT_EQ(kOk, user.status) << describe(user);
    EXPECT_NE(std::string::npos, lineStarting(user.out, "  username:").find("boss  confirmed"));
    EXPECT_EQ("boss", lab->device("acme-1")["username"]);
    EXPECT_EQ("gatekeeper", lab->device("acme-1")["password"]);
}

TEST_F(KrzpapTest, FindLocatesADeviceAfterItsFactoryReset) {
    json reset = lab->control({{"op", "reset"}, {"name", "corvid-2"}});
    ASSERT_TRUE(reset.value("ok", false)) << reset.dump();
    const std::string moved = reset["device"]["address"];
    ASSERT_NE(kCorvid, moved);

    // Any separators; one MAC that nobody has makes the search incomplete.
    std::vector<Outcome> finds =
        together({{"find", "02:4b:5a:00:00:31"},
                  {"--json", "find", "02-4B-5A-00-00-31", "024b5a000010", "02:4B:5A:00:00:99"}});
    const Outcome& text = finds[0];
    ASSERT_EQ(kOk, text.status) << describe(text);
    EXPECT_NE(std::string::npos, lineStarting(text.out, "02:4B:5A:00:00:31").find(moved))
        << text.out;
    const Outcome& js = finds[1];
    EXPECT_EQ(kNothingFound, js.status) << describe(js);
    EXPECT_EQ((json{{{"mac", "02:4B:5A:00:00:31"}, {"found", true}, {"address", moved}},
                    {{"mac", "02:4B:5A:00:00:10"}, {"found", true}, {"address", kAcme}},
                    {{"mac", "02:4B:5A:00:00:99"}, {"found", false}, {"address", nullptr}}}),
              result(js)["results"]);
}

TEST_F(KrzpapTest, DefaultsTellsFactoryNetworksFromChangedOnes) {
    json corvid = lab->device("corvid-1");
    Outcome factory = krzpap({"--json", "defaults", "--ssid", corvid["factory"]["wireless"]["ssid"],
                              "--bssid", corvid["mac"]});
    ASSERT_EQ(kOk, factory.status) << describe(factory);
    EXPECT_EQ(true, result(factory)["factoryDefaults"]);
    EXPECT_GT(result(factory)["verdict"].get<int>(), 0);

    Outcome changed = krzpap({"defaults", "--ssid", "Nest", "--bssid", "02:4B:5A:00:00:31", "--rsn",
                              "wpa2", "--channel", "36"});
    ASSERT_EQ(kOk, changed.status) << describe(changed);
    EXPECT_EQ(std::string::npos, changed.out.find("still at its factory defaults")) << changed.out;
}

TEST_F(KrzpapTest, FetchAndFormsShowWhatTheLibraryReads) {
    Outcome denied = krzpap({"fetch", kAcme, "/"});
    ASSERT_EQ(kOk, denied.status) << describe(denied);
    EXPECT_EQ(0u, denied.out.rfind("HTTP/1.1 401", 0)) << denied.out;

    // A URL as curl takes it, with the status code apart in JSON.
    Outcome page = krzpap({"--json", "fetch", "http://" + kAcme + ":80/wireless.htm", "-u", "admin",
                           "-p", "gatekeeper"});
    ASSERT_EQ(kOk, page.status) << describe(page);
    json reply = result(page);
    EXPECT_EQ(200, reply["status"]);
    const std::string saved = scratch + ".html";
    std::ofstream(saved, std::ios::binary) << reply["body"].get<std::string>();

    const std::string ssid = wireless("acme-1")["ssid"];
    Outcome text = krzpap({"forms", saved});
    ASSERT_EQ(kOk, text.status) << describe(text);
    EXPECT_NE(std::string::npos, text.out.find("\n  ssid=" + ssid + "\n")) << text.out;

    Outcome js = krzpap({"--json", "forms", "-"}, saved);
    ASSERT_EQ(kOk, js.status) << describe(js);
    json forms = result(js)["forms"];
    ASSERT_FALSE(forms.empty());
    json fields = forms[0]["fields"];
    EXPECT_NE(fields.end(),
              std::find(fields.begin(), fields.end(), json{{"name", "ssid"}, {"value", ssid}}))
        << fields.dump();

    // A page without forms has none; a binary file is no page.
    std::ofstream(saved, std::ios::binary) << "<html><body><p>Status: fine</p></body></html>";
    Outcome none = krzpap({"--json", "forms", saved});
    EXPECT_EQ(json::array(), result(none)["forms"]);
    EXPECT_EQ("No form fields on this page.\n", krzpap({"forms", saved}).out);
    std::ofstream(saved, std::ios::binary) << std::string(
        "\x7f"
        "ELF\0\0\0<form>",
        12);
    EXPECT_EQ(kUsage, krzpap({"forms", saved}).status);
    std::remove(saved.c_str());

    // A form posted, and the session cookie carried.
    Outcome login = krzpap(
        {"fetch", kBorealis, "/login.cgi", "--form", "uname=root", "--form", "upass=northwind"});
    ASSERT_EQ(kOk, login.status) << describe(login);
    const std::string header = "Set-Cookie: ";
    size_t at = login.out.find(header);
    ASSERT_NE(std::string::npos, at) << login.out;
    at += header.size();
    const std::string cookie = login.out.substr(at, login.out.find_first_of(";\r\n", at) - at);

    std::string setting = "var wlanSsid = '" + wireless("borealis-1")["ssid"].get<std::string>();
    setting += "'";
    Outcome settings = krzpap({"fetch", kBorealis, "/wireless.html", "--cookie", cookie});
    ASSERT_EQ(kOk, settings.status) << describe(settings);
    EXPECT_NE(std::string::npos, settings.out.find(setting)) << settings.out;
    Outcome anonymous = krzpap({"fetch", kBorealis, "/wireless.html"});
    EXPECT_EQ(std::string::npos, anonymous.out.find(setting)) << anonymous.out;
}

// Every failure a user meets: its exit code, a sentence naming the cause (on stderr and in the
// JSON document), and none of the library's internals (source units, lines, system error numbers).
TEST_F(KrzpapTest, FormsAsBrowserShowWhatABrowserPosts) {
    const std::string saved = scratch + ".html";
    std::ofstream(saved, std::ios::binary)
        << "<form action=/apply method=post><!--wifi--><input name=ssid value=home>"
           "<input type=password name=key value=s3cret><input type=checkbox name=wps checked>"
           "<input name=off value=1 disabled><input type=submit name=apply value=Apply>"
           "<input type=submit name=restore value=Restore></form>";
    const json ssid = {{"name", "ssid"}, {"value", "home"}, {"type", "text"}};
    const json wps = {{"name", "wps"}, {"value", "on"}, {"type", "checkbox"}};

    // No button unless one is pressed; a password's value only with --show-secrets.
    Outcome plain = krzpap({"--json", "forms", "--as-browser", saved});
    ASSERT_EQ(kOk, plain.status) << describe(plain);
    EXPECT_EQ((json{ssid, {{"name", "key"}, {"value", nullptr}, {"type", "password"}}, wps}),
              result(plain)["forms"][0]["fields"]);
    Outcome pressed =
        krzpap({"--json", "--show-secrets", "forms", "--as-browser", "--submit", "restore", saved});
    ASSERT_EQ(kOk, pressed.status) << describe(pressed);
    EXPECT_EQ((json{ssid,
                    {{"name", "key"}, {"value", "s3cret"}, {"type", "password"}},
                    wps,
                    {{"name", "restore"}, {"value", "Restore"}, {"type", "submit"}}}),
              result(pressed)["forms"][0]["fields"]);
    Outcome text = krzpap({"forms", "--as-browser", saved});
    EXPECT_NE(std::string::npos, text.out.find("\n  wps=on  (checkbox)\n")) << text.out;

    // A button the page lacks, or --submit without --as-browser, is a usage error.
    EXPECT_EQ(kUsage, krzpap({"forms", "--as-browser", "--submit", "finish", saved}).status);
    EXPECT_EQ(kUsage, krzpap({"forms", "--submit", "apply", saved}).status);
    std::remove(saved.c_str());
}

TEST_F(KrzpapTest, FailuresAreSentencesWithTrueVerdicts) {
    // Meanwhile a network where nothing answers is scanned: nothing found, not unreachable.
    LabProcess quiet;
    const json quietDevices = quiet.control({{"op", "devices"}})["devices"];
    for (const json& d : quietDevices)
        quiet.control({{"op", "fault"}, {"name", d["name"]}, {"fault", "down"}, {"param", 0}});
    std::vector<std::string> quietEnvironment = environment(false);
    quietEnvironment.push_back("KRZ_LAB=" + quiet.address());
    const std::string quietScan = scratch + ".quiet";
    int scan = startProgram(command({"--log", quietScan + ".log", "--json", "scan"}),
                            quietEnvironment, quietScan + ".out", quietScan + ".err");

    lab->control({{"op", "fault"}, {"name", "corvid-2"}, {"fault", "malformed"}, {"param", 0}});
    const json before = devices();
    auto expectFailures = [&](const std::vector<CommandCase>& cases) {
        for (const CommandCase& c : cases) {
            SCOPED_TRACE(::testing::PrintToString(c.args));
            std::vector<std::string> withJson = c.args;
            withJson.push_back("--json");
            Outcome o = krzpap(withJson);
            EXPECT_EQ(c.status, o.status) << describe(o);
            EXPECT_NE(std::string::npos, o.err.find("krzpap: ")) << o.err;
            EXPECT_NE(std::string::npos, o.err.find(c.says)) << o.err;
            for (const char* internal : {"line ", "KRZP", "xception", "1006", "code "})
                EXPECT_EQ(std::string::npos, o.err.find(internal)) << o.err;
            json error = parsed(o)["error"];
            if (c.status != kNothingFound) {
                EXPECT_NE(std::string::npos, error.value("message", std::string()).find(c.says));
            }
        }
    };
    const std::string mac = "02:4B:5A:00:00:30";
    const std::vector<std::string> acme = {"configure", kAcme, "-p", "gatekeeper"};
    auto configure = [&](std::vector<std::string> more) {
        more.insert(more.begin(), acme.begin(), acme.end());
        return more;
    };
    // Bad input: refused before the library is even set up.
    expectFailures({
        {{"show", "192.168.77"}, kUsage, "not a device address"},
        {{"configure", "10.0.0.300", "--ssid", "x"}, kUsage, "not a device address"},
        {{"find", "02:4B:5A:00:00"}, kUsage, "not a MAC address"},
        {{"defaults", "--ssid", "corvid", "--bssid", "corvid"}, kUsage, "not a MAC address"},
        {{"defaults", "--ssid", std::string(33, 'x'), "--bssid", mac}, kUsage, "at most 32 bytes"},
        {{"defaults", "--ssid", "x", "--bssid", mac, "--rsn", "WPA3"}, kUsage, "WPA3"},
        {{"defaults", "--ssid", "x", "--bssid", mac, "--channel", "99"}, kUsage, "channel 99"},
        {{"defaults", "--ssid", "x", "--bssid", mac, "--channel", "-3"}, kUsage, "channel -3"},
        {configure({"--ssid", std::string(33, 's')}), kUsage, "the SSID must be 1 to 32 bytes"},
        {configure({"--ssid", ""}), kUsage, "the SSID must be 1 to 32 bytes"},
        {configure({"--ssid", "tab\there"}), kUsage,
         "the SSID \"tab\there\" holds a character that is not allowed: The network name"},
        {configure({"--new-user", "admin", "--new-password", "a:b"}), kUsage,
         "the new password holds a character that is not allowed: The password may contain"},
        {configure({"--new-user", "ad min", "--new-password", "ok"}), kUsage,
         "the new user name holds a character that is not allowed: The user name may contain"},
        {configure({"--security", "wpa2-psk", "--key", "short"}), kUsage, "a WPA passphrase"},
        {configure({"--security", "wep", "--key", "abc"}), kUsage, "a WEP key is"},
        {configure({"--security", "none", "--key", "abc"}), kUsage, "none takes no key"},
        {configure({"--key", "longenough"}), kUsage, "--key needs --security"},
        {configure({"--security", "wpa2-psk"}), kUsage, "needs --key"},
        {configure({"--security", "wep", "--key", "abcde", "--encryption", "aes"}), kUsage,
         "cannot use encryption aes"},
        {configure({"--security", "wep", "--key", "abcde", "--encryption", "wep128"}), kUsage,
         "a wep128 key is"},
        {configure({"--ssid", "x", "--encryption", "aes"}), kUsage, "--encryption needs"},
        {acme, kUsage, "nothing to change"},
        {{"fetch", kAcme, "wireless.htm"}, kUsage, "path must start with '/'"},
        {{"fetch", "https://" + kAcme + "/"}, kUsage, "plain HTTP only"},
        {{"fetch", kAcme, "/", "--multipart"}, kUsage, "--multipart needs"},
        {{"fetch", kAcme, "/", "--form", "novalue"}, kUsage, "a form field is name=value"},
        {{"bogus"}, kUsage, "unknown command \"bogus\"; the commands are: scan, show"},
        {{}, kUsage, "give a command"},
        {{"scan", "--bogus"}, kUsage, "--bogus"},
        {{"show"}, kUsage, "address is required"},
        {{"configure", kAcme, "--security", "wpa3"}, kUsage, "wpa3"},
    });
    EXPECT_FALSE(logWritten());
    expectFailures({
        // Allowed in general, but not by these devices' own rules.
        {configure({"--ssid", "Fine", "--new-user", "ad-min", "--new-password", "okpass1"}), kUsage,
         "the new user name holds a character"},
        {{"configure", kCorvidOpen, "--new-password", "a&b12345", "--ssid", "Fine"},
         kUsage,
         "the new password holds a character"},
        {{"configure", kCorvidOpen, "--new-user", "bob"}, kUsage, "has no administrator user name"},
        {{"show", kAcme, "-p", "letmein"}, kLoginFailed, "refused the credentials"},
        {{"show", kNobody}, kUnreachable, "nothing answers at " + kNobody},
        {{"show", kNoWeb}, kUnreachable, "no web server answers"},
        {{"fetch", kNoWeb, "/"}, kUnreachable, "refuses connections"},
        {{"show", kPrinter}, kNothingFound, "no module recognizes"},
        {{"show", kCorvid}, kNothingFound, "no module recognizes"},
        {{"--lab", "127.0.0.1:1", "show", kAcme}, kUnreachable, "no lab answers at 127.0.0.1:1"},
        {{"--modules", "nosuch.dll", "scan"}, kError, "nosuch.dll: no such file"},
        {{"--log", "/proc/no/such.log", "scan"}, kUsage, "cannot write the log file"},
    });
    EXPECT_EQ(before, devices());

    Outcome silence{waitProgram(scan), fileText(quietScan + ".out"), fileText(quietScan + ".err")};
    for (const char* file : {".log", ".out", ".err"})
        std::remove((quietScan + file).c_str());
    EXPECT_EQ(kNothingFound, silence.status) << describe(silence);
    EXPECT_TRUE(result(silence)["devices"].empty());
    EXPECT_NE(std::string::npos, silence.err.find("nothing answered on the network"))
        << silence.err;
}

// Ctrl-C while the scan waits for a silent device: the library's cancel ends the sweep (which
// then drops its results), yet what was recognized until then is printed, and the exit is 6.
TEST_F(KrzpapTest, CtrlCEndsTheScanAndKeepsWhatWasFound) {
    lab->control({{"op", "fault"}, {"name", "printer-1"}, {"fault", "silent"}, {"param", 0}});
    const std::string out = scratch + ".out";
    const std::string err = scratch + ".err";
    int pid =
        startProgram({KRZPAP_PROGRAM, "--log", logPath, "--json", "scan"}, environment(), out, err);
    // The routers answer within tens of milliseconds of the last probe, the printer never.
    bool reached = waitForText(logPath, "Probed ", 60000);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    interruptProgram(pid);
    int status = waitProgram(pid);
    ASSERT_TRUE(reached) << fileText(err);
    EXPECT_EQ(kCancelled, status) << fileText(err);
    json document = parsed(Outcome{status, fileText(out), fileText(err)});
    EXPECT_EQ(true, document["interrupted"]);
    EXPECT_EQ(4u, document["result"]["devices"].size()) << document.dump();
    std::remove(out.c_str());
    std::remove(err.c_str());
}

TEST_F(KrzpapTest, HelpVersionAndOptionsEverywhere) {
    const std::vector<CommandCase> cases = {
        {{"--help"}, kOk, "Usage: krzpap"},
        {{"--version"}, kOk, "krzpap 1.0.0"},
        {{"help"}, kOk, "Subcommands:"},
        {{"help", "configure"}, kOk, "--new-password"},
        {{"scan", "--help"}, kOk, "Global options, before or after the command"},
        {{"lab", "--help"}, kOk, "--generated N"},
        {{"help", "lab"}, kOk, "--generated N"},
    };
    for (const CommandCase& c : cases) {
        Outcome help = krzpap(c.args);
        EXPECT_EQ(c.status, help.status) << describe(help);
        EXPECT_NE(std::string::npos, help.out.find(c.says)) << help.out;
    }
    EXPECT_FALSE(logWritten());
}

// What the package puts beside the program: compressed manual pages, bash completion, the JSON
// schema; and a newcomer's first steps with no setting at all (module, lab library and lab program
// found beside the program; log and lab state in the user's state folder, readable by the user
// alone).
TEST_F(KrzpapTest, TheInstalledProgramWorksWithNoSetting) {
    for (const char* file :
         {"/share/man/man1/krzpap.1.gz", "/share/man/man1/krzlab.1.gz",
          "/share/bash-completion/completions/krzpap", "/share/krzpap/krzpap-output.schema.json"})
        EXPECT_FALSE(fileText(kInstalled + file).empty()) << file;
    Outcome completion = runProgram(
        {"/bin/bash", "-c",
         "_init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; "
         "words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; }; source " +
             kInstalled +
             "/share/bash-completion/completions/krzpap; COMP_WORDS=(krzpap con); COMP_CWORD=1; "
             "_krzpap; echo ${COMPREPLY[*]}"},
        {});
    EXPECT_EQ("configure\n", completion.out) << completion.err;

    // The built-in lab keeps what configure changed, until 'krzpap lab reset'.
    Outcome changed = plain({"configure", kAcme, "-p", "gatekeeper", "--ssid", "Changed"});
    ASSERT_EQ(kOk, changed.status) << describe(changed);
    Outcome shown = plain({"show", kAcme, "-p", "gatekeeper"});
    EXPECT_NE(std::string::npos, shown.out.find("Acme AP-100 at " + kAcme)) << describe(shown);
    EXPECT_NE(std::string::npos, shown.out.find("Changed")) << shown.out;
    ASSERT_EQ(kOk, plain({"lab", "reset"}).status);
    EXPECT_EQ(std::string::npos, plain({"show", kAcme, "-p", "gatekeeper"}).out.find("Changed"));

    const std::string folder = stateHome + "/krzpap/";
    for (const char* file : {"krzpap.log", "lab.json"}) {
        unsigned mode = 0;
        long long size = 0;
        ASSERT_TRUE(krztest::fileModeAndSize(folder + file, mode, size)) << file;
        EXPECT_EQ(0600u, mode & 0777u) << file;
    }
    // Informative, not a dump of every byte (which would hold the passwords).
    EXPECT_EQ(std::string::npos, fileText(folder + "krzpap.log").find("gatekeeper"));
}

TEST_F(KrzpapTest, LabSubcommandRunsALabThatOtherCommandsJoin) {
    BackgroundProgram ownLab({KRZPAP_PROGRAM, "lab", "--generated", "3"}, environment(false));
    const std::string prefix = "KRZ_LAB=";
    ASSERT_EQ(0u, ownLab.firstLine().rfind(prefix, 0)) << ownLab.firstLine();
    const std::string address = ownLab.firstLine().substr(prefix.size());
    json first = json::parse(runProgram({KRZLAB_PROGRAM, "ctl", address, "devices"}, {}).out);
    const std::string joined = first["devices"][0]["address"];
    Outcome page = plain({"--log", logPath, "--lab", address, "--json", "fetch", joined});
    EXPECT_EQ(kOk, page.status) << describe(page);
    EXPECT_TRUE(result(page)["status"].is_number()) << page.out;

    // The lab tool's own errors and answers: sentences, valid choices, no secrets.
    const std::vector<CommandCase> cases = {
        {{"ctl", address, "fault"}, kUsage, "'fault' needs a device name"},
        {{"ctl", address, "fault", "acme-1", "bogus"}, 1, "the faults are: none, down"},
        {{"ctl", address, "stop", "nobody"}, 1, "no device \"nobody\""},
        {{"--generated", "many"}, kUsage, "whole number"},
    };
    for (const CommandCase& c : cases) {
        std::vector<std::string> argv = {KRZLAB_PROGRAM};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Outcome o = runProgram(argv, environment(false));
        EXPECT_EQ(c.status, o.status) << describe(o);
        EXPECT_NE(std::string::npos, o.err.find(c.says)) << o.err;
        EXPECT_EQ(std::string::npos, o.err.find("json.exception")) << o.err;
    }
    Outcome reset = runProgram({KRZLAB_PROGRAM, "ctl", address, "reset", "acme-1"}, {});
    EXPECT_EQ(kOk, reset.status) << describe(reset);
    json device = json::parse(reset.out)["device"];
    EXPECT_EQ(nullptr, device["password"]);
    EXPECT_EQ(nullptr, device["wireless"]["key"]);
    EXPECT_EQ(0, ownLab.stop());
}

}  // namespace
