// How a krzpap command ends: its exit code and sentence.
#pragma once

#include <stdexcept>
#include <string>

namespace krzpap {

// Exit codes, so that scripts can tell outcomes apart.
enum ExitCode {
    EXIT_OK = 0,
    EXIT_ERROR = 1,          // a failure not covered below
    EXIT_USAGE = 2,          // bad command line or a value that breaks a rule; nothing was sent
    EXIT_NOTHING_FOUND = 3,  // the scan, search or recognition found nothing
    EXIT_LOGIN_FAILED = 4,   // the device refused the credentials
    EXIT_UNREACHABLE = 5,    // nothing answers at the address, or no network to reach it on
    EXIT_CANCELLED = 6       // interrupted (Ctrl-C)
};

// An error that ends the command with a sentence for the user and an exit code.
class CommandError : public std::runtime_error {
  public:
    CommandError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

  private:
    ExitCode code_;
};

}  // namespace krzpap
