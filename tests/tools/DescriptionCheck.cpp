#include "DescriptionCheck.h"

#include "recording/Recording.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace krztest {

DescriptionCheck::DescriptionCheck(const std::string& description, const std::string& recording,
                                   const std::string& scratch)
    : folder_(scratch) {
    krzlab::Recording played = krzlab::Recording::fromFile(recording);
    address_ = played.address;
    user_ = played.login.user;
    password_ = played.login.password;

    // The description alone in its folder: another one there could claim the device first.
    fs::path descriptions = fs::path(folder_) / "descriptions";
    fs::remove_all(descriptions);
    fs::create_directories(descriptions);
    fs::copy_file(description, descriptions / fs::path(description).filename());

    json lab = labOf({{{"name", "played"}, {"recording", fs::absolute(recording).string()}}});
    std::string labFile = (fs::path(folder_) / "play.json").string();
    std::ofstream(labFile) << lab.dump(2);
    lab_ = std::make_unique<LabProcess>(std::vector<std::string>{"--lab", labFile});
}

DescriptionCheck::~DescriptionCheck() = default;

ProgramOutcome DescriptionCheck::krzpap(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {KRZPAP_PROGRAM, "--log", folder_ + "/krzpap.log", "--modules",
                                     "krzpapdescriptions.dll"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = cleanEnvironment();
    env.push_back("XDG_STATE_HOME=" + folder_ + "/state");
    env.push_back("KRZ_LAB=" + lab_->address());
    env.push_back("KRZ_APDESCRIPTION_DIRS=" + folder_ + "/descriptions");
    return runProgram(argv, env);
}

std::vector<std::string> DescriptionCheck::deviceArgs(const char* command) {
    std::vector<std::string> args = {command, address_};
    if (!user_.empty())
        args.insert(args.end(), {"-u", user_});
    if (!password_.empty())
        args.insert(args.end(), {"-p", password_});
    return args;
}

ProgramOutcome DescriptionCheck::show() {
    return krzpap(deviceArgs("show"));
}

ProgramOutcome DescriptionCheck::configure(const std::vector<std::string>& options) {
    std::vector<std::string> args = deviceArgs("configure");
    args.insert(args.end(), options.begin(), options.end());
    return krzpap(args);
}

ProgramOutcome showDescribed(const std::string& description, const std::string& recording,
                             const std::string& scratch) {
    return DescriptionCheck(description, recording, scratch).show();
}

}  // namespace krztest
