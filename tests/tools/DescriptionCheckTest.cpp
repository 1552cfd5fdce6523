// Every installed description checked like a template: each recording beside it played in a
// fresh lab and read through that description alone; a scan must recognize the device, `show`
// must print exactly the output stored beside the recording, and a change of the network name and
// the security (and the password, where the recording holds a change of it) must be confirmed and
// read back.
#include "DescriptionCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace krztest;

namespace {

const fs::path kInstalled = KRZ_INSTALLED_DESCRIPTIONS;

// The families whose recordings also hold a change of the administrator's account.
const std::set<std::string> kAccountRecorded = {"tolvane", "wyrdell"};

TEST(DescriptionCheck, EachRecordingShowsAsExpectedAndTakesAChange) {
    std::string scratch = ::testing::TempDir() + "description_check_" + std::to_string(getpid());
    std::vector<fs::path> descriptions;
    for (const fs::directory_entry& e : fs::directory_iterator(kInstalled))
        if (e.path().extension() == ".json")
            descriptions.push_back(e.path());
    std::sort(descriptions.begin(), descriptions.end());
    ASSERT_GE(descriptions.size(), 3u);
    for (const fs::path& description : descriptions) {
        std::string family = description.stem().string();
        // Both documents as their published schemas say.
        ProgramOutcome valid =
            runProgram({"/usr/bin/jsonschema", "-i", description.string(),
                        (kInstalled.parent_path() / "krzpap-description.schema.json").string()},
                       {});
        EXPECT_EQ(0, valid.status) << family << valid.out << valid.err;
        std::vector<fs::path> recordings;
        if (fs::is_directory(kInstalled / family))
            for (const fs::directory_entry& e : fs::directory_iterator(kInstalled / family))
                if (e.path().string().size() > 15 &&
                    e.path().string().rfind(".recording.json") == e.path().string().size() - 15)
                    recordings.push_back(e.path());
        EXPECT_FALSE(recordings.empty()) << family << " has no recording in " << family << "/";
        for (const fs::path& recording : recordings) {
            std::string name = recording.filename().string();
            name.resize(name.size() - 15);
            SCOPED_TRACE(family + "/" + name);
            fs::path folder = fs::path(scratch) / name;
            fs::remove_all(folder);
            fs::create_directories(folder);
            fs::path expected = recording.parent_path() / (name + ".show.txt");
            ProgramOutcome recorded = runProgram(
                {"/usr/bin/jsonschema", "-i", recording.string(), KRZ_RECORDING_SCHEMA}, {});
            EXPECT_EQ(0, recorded.status) << recorded.out << recorded.err;
            ASSERT_TRUE(fs::exists(expected)) << expected;

            DescriptionCheck check(description.string(), recording.string(), folder.string());
            ProgramOutcome shown = check.show();
            EXPECT_EQ(0, shown.status) << shown.err;
            EXPECT_EQ(fileText(expected.string()), shown.out);

            // The network name and the security together: where they live on two forms, one
            // configure writes both.
            // A scan finds it and names it as `show` does ("Device:      Acme AP-100 at ...").
            std::string device = fileText(expected.string());
            device = device.substr(0, device.find(" at "));
            device = device.substr(device.find_first_not_of(' ', device.find(':') + 1));
            std::string vendor = device.substr(0, device.find(' '));
            std::string model = device.substr(device.find(' ') + 1);
            ProgramOutcome scanned = check.krzpap({"scan"});
            EXPECT_EQ(0, scanned.status) << scanned.err;
            std::string row = scanned.out.substr(
                std::min(scanned.out.find("\n" + check.address() + " "), scanned.out.size()));
            row = row.substr(0, row.find('\n', 1)) + " ";
            EXPECT_NE(std::string::npos, row.find(" " + vendor + " ")) << scanned.out;
            EXPECT_NE(std::string::npos, row.find(" " + model + " ")) << scanned.out;

            std::vector<std::string> change = {"--ssid",   "Checked " + name, "--security",
                                               "wpa2-psk", "--key",           "checked passphrase"};
            bool account = kAccountRecorded.count(family) > 0;
            if (account)
                change.insert(change.end(), {"--new-password", "Checked1"});
            ProgramOutcome configured = check.configure(change);
            EXPECT_EQ(0, configured.status) << configured.out << configured.err;
            EXPECT_NE(std::string::npos, configured.out.find("confirmed")) << configured.out;
            ProgramOutcome after =
                check.krzpap({"show", check.address(), "-u", check.user(), "-p",
                              account ? std::string("Checked1") : check.password()});
            EXPECT_EQ(0, after.status) << after.err;
            EXPECT_NE(std::string::npos, after.out.find("SSID:        Checked " + name))
                << after.out;
            EXPECT_NE(std::string::npos, after.out.find("Security:    wpa2-psk")) << after.out;
            if (!HasFailure())
                fs::remove_all(folder);
        }
    }
}

}  // namespace
