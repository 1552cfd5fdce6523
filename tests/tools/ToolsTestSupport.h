// Running programs for the krzpap tests: a krzlab process that holds the lab's state between
// commands, and single krzpap commands against it with their output and exit status.
#pragma once

#include "TestSupport.h"

#include "testsupport/krzprograms.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace krztest {

// This process's environment without the settings that would point krzpap elsewhere.
std::vector<std::string> cleanEnvironment();

// A lab file's description: one adapter (lab0, 192.168.77.2/24) and these devices.
nlohmann::json labOf(const nlohmann::json& devices);

// A krzlab process and its control endpoint.
class LabProcess {
  public:
    explicit LabProcess(const std::vector<std::string>& arguments = {});
    const std::string& address() const { return address_; }
    nlohmann::json control(const nlohmann::json& request);
    // The device's status as the lab reports it.
    nlohmann::json device(const std::string& name);

  private:
    std::unique_ptr<BackgroundProgram> process_;
    std::string address_;
};

}  // namespace krztest
