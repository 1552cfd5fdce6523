// A device is its owner's property: a one-setting change leaves every other setting on the device
// as it was, whichever way the device's script fills its forms, through the description module
// (krzpap configure) and through record --try-change, checked on the emulator's own state; a
// change whose other values are unknown is refused before anything is posted; the security is
// never lowered unless exactly that was asked for.
#include "ToolsTestSupport.h"

#include "lab/devices/LoopbackServer.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <unistd.h>

using namespace krztest;
using nlohmann::json;

namespace {

const char kUser[] = "admin";
const char kPassword[] = "why-pass-1";
const json kWireless = {{"ssid", "Owner's Net"},
                        {"security", "wpa2-psk"},
                        {"encryption", "aes"},
                        {"key", "owner key 77"}};

// The shapes in which the router's script fills its wireless form, one device each.
const char* const kShapes[] = {"vars", "object", "element", "json", "opaque"};

std::string addressOf(size_t shape) {
    return "192.168.77." + std::to_string(60 + shape);
}

json labDescription() {
    json devices = json::array();
    for (size_t i = 0; i < sizeof kShapes / sizeof kShapes[0]; ++i)
        devices.push_back({{"name", kShapes[i]},
                           {"family", "merrowin"},
                           {"address", addressOf(i)},
                           {"mac", "02:4B:5A:00:00:" + std::to_string(60 + i)},
                           {"username", kUser},
                           {"password", kPassword},
                           {"wireless", kWireless},
                           {"options", {{"script", kShapes[i]}, {"restartMs", "300"}}}});
    return labOf(devices);
}

// The shipped description, reading each setting the way `shape` fills it.
json descriptionFor(const std::string& shape) {
    json d = json::parse(fileText(std::string(KRZ_INSTALLED_DESCRIPTIONS) + "/merrowin.json"));
    const char* const settings[][3] = {{"ssid", "ssid", "wl_ssid"},
                                       {"security", "sec", "wl_sec"},
                                       {"encryption", "enc", "wl_enc"},
                                       {"key", "key", "wl_key"}};
    for (const auto& s : settings) {
        json& at = d["settings"][s[0]];
        if (shape == "object") {
            at["script"] = "cfg";
            at["member"] = s[1];
        } else if (shape == "element") {
            at.erase("script");
            at["element"] = s[2];
        } else if (shape == "json") {
            at.erase("script");
            at["page"] = "/wireless.json";
            at["json"] = std::string("/wireless/") + s[1];
        } else if (shape == "opaque") {
            at.erase("script");  // read from the form, as a draft would
        }
    }
    return d;
}

class Safety : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch = ::testing::TempDir() + "safety_" + std::to_string(getpid()) + "_" + info->name();
        runProgram({"/bin/rm", "-rf", scratch}, {});
        runProgram({"/bin/mkdir", "-p", scratch + "/descriptions"}, {});
        std::ofstream(scratch + "/lab.json") << labDescription().dump();
    }
    void TearDown() override {
        if (!HasFailure())
            runProgram({"/bin/rm", "-rf", scratch}, {});
    }
    // A fresh lab, and krzpap commands against it with the description `d` alone.
    void freshLab() {
        lab =
            std::make_unique<LabProcess>(std::vector<std::string>{"--lab", scratch + "/lab.json"});
    }
    ProgramOutcome krzpap(const json& d, const std::vector<std::string>& args) {
        std::ofstream(scratch + "/descriptions/merrowin.json") << d.dump();
        std::vector<std::string> argv = {KRZPAP_PROGRAM, "--log", scratch + "/krzpap.log",
                                         "--modules", "krzpapdescriptions.dll"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = cleanEnvironment();
        env.push_back("XDG_STATE_HOME=" + scratch + "/state");
        env.push_back("KRZ_LAB=" + lab->address());
        env.push_back("KRZ_APDESCRIPTION_DIRS=" + scratch + "/descriptions");
        return runProgram(argv, env);
    }
    // What the device holds: its wireless settings and account, as the emulator keeps them.
    json holds(const std::string& shape) {
        json device = lab->device(shape);
        return {{"wireless", device["wireless"]},
                {"username", device["username"]},
                {"password", device["password"]}};
    }
    // Whether anything but a login was posted to the device.
    bool postedAChange(const std::string& shape) {
        json device = lab->device(shape);
        for (const json& target : device["posted"])
            if (target != "/login.cgi")
                return true;
        return false;
    }

    std::unique_ptr<LabProcess> lab;
    std::string scratch;
};

struct OneChange {
    const char* name;
    std::vector<std::string> configure;  // krzpap configure's options
    const char* tryChange;               // record's, null: record cannot make this change
    const char* pointer;                 // what changes on the device
    const char* value;
};

const OneChange kChanges[] = {
    {"ssid", {"--ssid", "Changed Net"}, "wl_ssid=Changed Net", "/wireless/ssid", "Changed Net"},
    {"key",
     {"--security", "wpa2-psk", "--encryption", "aes", "--key", "changed key 88"},
     "wl_key=changed key 88",
     "/wireless/key",
     "changed key 88"},
    {"password", {"--new-password", "changed-pw"}, nullptr, "/password", "changed-pw"},
};

// Each readable shape, each one-setting change, through the description module and through the
// recorder: on the device, the one setting changed (the recorder restores it) and nothing else.
TEST_F(Safety, AOneSettingChangeLeavesEveryOtherSettingAsItWas) {
    for (size_t shape = 0; shape < 4; ++shape) {
        for (const OneChange& change : kChanges) {
            for (bool record : {false, true}) {
                if (record && !change.tryChange)
                    continue;
                SCOPED_TRACE(std::string(kShapes[shape]) + " " + change.name +
                             (record ? " record" : " configure"));
                freshLab();
                json before = holds(kShapes[shape]);
                json want = before;
                ProgramOutcome run;
                if (record) {
                    run = krzpap(descriptionFor(kShapes[shape]),
                                 {"record", addressOf(shape), "-u", kUser, "-p", kPassword, "-o",
                                  scratch + "/rec.json", "--try-change", change.tryChange});
                } else {
                    std::vector<std::string> args = {"configure", addressOf(shape), "-u", kUser,
                                                     "-p",        kPassword};
                    args.insert(args.end(), change.configure.begin(), change.configure.end());
                    run = krzpap(descriptionFor(kShapes[shape]), args);
                    want[json::json_pointer(change.pointer)] = change.value;
                }
                EXPECT_EQ(0, run.status) << run.err;
                EXPECT_EQ(want, holds(kShapes[shape]));
                EXPECT_TRUE(postedAChange(kShapes[shape]));
            }
        }
    }
}

// What may not be sent is not: values the description or the recorder cannot read, a security
// mode the description cannot name. A lowering asked for exactly is made.
TEST_F(Safety, UnknownValuesAreRefusedBeforeAnythingIsPostedAndSecurityIsNotLowered) {
    json unnamed = descriptionFor("vars");
    unnamed["security"].erase("wpa2-psk");
    const struct {
        const char* what;
        size_t shape;
        json description;
        std::vector<std::string> args;
        const char* says;  // in the log or on stderr; null: the change is made
    } cases[] = {
        {"fields the script fills, read from the form",
         4,
         descriptionFor("opaque"),
         {"configure", addressOf(4), "--ssid", "X Net"},
         "is filled in by the page's script"},
        {"a description for another shape",
         1,
         descriptionFor("vars"),
         {"configure", addressOf(1), "--ssid", "X Net"},
         "no script value \"wlSsid\""},
        {"a security mode the description does not name",
         0,
         unnamed,
         {"configure", addressOf(0), "--ssid", "X Net"},
         "is not one the description names"},
        {"a value the recorder cannot read",
         4,
         descriptionFor("vars"),
         {"record", addressOf(4), "-o", scratch + "/rec.json", "--try-change", "wl_ssid=X Net"},
         "is filled in by the page's script and its value could not be read"},
        // posted, refused by the device, restored: a failure all the same
        {"a change the device refuses",
         0,
         descriptionFor("vars"),
         {"record", addressOf(0), "-o", scratch + "/rec.json", "--try-change", "wl_key=short"},
         "did not read back"},
        {"no security, asked for exactly",
         0,
         descriptionFor("vars"),
         {"configure", addressOf(0), "--security", "none"},
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        freshLab();
        json before = holds(kShapes[c.shape]);
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 2, {"-u", kUser, "-p", kPassword});
        size_t mark = fileText(scratch + "/krzpap.log").size();
        ProgramOutcome run = krzpap(c.description, args);
        if (!c.says) {
            EXPECT_EQ(0, run.status) << run.err;
            EXPECT_EQ("none", holds(kShapes[c.shape])["wireless"]["security"]);
            continue;
        }
        EXPECT_NE(0, run.status);
        std::string said = run.err + fileText(scratch + "/krzpap.log").substr(mark);
        EXPECT_NE(std::string::npos, said.find(c.says)) << said;
        EXPECT_EQ(std::string(c.what) == "a change the device refuses",
                  postedAChange(kShapes[c.shape]));
        EXPECT_EQ(before, holds(kShapes[c.shape]));
    }
}

// A real server on loopback is reached through the user's built-in lab only: a running lab, a lab
// file and the description checker's lab hold their own devices and nothing else.
TEST_F(Safety, OnlyTheBuiltInLabReachesALoopbackServer) {
    std::atomic<int> served{0};
    krzlab::LoopbackServer server([&](int fd) {
        ++served;
        char request[512];
        ::recv(static_cast<SOCKET>(fd), request, sizeof request, 0);
        const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nreached";
        ::send(static_cast<SOCKET>(fd), reply, sizeof reply - 1, 0);
    });
    std::string url = "http://127.0.0.1:" + std::to_string(server.startListening(0)) + "/";
    freshLab();
    const struct {
        const char* lab;
        std::string setting;  // none: the built-in lab
        bool reached;
    } cases[] = {{"a running lab", "KRZ_LAB=" + lab->address(), false},
                 {"a lab file", "KRZ_LAB_FILE=" + scratch + "/lab.json", false},
                 {"the built-in lab", "", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lab);
        std::vector<std::string> env = cleanEnvironment();
        env.push_back("XDG_STATE_HOME=" + scratch + "/state");
        if (!c.setting.empty())
            env.push_back(c.setting);
        int before = served;
        ProgramOutcome run = runProgram({KRZPAP_PROGRAM, "fetch", url}, env);
        EXPECT_EQ(c.reached ? 0 : 5, run.status) << run.out << run.err;
        EXPECT_EQ(c.reached, run.out.find("reached") != std::string::npos);
        EXPECT_EQ(before + (c.reached ? 1 : 0), served.load());
    }
    // The checker, while the server listens: it passes on its own played device, and the server
    // hears nothing.
    int before = served;
    std::string shipped = KRZ_INSTALLED_DESCRIPTIONS;
    std::vector<std::string> env = cleanEnvironment();
    env.push_back(std::string("KRZPAP=") + KRZPAP_PROGRAM);
    ProgramOutcome checked =
        runProgram({"/bin/sh", std::string(KRZPAP_PREFIX) + "/share/krzpap/check-description.sh",
                    shipped + "/merrowin.json", shipped + "/merrowin/merrowin-1.recording.json",
                    shipped + "/merrowin/merrowin-1.show.txt"},
                   env);
    EXPECT_EQ(0, checked.status) << checked.out << checked.err;
    EXPECT_EQ(before, served.load());
}

}  // namespace
