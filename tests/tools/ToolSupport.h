// Running programs for the krzpap tests: a krzlab process that holds the lab's state between
// commands, and single krzpap commands against it with their output and exit status.
#pragma once

#include "TestHelpers.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace tooltest {

struct Outcome {
    int status = -1;  // exit status; 128 + signal when a signal ended the program
    std::string out;
    std::string err;
};

// Runs `argv` to completion with `environment` (NAME=value entries) and stdin from `input`
// ("/dev/null" unless given).
Outcome runProgram(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment,
                   const std::string& input = "/dev/null");

// This process's environment without the settings that would point krzpap elsewhere.
std::vector<std::string> cleanEnvironment();

// Starts `argv` with stdout and stderr written to the files `outPath` and `errPath`.
pid_t startProgram(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment, const std::string& outPath,
                   const std::string& errPath);
// Waits for a started program to end; its exit status as in Outcome.
int waitProgram(pid_t pid);
using krztest::fileText;

// Waits until the file at `path` holds `needle`, following the file's changes; false when that
// did not happen within `timeoutMs`.
bool waitForText(const std::string& path, const std::string& needle, int timeoutMs);

// A started program whose first stdout line has been read.
class Background {
  public:
    Background(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
    ~Background();  // SIGTERM and wait, if still running
    const std::string& firstLine() const { return firstLine_; }
    // Sends SIGTERM and returns the exit status.
    int stop();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string firstLine_;
};

// A krzlab process and its control endpoint.
class LabProcess {
  public:
    explicit LabProcess(const std::vector<std::string>& arguments = {});
    const std::string& address() const { return address_; }
    nlohmann::json control(const nlohmann::json& request);
    // The device's status as the lab reports it.
    nlohmann::json device(const std::string& name);

  private:
    std::unique_ptr<Background> process_;
    std::string address_;
};

}  // namespace tooltest
