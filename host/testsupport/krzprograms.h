// Programs the tests start and watch: run to completion with their output, started in the
// background, interrupted or stopped, and the files they leave (POSIX only: the tests that need
// them start Linux programs).
#pragma once

#include <string>
#include <vector>

namespace krztest {

struct ProgramOutcome {
    int status = -1;  // exit status; 128 + signal when a signal ended the program
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] is the program's path) to completion with `environment` (NAME=value
// entries) and stdin from the file `input`.
ProgramOutcome runProgram(const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment,
                          const std::string& input = "/dev/null");

// This process's environment as NAME=value entries.
std::vector<std::string> processEnvironment();

// Starts `argv` with stdout and stderr written to the files `outPath` and `errPath`; its process
// id.
int startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 const std::string& outPath, const std::string& errPath);
// Starts `argv` with this process's environment plus `variable`=<descriptor>; (the form nginx
// reads), the listening `socket` passed on as that descriptor; the socket is closed here.
int startWithListeningSocket(const std::vector<std::string>& argv, unsigned int socket,
                             const std::string& variable);
// Delivers what Ctrl-C delivers.
void interruptProgram(int pid);
// Asks a started program to end (a termination request) and waits for it; its exit status.
int stopProgram(int pid);
// Waits for a started program to end; its exit status as in ProgramOutcome.
int waitProgram(int pid);

// Waits until the file at `path` holds `needle`, following the changes of its folder; false when
// that did not happen within `timeoutMs`.
bool waitForText(const std::string& path, const std::string& needle, int timeoutMs);

// The permission bits of a file and its size; false when it does not exist.
bool fileModeAndSize(const std::string& path, unsigned& mode, long long& size);

// The name of the user this process runs as; empty when unknown.
std::string userName();

// A started program whose first stdout line has been read (it writes one once it is ready).
class BackgroundProgram {
  public:
    BackgroundProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment);
    ~BackgroundProgram();  // stops it if it still runs
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;
    const std::string& firstLine() const { return firstLine_; }
    // Asks it to end (a termination request) and returns the exit status.
    int stop();

  private:
    int pid_ = -1;
    int out_ = -1;
    std::string firstLine_;
};

}  // namespace krztest
