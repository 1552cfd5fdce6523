// The application layer as a host uses it, against the lab: each operation's result, each
// failure's kind, field and advice, what an observer hears, and cancel from another thread.
#include "E2eTestSupport.h"

#include "app/KRZPApp.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace krztest;
using krzpapp::Advice;
using krzpapp::ErrorKind;

namespace {

const char kAcme[] = "192.168.77.10";
const char kAcmeMac[] = "02:4B:5A:00:00:10";

krzpapp::DeviceRequest device(const std::string& address, const std::string& password = "",
                              const std::string& mac = "") {
    krzpapp::DeviceRequest d;
    d.address = address;
    d.mac = mac;
    if (!password.empty()) {
        d.user = "admin";
        d.password = password;
    }
    return d;
}

krzpapp::ConfigureRequest changes(std::function<void(krzpapp::ConfigureRequest&)> fill) {
    krzpapp::ConfigureRequest r;
    fill(r);
    return r;
}

// One failing request: what it is, and the failure a host must be able to tell apart.
struct Failing {
    const char* name;
    std::function<void(krzpapp::Application&)> run;
    ErrorKind kind;
    const char* field;
    Advice advice;
    const char* detail;  // nullptr: not checked
};

const Failing kFailing[] = {
    {"wrong password", [](auto& a) { a.show(device(kAcme, "not-it")); }, ErrorKind::LoginRefused,
     "password", Advice::GiveCredentials, nullptr},
    {"nobody there", [](auto& a) { a.show(device("192.168.77.99")); }, ErrorKind::Unreachable, "",
     Advice::None, nullptr},
    {"no web server", [](auto& a) { a.show(device("192.168.77.50")); }, ErrorKind::Unreachable, "",
     Advice::None, nullptr},
    {"not a router", [](auto& a) { a.show(device("192.168.77.40")); }, ErrorKind::NotRecognized, "",
     Advice::ChooseModules, "192.168.77.40"},
    {"two at one address", [](auto& a) { a.show(device("10.0.0.138")); }, ErrorKind::Other, "mac",
     Advice::GiveMac, nullptr},
    {"not an address", [](auto& a) { a.show(device("router.local/x")); }, ErrorKind::BadRequest,
     "address", Advice::None, nullptr},
    {"zero MAC", [](auto& a) { a.show(device(kAcme, "", "00:00:00:00:00:00")); },
     ErrorKind::BadRequest, "mac", Advice::None, nullptr},
    {"nothing to change", [](auto& a) { a.configure(device(kAcme), changes([](auto&) {})); },
     ErrorKind::BadRequest, "", Advice::NothingToChange, nullptr},
    {"key without mode",
     [](auto& a) { a.configure(device(kAcme), changes([](auto& c) { c.key = "12345678"; })); },
     ErrorKind::BadRequest, "security", Advice::KeyNeedsSecurity, nullptr},
    {"encryption without mode",
     [](auto& a) {
         a.configure(device(kAcme), changes([](auto& c) {
                         c.ssid = "x";
                         c.encryption = "aes";
                     }));
     },
     ErrorKind::BadRequest, "security", Advice::EncryptionNeedsSecurity, nullptr},
    {"mode without key",
     [](auto& a) { a.configure(device(kAcme), changes([](auto& c) { c.security = "wpa2-psk"; })); },
     ErrorKind::BadRequest, "key", Advice::SecurityNeedsKey, "wpa2-psk"},
    {"unknown mode",
     [](auto& a) {
         a.configure(device(kAcme), changes([](auto& c) {
                         c.security = "unknown";
                         c.key = "12345678";
                     }));
     },
     ErrorKind::BadRequest, "security", Advice::None, nullptr},
    {"mode cannot carry encryption",
     [](auto& a) {
         a.configure(device(kAcme), changes([](auto& c) {
                         c.security = "wpa2-psk";
                         c.encryption = "wep64";
                         c.key = "12345678";
                     }));
     },
     ErrorKind::BadRequest, "encryption", Advice::None, nullptr},
    {"WEP key of no length",
     [](auto& a) {
         a.configure(device(kAcme), changes([](auto& c) {
                         c.security = "wep";
                         c.key = "123456";
                     }));
     },
     ErrorKind::BadRequest, "key", Advice::None, nullptr},
    {"short passphrase",
     [](auto& a) {
         a.configure(device(kAcme), changes([](auto& c) {
                         c.security = "wpa-psk";
                         c.key = "1234567";
                     }));
     },
     ErrorKind::BadRequest, "key", Advice::None, nullptr},
    {"open network with a key",
     [](auto& a) {
         a.configure(device(kAcme), changes([](auto& c) {
                         c.security = "none";
                         c.key = "12345678";
                     }));
     },
     ErrorKind::BadRequest, "key", Advice::None, nullptr},
    {"SSID too long",
     [](auto& a) {
         a.configure(device(kAcme), changes([](auto& c) { c.ssid = std::string(33, 's'); }));
     },
     ErrorKind::BadRequest, "ssid", Advice::None, nullptr},
    {"empty SSID",
     [](auto& a) { a.configure(device(kAcme), changes([](auto& c) { c.ssid = ""; })); },
     ErrorKind::BadRequest, "ssid", Advice::None, nullptr},
    {"SSID the device refuses",
     [](auto& a) {
         a.configure(device(kAcme, "gatekeeper"),
                     changes([](auto& c) { c.ssid = std::string("bad\x01name"); }));
     },
     ErrorKind::DeviceRule, "ssid", Advice::None, nullptr},
    {"a MAC that is none", [](auto& a) { a.find({"zz"}); }, ErrorKind::BadRequest, "mac",
     Advice::None, nullptr},
    {"no such channel",
     [](auto& a) {
         a.defaults({"ACME", kAcmeMac, 15, false, ""});
     },
     ErrorKind::BadRequest, "channel", Advice::None, nullptr},
    {"a BSSID that is none",
     [](auto& a) {
         a.defaults({"ACME", "nope", 6, false, ""});
     },
     ErrorKind::BadRequest, "bssid", Advice::None, nullptr},
    {"a change to try without a value",
     [](auto& a) {
         krzpapp::RecordRequest r;
         r.device = device(kAcme);
         r.tryChange = {"=x"};
         a.record(r);
     },
     ErrorKind::BadRequest, "tryChange", Advice::None, "=x"},
    {"a recording that is none", [](auto& a) { a.describe("{}", "x.json"); }, ErrorKind::BadRequest,
     "recording", Advice::None, nullptr},
};

class AppTest : public LabTest {
  protected:
    void SetUp() override {
        LabTest::SetUp();
        startLab(krzlab::LabDescription::defaultLab());
        lab->factoryReset("corvid-1");
        lab->factoryReset("corvid-2");
    }
};

TEST_F(AppTest, EveryFailureTellsItsKindFieldAndAdvice) {
    for (const Failing& row : kFailing) {
        SCOPED_TRACE(row.name);
        krzpapp::Application app;
        try {
            row.run(app);
            ADD_FAILURE() << "no failure";
        } catch (const krzpapp::Error& e) {
            EXPECT_EQ(e.kind(), row.kind) << e.what();
            EXPECT_EQ(e.field(), row.field) << e.what();
            EXPECT_EQ(e.advice(), row.advice) << e.what();
            if (row.detail) {
                EXPECT_EQ(e.detail(), row.detail);
            }
            // The layer's sentences name no host's options.
            EXPECT_EQ(std::string(e.what()).find("--"), std::string::npos) << e.what();
            EXPECT_FALSE(std::string(e.what()).empty());
        }
    }
}

// The rules that need no device accept every value at their bounds.
TEST_F(AppTest, ChecksThatNeedNoDeviceAcceptTheBounds) {
    auto wireless = [](const char* security, std::string key, const char* encryption = "") {
        krzpapp::ConfigureRequest c;
        c.security = security;
        c.key = key;
        if (*encryption)
            c.encryption = encryption;
        return c;
    };
    const krzpapp::ConfigureRequest accepted[] = {
        wireless("wpa2-psk", std::string(8, 'p')),
        wireless("wpa-psk", std::string(63, 'p')),
        wireless("wpa-wpa2-psk", std::string(64, 'a')),
        wireless("wep", "abcde", "wep64"),
        wireless("wep", std::string(26, 'f'), "wep128"),
        wireless("none", ""),
        changes([](auto& c) { c.ssid = std::string(32, 's'); }),
        changes([](auto& c) { c.newPassword = "x"; }),
    };
    for (const krzpapp::ConfigureRequest& c : accepted)
        EXPECT_NO_THROW(krzpapp::Application::checkConfigure(c)) << c.key.value_or("");
    // At an address no other case reaches: a port given redirects its later connections.
    for (const char* address : {"192.168.77.99", "http://192.168.77.99", "http://192.168.77.99:1/",
                                "http://192.168.77.99:65535", "https://192.168.77.99"})
        EXPECT_NO_THROW(krzpapp::Application::checkDevice(device(address))) << address;
    for (const char* address : {"http://192.168.77.99:65536", "http://192.168.77.99:012345",
                                "https://192.168.77.99:0", "http://192.168.77.99:0"})
        EXPECT_THROW(krzpapp::Application::checkDevice(device(address)), krzpapp::Error) << address;
}

// Hears every step and device, as a host's progress does.
class Heard : public krzpapp::Observer {
  public:
    void step(const std::string& what) override {
        std::lock_guard<std::mutex> lock(mutex);
        steps.push_back(what);
    }
    void found(const krzpapp::Device& d) override {
        std::lock_guard<std::mutex> lock(mutex);
        devices.push_back(d.address + (d.recognized ? "" : "?"));
    }
    std::mutex mutex;
    std::vector<std::string> steps;
    std::vector<std::string> devices;
};

TEST_F(AppTest, ConfigureChangesReadsBackAndShowAgrees) {
    Heard heard;
    krzpapp::Application app(&heard);
    krzpapp::ConfigureResult r = app.configure(device(kAcme, "gatekeeper"), changes([](auto& c) {
                                                   c.ssid = "Layered";
                                                   c.security = "wpa-wpa2-psk";
                                                   c.key = "many layers deep";
                                                   c.newPassword = "gatekeeper2";
                                               }));
    struct Expected {
        const char* setting;
        const char* value;
        bool secret;
    };
    const Expected expected[] = {{"ssid", "Layered", false},
                                 {"security", "wpa-wpa2-psk", false},
                                 {"encryption", "tkip-aes", false},
                                 {"key", "many layers deep", true},
                                 {"password", "gatekeeper2", true}};
    ASSERT_EQ(r.changes.size(), std::size(expected));
    for (size_t i = 0; i < r.changes.size(); ++i) {
        SCOPED_TRACE(expected[i].setting);
        EXPECT_EQ(r.changes[i].setting, expected[i].setting);
        EXPECT_EQ(r.changes[i].value, expected[i].value);
        EXPECT_EQ(r.changes[i].secret, expected[i].secret);
        EXPECT_TRUE(r.changes[i].confirmed);
    }
    EXPECT_EQ(r.notKept(), "");
    EXPECT_EQ(r.device.ssid, "Layered");
    EXPECT_EQ(r.device.key, "many layers deep");
    EXPECT_EQ(heard.steps, (std::vector<std::string>{"logging in", "writing the changes",
                                                     "reading the settings back"}));

    krzpapp::Settings shown = app.show(device(kAcme, "gatekeeper2"));
    EXPECT_EQ(shown.device.description, "Acme AP-100");
    EXPECT_EQ(shown.device.address, kAcme);
    EXPECT_EQ(shown.device.mac, kAcmeMac);
    EXPECT_EQ(shown.device.macVendor, "(locally administered)");
    EXPECT_EQ(shown.ssid, "Layered");
    EXPECT_EQ(shown.security, "wpa-wpa2-psk");
    EXPECT_EQ(shown.encryption, "tkip-aes");
    EXPECT_TRUE(shown.usesUsername);
    for (const std::string* rule : {&shown.usernameRule, &shown.passwordRule, &shown.ssidRule})
        EXPECT_NE(*rule, "");
    EXPECT_LE(shown.minPassword, shown.maxPassword);
    EXPECT_GT(shown.maxPassword, 0);
    // The old password no longer opens it.
    EXPECT_THROW(app.show(device(kAcme, "gatekeeper")), krzpapp::Error);
}

TEST_F(AppTest, ScanListsEveryHostInAddressOrderAsTheObserverHeardThem) {
    Heard heard;
    krzpapp::Application app(&heard);
    krzpapp::ScanResult r = app.scan({});
    EXPECT_FALSE(r.cancelled);
    EXPECT_FALSE(r.nothingAnswered);
    std::vector<std::string> listed;
    for (const krzpapp::Device& d : r.devices)
        listed.push_back(d.address + (d.recognized ? "" : "?"));
    // Both Corvid routers sit at their factory address, off the adapter's network: the one
    // that answered first stands for it.
    EXPECT_EQ(listed, (std::vector<std::string>{"10.0.0.138", "192.168.77.10", "192.168.77.20",
                                                "192.168.77.40?", "192.168.77.50?"}));
    EXPECT_EQ(r.recognized, 3);
    EXPECT_EQ(r.answered, 4);  // the silent host answered ARP only
    EXPECT_TRUE(r.devices.back().arpOnly);
    EXPECT_FALSE(r.devices[3].arpOnly);
    EXPECT_EQ(r.devices[0].vendor + " " + r.devices[0].model, r.devices[0].description);
    std::sort(heard.devices.begin(), heard.devices.end());
    EXPECT_EQ(heard.devices, listed);
    EXPECT_EQ(r.adapters, krzpapp::Application::adaptersFor({}));
    EXPECT_THROW(krzpapp::Application::adaptersFor({{"no-such-adapter"}}), krzpapp::Error);
}

TEST_F(AppTest, FindTellsWhereEachMacAnswersInTheOrderAsked) {
    krzpapp::Application app;
    std::vector<krzpapp::Sighting> r = app.find({"02:4b:5a:00:00:99", "02-4b-5a-00-00-10"});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].mac, "02:4B:5A:00:00:99");
    EXPECT_FALSE(r[0].found);
    EXPECT_EQ(r[0].address, "");
    EXPECT_EQ(r[1].mac, kAcmeMac);
    EXPECT_TRUE(r[1].found);
    EXPECT_EQ(r[1].address, kAcme);
}

TEST_F(AppTest, ACancelIsNeverLostAndEndsTheWork) {
    // Before the operation starts: it ends at once, a scan with what it has (nothing).
    {
        krzpapp::Application app;
        app.cancel();
        auto start = std::chrono::steady_clock::now();
        krzpapp::ScanResult r = app.scan({});
        EXPECT_TRUE(r.cancelled);
        EXPECT_TRUE(r.devices.empty());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        try {
            app.show(device(kAcme));
            ADD_FAILURE() << "not cancelled";
        } catch (const krzpapp::Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Cancelled);
        }
        app.uncancel();
        EXPECT_FALSE(app.cancelled());
        EXPECT_EQ(app.show(device(kAcme, "gatekeeper")).ssid, "AcmeOffice");
    }
    // From another thread while a search waits for ARP answers.
    krzpapp::Application app;
    std::thread canceller([&app] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        app.cancel();
    });
    try {
        app.find({"02:4b:5a:00:00:99"});
        ADD_FAILURE() << "not cancelled";
    } catch (const krzpapp::Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Cancelled);
    }
    canceller.join();
}

TEST_F(AppTest, DefaultsAndTheMacRegistry) {
    struct Row {
        krzpapp::DefaultsRequest network;
        int sign;  // of the verdict
        const char* meaning;
    };
    const Row rows[] = {
        {{"corvid", "02-4b-5a-00-00-30", 0, false, ""}, 1, "still at its factory defaults"},
        // The factory network is open: one with privacy is not it, RSN or not.
        {{"corvid", "02-4b-5a-00-00-30", 0, true, ""}, -1, "changed from its factory defaults"},
        {{"Nest", "02:4B:5A:00:00:31", 36, false, "wpa2"}, 0, "no recognizer has an opinion"},
        {{"Elsewhere", "00:00:5E:00:53:01", 6, false, ""}, 0, "no recognizer has an opinion"},
    };
    krzpapp::Application app;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.network.ssid + " " + row.network.bssid);
        krzpapp::DefaultsVerdict v = app.defaults(row.network);
        EXPECT_EQ(v.ssid, row.network.ssid);
        EXPECT_EQ((v.verdict > 0) - (v.verdict < 0), row.sign) << v.verdict;
        EXPECT_EQ(v.meaning, row.meaning);
    }
    EXPECT_EQ(app.defaults(rows[0].network).bssid, "02:4B:5A:00:00:30");

    const std::pair<const char*, const char*> vendors[] = {
        {"02:00:00:00:00:01", "(locally administered)"},
        {"06-11-22-33-44-55", "(locally administered)"},
        {"0011", ""},
        {"", ""}};
    for (const auto& [mac, vendor] : vendors)
        EXPECT_EQ(krzpapp::ouiVendor(mac), vendor) << mac;
    // A vendor of the registry Debian installs (ieee-data), as its first entry names it, without
    // the line's tabs and carriage return.
    std::ifstream registry("/usr/share/ieee-data/oui.txt");
    std::string line;
    while (std::getline(registry, line) && line.find("(hex)") == std::string::npos) {
    }
    if (!line.empty()) {
        std::string named = line.substr(line.find_first_not_of(" \t", line.find("(hex)") + 5));
        named.erase(named.find_last_not_of(" \t\r") + 1);
        EXPECT_EQ(krzpapp::ouiVendor(line.substr(0, 8) + "-00-00-01"), named) << line;
    }
}

}  // namespace
