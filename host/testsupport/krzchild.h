// A program the tests start, with its standard output on a pipe (POSIX only: the tests that need
// one start Linux programs).
#pragma once

#include <string>
#include <vector>

namespace krztest {

class Child {
  public:
    // argv[0] is the program's path.
    explicit Child(const std::vector<std::string>& argv);
    ~Child();  // ends the child (a termination request) if it is still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // The next line of its stdout (without "\n"); empty at the end.
    std::string readLine();
    // Everything it writes until it closes its stdout.
    std::string readAll();
    // Waits for it to end; its exit status (128 + the signal's number when a signal ended it).
    int wait();
    // Its process id while it has not been waited for, -1 after.
    int pid() const { return pid_; }

  private:
    int pid_ = -1;
    int out_ = -1;
    std::string buffered_;
};

// Runs a program to completion; its stdout, and its exit status in `status`.
std::string run(const std::vector<std::string>& argv, int& status);

}  // namespace krztest
