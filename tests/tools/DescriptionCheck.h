// A description run against a played recording, as CI checks every shipped description and as an
// author checks a new one: a fresh lab plays the recording, and the installed krzpap, with the
// description module alone and only this description in KRZ_APDESCRIPTION_DIRS, works on the
// played device with the recording's own credentials (its placeholders where it holds them).
#pragma once

#include "ToolsTestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace krztest {

class DescriptionCheck {
  public:
    // `scratch` is a folder of the caller's that the check may fill (it is not emptied).
    DescriptionCheck(const std::string& description, const std::string& recording,
                     const std::string& scratch);
    ~DescriptionCheck();
    DescriptionCheck(const DescriptionCheck&) = delete;
    DescriptionCheck& operator=(const DescriptionCheck&) = delete;

    // `krzpap show` of the played device.
    ProgramOutcome show();
    // `krzpap configure` of the played device with `options` ("--ssid", "New", ...).
    ProgramOutcome configure(const std::vector<std::string>& options);
    // Any krzpap command line, with the check's lab, module and descriptions; the device's
    // address, user and password are not added.
    ProgramOutcome krzpap(const std::vector<std::string>& args);

    const std::string& address() const { return address_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // Where the check keeps its files: the lab description, krzpap's log (krzpap.log).
    const std::string& folder() const { return folder_; }
    LabProcess& lab() { return *lab_; }

  private:
    std::vector<std::string> deviceArgs(const char* command);

    std::string folder_;
    std::string address_;
    std::string user_;
    std::string password_;
    std::unique_ptr<LabProcess> lab_;
};

// The check's short form: the `show` output of `recording` played and read through `description`.
ProgramOutcome showDescribed(const std::string& description, const std::string& recording,
                             const std::string& scratch);

}  // namespace krztest
