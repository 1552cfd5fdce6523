// The description module's parts: the loader's verdict on bad descriptions, the loading of
// folders, and each kind of description field driving the generic configurator and recognizer
// against the lab's devices (a field the page lacks is an error at first use).
#include "E2eTestSupport.h"

#include "KRZPDescribedConfigurator.h"
#include "KRZPDescribedFamily.h"
#include "KRZPDescription.h"
#include "html/KRZPScriptValues.h"

#include "krznetlib/KRZNetworkBackend.h"
#include "lab/LabDevice.h"
#include "lab/net/LabBackend.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace krztest;
using nlohmann::json;

namespace {

std::string familyText(const std::string& name) {
    return fileText(std::string(KRZ_DESCRIPTIONS_SOURCE) + "/" + name + ".json");
}

// `family`'s description with the value at each pointer replaced (null: removed).
std::string edited(const std::string& family,
                   const std::vector<std::pair<std::string, json>>& edits) {
    json document = json::parse(familyText(family));
    for (const auto& e : edits) {
        json::json_pointer where(e.first);
        if (e.second.is_null())
            document[where.parent_pointer()].erase(where.back());
        else
            document[where] = e.second;
    }
    return document.dump();
}

// The pointer and message of the error `text` is refused with; empty when it loads.
std::pair<std::string, std::string> verdict(const std::string& text) {
    try {
        krzdesc::parseDescription(text, "test.json");
        return {};
    } catch (const krzdesc::DescriptionError& e) {
        return {e.pointer(), e.what()};
    }
}

TEST(DescriptionLoader, EachBadDescriptionIsRefusedWithItsPlace) {
    struct Case {
        const char* family;
        const char* pointer;  // edited, and where the error must be (unless `where` says)
        json value;           // null: the key removed
        const char* where;
        const char* message;
    };
    const Case cases[] = {
        {"acme", "/colour", "red", "/colour", "unknown key"},
        {"acme", "/settings/ssid/feild", "ssid", "/settings/ssid/feild", "unknown key"},
        {"acme", "/models", "AP-100", "/models", "must be an array, not a string"},
        {"acme", "/account/usesUsername", "yes", "/account/usesUsername", "must be true or false"},
        {"acme", "/account/password/max", 15.5, "/account/password/max", "must be a whole number"},
        {"acme", "/recognize/model/0/header", "realm=(", "/recognize/model/0/header",
         "never closed"},
        {"acme", "/recognize/model/1/text", "<title>", "/recognize/model/1/text", "no group"},
        {"acme", "/recognize/model/1/text", "(Acme) \\1 (.*)", "/recognize/model/1/text",
         "back-references are not supported"},
        {"corvid", "/recognize/match/0", json::object(), "/recognize/match/0", "exactly one"},
        {"acme", "/settings/firmware/pattern", "[a-", "/settings/firmware/pattern", "never closed"},
        {"acme", "/security/wpa3", "5", "/security/wpa3", "unknown mode"},
        {"acme", "/encryption/aes", "tkip", "/encryption/", "two modes"},
        {"acme", "/settings/ssid", nullptr, "/settings/ssid", "missing"},
        {"acme", "/settings/ssid/page", "wireless.htm", "/settings/ssid/page", "starts with '/'"},
        {"acme", "/settings/ssid/field", nullptr, "/settings/ssid", "needs \"field\""},
        {"acme", "/settings/key/pattern", "(x)", "/settings/key/pattern", "needs a \"field\""},
        {"acme", "/settings/ssid/member", "ssid", "/settings/ssid/member", "needs \"script\""},
        {"acme", "/settings/ssid/json", "wireless/ssid", "/settings/ssid/json", "JSON pointer"},
        {"acme", "/settings/ssid/json", "", "/settings/ssid/json", "must not be empty"},
        {"merrowin", "/settings/key/element", "wl_key", "/settings/key", "takes one of"},
        {"acme",
         "/settings/keyFields",
         {{"wpa3", "k"}},
         "/settings/keyFields/wpa3",
         "unknown security mode"},
        {"acme", "/changes/0/method", "put", "/changes/0/method", "must be \"get\""},
        {"acme", "/changes/1/fields/admin_user", "{usr}", "/changes/1/fields/admin_user",
         "unknown value"},
        {"acme", "/changes/0/change", "credentials", "/changes/1/change", "second write"},
        {"acme", "/changes/1/fields/admin_user", "{ssid}", "/changes/1/fields/admin_user",
         "unknown value {ssid} (known in a credentials write"},
        {"acme",
         "/changes/0/fields",
         {{"auth", "{security}/{cipher}"}},
         "/changes/0/fields/auth",
         "unknown value {cipher}"},
        {"wyrdell", "/changes/0/fields/wl_ssid", "{ssid", "/changes/0/fields/wl_ssid",
         "unknown value {ssid"},
        // settings spread over the forms of several wireless writes
        {"tolvane", "/changes/1/form", nullptr, "/changes/1", "needs \"form\""},
        {"tolvane", "/settings/key/page", "/admin.htm", "/settings/key",
         "on the form of no wireless write"},
        {"tolvane",
         "/changes/1/form",
         {{"page", "/wlan_basic.htm"}, {"form", "basic"}},
         "/settings/ssid",
         "more than one wireless write"},
        {"tolvane", "/changes/0/form/name", "basic", "/changes/0/form/name", "unknown key"},
        {"acme", "/recognize/model/0/regex", "(x)", "/recognize/model/0/regex", "unknown key"},
        {"tolvane", "/changes/1/form/form", 1, "/settings/security",
         "on the form of no wireless write"},
        // a model told by a further page (a frame)
        {"acme", "/recognize/page", "/banner.htm", "/recognize", "needs \"match\""},
        {"corvid", "/recognize/page", "/banner.htm", "/recognize/page", "names its own page"},
        {"tolvane", "/recognize/page", "banner.htm", "/recognize/page", "starts with '/'"},
        {"acme", "/changes/0/answer", json::object(), "/changes/0/answer", "needs \"text\""},
        {"acme", "/recognize/model", nullptr, "/recognize", "exactly one of"},
        {"corvid", "/recognize/modelDigest/models/XYZ", "CV-30",
         "/recognize/modelDigest/models/XYZ", "32 lower-case"},
        {"corvid", "/recognize/match", nullptr, "/recognize", "needs \"match\""},
        {"acme", "/login/cookie", "SID", "/login/cookie", "only a form login"},
        {"borealis", "/login/user", nullptr, "/login/user", "missing"},
        {"acme", "/login/kind", "digest", "/login/kind", "must be \"basic\" or \"form\""},
        {"borealis", "/login/lockout/text", "", "/login/lockout/text", "empty"},
        {"borealis", "/login/lockout/minutes", 0, "/login/lockout/minutes", "from 1"},
        {"borealis", "/login/lockout/colour", "red", "/login/lockout/colour", "unknown key"},
        {"borealis", "/login/captcha", json::object(), "/login/captcha/text", "missing"},
        {"borealis", "/login/logout", "logout.cgi", "/login/logout", "starts with '/'"},
        {"acme", "/login/logout", "/logout.cgi", "/login/logout", "only a form login"},
        {"borealis", "/changes/1/answer/restart/minimumMs", -1,
         "/changes/1/answer/restart/minimumMs", "from 0 to 600000"},
        {"acme", "/factory/address", "192.168.300.1", "/factory/address", "not a dotted"},
        {"acme", "/account/password/min", 20, "/account/password/min", "above \"max\""},
        {"acme", "/account/password", nullptr, "/account", "\"max\" of at least 1"},
        {"acme", "/recognize/status", 99, "/recognize/status", "from 100 to 599"},
        // A draft is refused whole, with what is left to settle, even where it is otherwise fine.
        {"acme",
         "/draft",
         {{"guesses", {{{"pointer", "/vendor"}}}}, {"gaps", json::array()}},
         "/draft",
         "a draft with 1 mark left"},
        {"corvid",
         "/draft",
         {{"gaps", {{{"pointer", "/models/0"}}, {{"pointer", "/vendor"}}}}},
         "/draft",
         "a draft with 2 marks left"},
        {"borealis", "/draft", "not an object", "/draft", "a draft with 0 marks left"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.family) + c.pointer);
        auto got = verdict(edited(c.family, {{c.pointer, c.value}}));
        EXPECT_EQ(0u, got.first.find(c.where)) << got.first;
        EXPECT_NE(std::string::npos, got.second.find(c.message)) << got.second;
    }
    // Text that is not JSON, and JSON whose number no double holds, are refused as a whole.
    for (const char* text : {"{\"vendor\": ", "{\"vendor\": 1e999}"}) {
        auto notJson = verdict(text);
        EXPECT_EQ("", notJson.first) << text;
        EXPECT_NE(std::string::npos, notJson.second.find("not JSON")) << notJson.second;
    }
    // The shipped ones load as they are.
    for (const char* family : {"acme", "borealis", "corvid", "merrowin", "tolvane", "wyrdell"})
        EXPECT_EQ("", verdict(familyText(family)).first) << family;
    // Spread over two forms, each wireless write sets only the settings on its own form.
    auto tolvane = krzdesc::parseDescription(familyText("tolvane"), "tolvane.json");
    ASSERT_EQ(2u, tolvane->wirelessWrites());
    const krzdesc::Change& basic = tolvane->changes[0];
    const krzdesc::Change& security = tolvane->changes[1];
    EXPECT_TRUE(basic.writes(tolvane->ssidAt, 2));
    EXPECT_FALSE(basic.writes(tolvane->securityAt, 2));
    EXPECT_FALSE(basic.writes(*tolvane->keyAt, 2));
    EXPECT_FALSE(security.writes(tolvane->ssidAt, 2));
    EXPECT_TRUE(security.writes(tolvane->encryptionAt, 2));
    EXPECT_TRUE(security.writes(*tolvane->keyAt, 2));
    EXPECT_FALSE(tolvane->changes[2].writes(tolvane->ssidAt, 2));
}

// Each way a page's script holds a value, read in one pass, and what is not a value: a comparison,
// another variable, an unterminated literal, a member of another object, JSON that lacks it.
TEST(ScriptValues, EachShapeAndWhatThePageLacks) {
    const std::string page =
        "<script>var cfg = {'name': 'Q \\'quoted\\'', ssid :  \"Net, One\" , chan: 6};\n"
        "var other = {key: 'not this'};\nvar wlKey = 'k\\ney';\n"
        "if (f.wl_sec.value == '3') {}\nf.wl_enc.value = 'first';\nf.wl_enc.value= 'last';\n"
        "document.getElementById(\"wl_ch\").value = cfg.chan;\n"
        "document.getElementById('wl_key').value = wlKey;\n"
        "document.forms[0]['wl_ssid'].value = d.wireless.ssid;\n"
        "document.getElementById('wl_mode').value = mode();\n"
        "fetch('/wl.json');\nvar open = 'never closes";
    const std::string reply = R"({"wireless": {"ssid": "From JSON", "on": true, "list": [1]}})";
    const struct {
        const char* script;
        const char* member;
        const char* element;
        const char* json;
        const char* value;  // null: not on the page
    } reads[] = {
        {"cfg", "ssid", nullptr, nullptr, "Net, One"},
        {"cfg", "name", nullptr, nullptr, "Q 'quoted'"},
        {"cfg", "chan", nullptr, nullptr, "6"},
        {"cfg", "key", nullptr, nullptr, nullptr},
        {"other", "key", nullptr, nullptr, "not this"},
        {"wlKey", nullptr, nullptr, nullptr, "k\ney"},
        {"open", nullptr, nullptr, nullptr, nullptr},
        {"cfg", nullptr, nullptr, nullptr, nullptr},
        {nullptr, nullptr, "wl_enc", nullptr, "last"},
        {nullptr, nullptr, "wl_sec", nullptr, nullptr},
        {nullptr, nullptr, "wl_key", nullptr, nullptr},
        {nullptr, nullptr, nullptr, "/wireless/ssid", "From JSON"},
        {nullptr, nullptr, nullptr, "/wireless/on", "true"},
        {nullptr, nullptr, nullptr, "/wireless/list", nullptr},
        {nullptr, nullptr, nullptr, "/wireless/key", nullptr},
    };
    for (const auto& r : reads) {
        krzdesc::Location at;
        at.script = r.script ? r.script : "";
        at.member = r.member ? r.member : "";
        at.element = r.element ? r.element : "";
        at.json = r.json ? r.json : "";
        SCOPED_TRACE(at.script + "." + at.member + at.element + at.json);
        std::string value, why;
        bool found = at.readScripted(at.json.empty() ? page : reply, value, why);
        EXPECT_EQ(r.value != nullptr, found) << value;
        if (r.value)
            EXPECT_EQ(r.value, value);
        else
            EXPECT_FALSE(why.empty());
    }
    EXPECT_FALSE(krzdesc::scriptSets(page, "wl_sec"));  // only compared
    EXPECT_TRUE(krzdesc::scriptSets(page, "wl_ssid"));
    // What a browser's field holds once the script ran, the fetched JSON included.
    const struct {
        const char* field;
        krzscript::Filled filled;
        const char* value;
    } fields[] = {{"wl_enc", krzscript::Filled::Known, "last"},
                  {"wl_ch", krzscript::Filled::Known, "6"},
                  {"wl_key", krzscript::Filled::Known, "k\ney"},
                  {"wl_ssid", krzscript::Filled::Known, "From JSON"},
                  {"wl_mode", krzscript::Filled::Unknown, ""},
                  {"wl_sec", krzscript::Filled::Unscripted, ""}};
    for (const auto& f : fields) {
        SCOPED_TRACE(f.field);
        std::string value, fetched;
        auto filled = krzscript::filledValue(
            page, f.field,
            [&](const std::string& url) {
                fetched = url;
                return reply;
            },
            value);
        EXPECT_EQ(f.filled, filled);
        EXPECT_EQ(f.value, value);
        EXPECT_EQ(std::string(f.field) == "wl_ssid" ? "/wl.json" : "", fetched);
    }
}

// A folder with good, bad and other files, and a folder that is not there: the good ones load, in
// name order, and each problem is one report naming the file and the place.
TEST(DescriptionLoader, BadFilesAreReportedAndTheOthersStillLoad) {
    namespace fs = std::filesystem;
    fs::path folder = fs::path(::testing::TempDir()) / "krz_descriptions_load";
    fs::remove_all(folder);
    fs::create_directories(folder);
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(folder / name, std::ios::binary) << text;
    };
    write("a-corvid.json", familyText("corvid"));
    write("b-broken.json", edited("acme", {{"/settings/ssid/form", true}}));
    write("c-acme.json", familyText("acme"));
    write("d-empty.json", "");
    write("notes.txt", "not a description");
    std::vector<std::string> reports;
    auto loaded = krzdesc::loadDescriptions(
        krzdesc::splitFolders(";" + folder.string() + ";;" + (folder / "missing").string() + ";"),
        [&](const std::string& line) { reports.push_back(line); });
    ASSERT_EQ(2u, loaded.size());
    EXPECT_EQ("Corvid", loaded[0]->vendor);
    EXPECT_EQ("Acme", loaded[1]->vendor);
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ((folder / "b-broken.json").string() +
                  ": /settings/ssid/form: must be a whole number, not true or false",
              reports[0]);
    EXPECT_EQ(0u, reports[1].find((folder / "d-empty.json").string() + ": /: not JSON"))
        << reports[1];
    EXPECT_EQ(0u, reports[2].find((folder / "missing").string() + ": ")) << reports[2];
    fs::remove_all(folder);
}

// The device's own rules for each value, as the configurator's validators apply them.
TEST(DescribedConfigurator, CharacterAndLengthRulesPerValue) {
    struct Case {
        std::vector<std::pair<std::string, json>> edits;
        const char* what;  // user, password, ssid
        std::string text;
        _KRZPStringValidatorCode want;
    };
    const Case cases[] = {
        {{}, "user", "admin", KRZP_SV_OK},
        {{}, "user", "ad-min", KRZP_SV_BAD_CHARS},
        {{}, "user", std::string(16, 'a'), KRZP_SV_TOO_LONG},
        {{}, "password", std::string(15, '%'), KRZP_SV_OK},
        {{}, "password", "", KRZP_SV_TOO_SHORT},
        {{{"/account/password/chars", "abc"}}, "password", "abcabc", KRZP_SV_OK},
        {{{"/account/password/chars", "abc"}}, "password", "abcd", KRZP_SV_BAD_CHARS},
        {{{"/account/password/chars", "restrictive"}}, "password", "a&b", KRZP_SV_BAD_CHARS},
        {{{"/account/user", {{"max", 4}}}}, "user", "ad:mi", KRZP_SV_BAD_CHARS},
        {{{"/account/user", {{"max", 4}}}}, "user", "a-b!", KRZP_SV_OK},
        {{}, "ssid", "Any name & more", KRZP_SV_OK},
        {{{"/account/ssid", {{"max", 8}, {"chars", "restrictive"}}}}, "ssid", "Lab 1", KRZP_SV_OK},
        {{{"/account/ssid", {{"max", 8}}}}, "ssid", "Lab 12345", KRZP_SV_TOO_LONG},
        {{{"/account/ssid", {{"chars", "restrictive"}}}}, "ssid", "Lab&Co", KRZP_SV_BAD_CHARS},
        {{{"/account/ssid", {{"min", 4}}}}, "ssid", "Lab", KRZP_SV_TOO_SHORT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " \"" + c.text + "\"");
        auto d = krzdesc::parseDescription(edited("acme", c.edits), "test.json");
        KRZPDescribedConfigurator conf(d, "AP-100", std::vector<KRZMacAddress>(), "", "");
        std::string what = c.what;
        _KRZPStringValidatorCode got = what == "user"       ? conf.validateUsername(c.text)
                                       : what == "password" ? conf.validatePassword(c.text)
                                                            : conf.validateSsid(c.text);
        EXPECT_EQ(c.want, got);
    }
}

// The lab's devices and two families that exist only as recordings, played beside them: each
// with its place, credentials and what it holds.
struct Device {
    const char* family;
    const char* model;
    const char* address;
    const char* user;
    const char* password;
    const char* ssid;
    const char* key;
    const char* firmware;
};
const Device kDevices[] = {
    {"acme", "AP-100", "192.168.77.10", "admin", "gatekeeper", "AcmeOffice",
     "correct horse battery", "1.4.2 build 3107"},
    {"borealis", "BR-5400", "192.168.77.20", "root", "northwind", "Aurora", "polarlights42",
     "2.0.7"},
    {"tolvane", "TV-820", "192.168.77.70", "admin", "PW-0001", "Lantern", "KEY-0001", "3.2.1"},
    {"wyrdell", "WR-3", "192.168.77.60", "admin", "PW-0001", "Harbour Lights", "KEY-0001",
     "0.9.14"},
};
const Device& device(const std::string& family) {
    for (const Device& d : kDevices)
        if (family == d.family)
            return d;
    throw std::invalid_argument(family);
}

// Each kind of location read from the lab's devices, and a description that does not fit the
// device's page: an error at first use (code 7) whose log line names the description, the page
// and the missing field.
class DescribedDevice : public LabTest {
  protected:
    void SetUp() override {
        LabTest::SetUp();
        startPlayedLab();
    }
    // A fresh lab: the default one with the two recordings played beside its devices.
    void startPlayedLab() {
        json described = krzlab::LabDescription::defaultLab().toJson();
        for (const char* played : {"tolvane", "wyrdell"})
            described["devices"].push_back(
                {{"name", std::string(played) + "-1"},
                 {"recording", std::string(KRZ_DESCRIPTIONS_SOURCE) + "/" + played + "/" + played +
                                   "-1.recording.json"}});
        startLab(krzlab::LabDescription::fromJson(described));
    }
    boost::shared_ptr<KRZPDescribedConfigurator> open(
        const std::string& family, const std::string& file,
        const std::vector<std::pair<std::string, json>>& edits, const char* password = nullptr) {
        auto d = krzdesc::parseDescription(edited(family, edits), file);
        const Device& at = device(family);
        auto conf = boost::make_shared<KRZPDescribedConfigurator>(
            d, at.model, std::vector<KRZMacAddress>(), at.user, password ? password : at.password);
        conf->setAddr(inAddr(at.address));
        return conf;
    }
};

TEST_F(DescribedDevice, EachLocationKindAndWhatThePageLacks) {
    struct Case {
        const char* family;
        std::vector<std::pair<std::string, json>> edits;
        const char* logged;  // null: reads the device's settings
    };
    const Case cases[] = {
        // form by name, by position; script literals; a pattern over the text
        {"acme", {}, nullptr},
        {"acme", {{"/settings/ssid/form", 0}}, nullptr},
        {"borealis", {}, nullptr},
        {"acme", {{"/settings/ssid/field", "essid"}}, "/wireless.htm: no field \"essid\""},
        {"acme", {{"/settings/ssid/form", "wl"}}, "/wireless.htm: no form \"wl\""},
        {"acme", {{"/settings/ssid/form", 3}}, "/wireless.htm: no form number 3"},
        {"acme",
         {{"/settings/firmware/pattern", "Serial ([0-9]+)"}},
         "/index.htm: no text matches \"Serial ([0-9]+)\""},
        {"acme", {{"/settings/security/page", "/security.htm"}}, "/security.htm: no form number 0"},
        // the key field of the mode the device is in
        {"acme",
         {{"/settings/keyFields", {{"wpa2-psk", "wpa2_key"}}}},
         "/wireless.htm: no field \"wpa2_key\""},
        {"borealis",
         {{"/settings/ssid/script", "wlanName"}},
         "/wireless.html: no script value \"wlanName\""},
        // settings spread over the forms of several pages; select values unlike their labels
        {"tolvane", {}, nullptr},
        {"wyrdell", {}, nullptr},
        {"tolvane",
         {{"/settings/key/field", "passphrase"}},
         "/wlan_security.htm: no field \"passphrase\""},
        {"tolvane", {{"/settings/firmware/page", "/banner.htm"}}, "/banner.htm: no text matches"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.family) + " " + (c.logged ? c.logged : "fits"));
        std::string file = std::string("described-") + c.family + ".json";
        auto conf = open(c.family, file, c.edits);
        size_t mark = logText().size();
        if (!c.logged) {
            conf->retrieveAttributes();
            const Device& d = device(c.family);
            EXPECT_EQ(d.ssid, conf->getSSID().getBytes());
            EXPECT_EQ(d.firmware, conf->getFirmwareRevision());
            EXPECT_NE(KRZP_SECURITY_UNSET, conf->getSecurityMode());
            ASSERT_TRUE(conf->getKey());
            EXPECT_EQ(d.key, conf->getKey()->getKey());
            continue;
        }
        EXPECT_EQ(KRZPAPC_PARSE_ERROR,
                  thrownBy([&] { conf->retrieveAttributes(); }).getAPCErrorCode());
        std::string line = file + ": " + c.logged;
        EXPECT_NE(std::string::npos, logText().find(line, mark)) << line;
    }
}

// A device value the description does not map reads as unset; a mode it does not map cannot be
// written (code 5), and nothing is sent.
// A description that names its device's port: the configurator reaches a device on loopback
// there, and one the host already sent elsewhere keeps the host's port.
TEST_F(DescribedDevice, TheDescriptionsPortIsWhereTheConfiguratorConnects) {
    std::unique_ptr<krzlab::Device> served;
    for (const krzlab::LabDeviceEntry& entry : krzlab::LabDescription::defaultLab().devices)
        if (entry.profile.family == "borealis" && !served)
            served = krzlab::Device::create(entry.profile);
    ASSERT_TRUE(served);
    served->start();
    // Reached on loopback, as a device emulated on the user's own machine is: through a lab open
    // to loopback, as the built-in one is.
    KRZNetworkBackend::setActive(
        boost::shared_ptr<KRZNetworkBackend>(new krzlab::LabBackend(lab, true)));
    const in_addr loopback = inAddr("127.0.0.1");
    const Device& at = device("borealis");
    for (bool hostChose : {false, true}) {
        SCOPED_TRACE(hostChose);
        KRZNetworkBackend::redirectPort(loopback, 80, hostChose ? served->port() : 80);
        auto d = krzdesc::parseDescription(
            edited("borealis", {{"/factory/port", hostChose ? 1 : served->port()}}), "b.json");
        KRZPDescribedConfigurator conf(d, at.model, std::vector<KRZMacAddress>(), at.user,
                                       at.password);
        conf.setAddr(loopback);
        conf.retrieveAttributes();
        EXPECT_EQ(served->state().wireless.ssid, conf.getSSID().getBytes());
        EXPECT_EQ(served->port(), KRZNetworkBackend::portFor(loopback, 80));
    }
    KRZNetworkBackend::redirectPort(loopback, 80, 80);
}

TEST_F(DescribedDevice, ValueMapsBothWays) {
    auto conf = open("acme", "acme.json", {{"/security", {{"none", "0"}, {"wep", "1"}}}});
    conf->retrieveAttributes();
    EXPECT_EQ(KRZP_SECURITY_UNSET, conf->getSecurityMode());
    krzlab::DeviceSpec before = lab->status("acme-1").state;
    conf->startConfiguration();
    conf->changeSecurityMode(KRZP_SECURITY_WPA2_PSK, boost::make_shared<KRZPKey>("passphrase"),
                             KRZP_ENCRYPTION_AES);
    EXPECT_EQ(KRZPAPC_INTERNAL_ERROR,
              thrownBy([&] { conf->completeConfiguration(); }).getAPCErrorCode());
    EXPECT_TRUE(before.wireless == lab->status("acme-1").state.wireless);
}

// The generic recognizer on probe replies: status, match, model patterns in headers or text,
// known models only, firmware from the probe page, or both from a further page (the frame of a
// frameset) fetched from the device.
TEST_F(DescribedDevice, RecognizerClaimsOnlyWhatItsPatternsName) {
    // A hostile device's megabyte of title must cost time, not the stack.
    const std::string endless = "<title>Acme " + std::string(1 << 20, 'a');
    const std::string frameset =
        "<frameset rows=\"72,*\"><frame name=\"banner\" src=\"/banner.htm\" scrolling=\"no\">"
        "<frame name=\"main\" src=\"/login.htm\"></frameset>";
    struct Case {
        const char* family;
        std::vector<std::pair<std::string, json>> edits;
        const char* headers;
        const char* body;
        const char* model;  // null: not claimed
        const char* firmware;
        const char* address = "192.168.77.99";  // where a further page is fetched
    };
    const Case cases[] = {
        {"acme",
         {},
         "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Acme AP-200\"",
         "",
         "AP-200",
         ""},
        {"acme", {}, "HTTP/1.1 200 OK", "<title>Acme ap-100 - Status</title>", "AP-100", ""},
        {"acme",
         {},
         "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Acme AP-900\"",
         "",
         nullptr,
         ""},
        {"acme", {}, "HTTP/1.1 200 OK", "<title>Borealis BR-5400</title>", nullptr, ""},
        {"acme",
         {{"/recognize/status", 401}},
         "HTTP/1.1 200 OK",
         "<title>Acme AP-100 - Status</title>",
         nullptr,
         ""},
        {"acme",
         {{"/recognize/match", {{{"header", "Server: Acme"}}}}},
         "HTTP/1.1 200 OK\r\nServer: Other",
         "<title>Acme AP-100 - Status</title>",
         nullptr,
         ""},
        {"borealis",
         {},
         "HTTP/1.1 200 OK",
         "<title>Borealis BR-5400 &middot; Login</title><p>Firmware 2.1.0</p>",
         "BR-5400",
         "2.1.0"},
        // The frameset names its frame; the frame names the model and the firmware.
        {"tolvane", {}, "HTTP/1.1 200 OK", frameset.c_str(), "TV-820", "3.2.1", "192.168.77.70"},
        // A device whose frame is not there (a 404 page).
        {"tolvane", {}, "HTTP/1.1 200 OK", frameset.c_str(), nullptr, "", "192.168.77.10"},
        // The frame is fetched only when the probe matches.
        {"tolvane",
         {{"/recognize/page", "/wlan_basic.htm"}},
         "HTTP/1.1 200 OK",
         "<frameset><frame src=\"/other.htm\"></frameset>",
         nullptr,
         "",
         "192.168.77.70"},
        {"tolvane",
         {{"/recognize/model/0/text", "<title>Tolvane ([^<]+)<"}},
         "HTTP/1.1 200 OK",
         frameset.c_str(),
         nullptr,
         "",
         "192.168.77.70"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.family) + " " + c.headers + " " +
                     std::string(c.body).substr(0, 80));
        auto d = krzdesc::parseDescription(edited(c.family, c.edits), "test.json");
        KRZPDescribedRecognizer recognizer(d);
        auto conf = recognizer.recognize(inAddr(c.address), c.headers, c.body, KRZMacAddress());
        if (!c.model) {
            EXPECT_FALSE(conf);
            continue;
        }
        ASSERT_TRUE(conf);
        EXPECT_EQ(d->vendor, conf->getVendorName());
        EXPECT_EQ(c.model, conf->getModelName());
        EXPECT_EQ(c.firmware, conf->getFirmwareRevision());
    }
}

// Each write as described: in the description's order (one after the account change logs in with
// the new credentials), one per form where the settings are spread over several, hidden fields
// formed from the written values, the forms' tokens carried; what the device refuses fails the
// configuration.
TEST_F(DescribedDevice, WritesAsDescribed) {
    json acme = json::parse(familyText("acme"));
    std::swap(acme["changes"][0], acme["changes"][1]);
    json tolvane = json::parse(familyText("tolvane"));
    tolvane["changes"][2].erase("form");
    struct Case {
        const char* family;
        std::vector<std::pair<std::string, json>> edits;
        const char* ssid;      // null: unchanged
        bool security;         // to wpa-psk with tkip
        const char* password;  // null: unchanged
        bool refused;
    };
    const Case cases[] = {
        {"acme", {{"/changes", acme["changes"]}}, "Reordered", false, "tower15", false},
        // two forms of two pages in one configuration, each with its token
        {"tolvane", {}, "Two Forms", true, nullptr, false},
        {"tolvane", {}, nullptr, true, "tower15", false},
        // the account's form is not read, so its token does not go along
        {"tolvane", {{"/changes", tolvane["changes"]}}, nullptr, false, "tower15", true},
        // hidden fields that the page's scripts fill: formed from the written values, or not
        {"wyrdell", {}, "Scripted", true, "tower15", false},
        {"wyrdell", {{"/changes/0/fields/wl_auth", nullptr}}, "Scripted", true, nullptr, true},
        {"wyrdell", {{"/changes/0/fields/wl_ssid", "{key}"}}, "Scripted", false, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.family) + " " + (c.ssid ? c.ssid : "") +
                     (c.refused ? " refused" : ""));
        startPlayedLab();
        auto conf = open(c.family, "written.json", c.edits);
        conf->retrieveAttributes();
        conf->startConfiguration();
        if (c.ssid)
            conf->changeSSID(KRZSsid(c.ssid));
        if (c.security)
            conf->changeSecurityMode(KRZP_SECURITY_WPA_PSK,
                                     boost::make_shared<KRZPKey>("new passphrase"),
                                     KRZP_ENCRYPTION_TKIP);
        if (c.password)
            conf->changeCredentials(device(c.family).user, c.password);
        if (c.refused) {
            thrownBy([&] { conf->completeConfiguration(); });
        } else {
            EXPECT_TRUE(conf->completeConfiguration());
        }
        // What the device holds now, read with the credentials it takes now.
        bool changed = c.password && !c.refused;
        auto after = open(c.family, "written.json", {}, changed ? c.password : nullptr);
        after->retrieveAttributes();
        const Device& d = device(c.family);
        EXPECT_EQ(c.ssid && !c.refused ? c.ssid : d.ssid, after->getSSID().getBytes());
        if (c.security && !c.refused) {
            EXPECT_EQ(KRZP_SECURITY_WPA_PSK, after->getSecurityMode());
            EXPECT_EQ(KRZP_ENCRYPTION_TKIP, after->getEncryptionMode());
            ASSERT_TRUE(after->getKey());
            EXPECT_EQ("new passphrase", after->getKey()->getKey());
        } else {
            EXPECT_NE(KRZP_SECURITY_WPA_PSK, after->getSecurityMode());
        }
    }
}

}  // namespace
