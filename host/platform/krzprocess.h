// What the command-line programs need of the operating system: interrupts, terminals, the
// environment, their own location and starting another program. One implementation per system
// (krzprocess_posix.cpp, krzprocess_win.cpp), picked by the build.
#pragma once

#include "krzcompat/krzexport.h"

#include <functional>
#include <string>
#include <vector>

namespace krzprocess {

enum class Stream { in, out, err };

// Runs `work` on the calling thread. The first interrupt from the user (Ctrl-C, or a termination
// request) calls `onInterrupt` on another thread while `work` goes on; a second one ends the
// process at once with status 128 + the signal number (130 for Ctrl-C). Returns whether an
// interrupt came.
KRZPLATFORM_API bool runInterruptible(const std::function<void()>& work,
                                      const std::function<void()>& onInterrupt);

// For a program that serves until asked to stop: call holdStopRequests before starting any thread,
// then waitForStopRequest blocks until the user interrupts or requestStop is called from any
// thread.
KRZPLATFORM_API void holdStopRequests();
KRZPLATFORM_API void waitForStopRequest();
KRZPLATFORM_API void requestStop();

KRZPLATFORM_API bool isTerminal(Stream stream);

// Sets a variable of this process's environment (read back by the settings library).
KRZPLATFORM_API void setEnvironment(const std::string& name, const std::string& value);
// Removes a variable from this process's environment.
KRZPLATFORM_API void unsetEnvironment(const std::string& name);

// The folder this program's executable lives in, with a trailing separator; empty if unknown.
KRZPLATFORM_API std::string executableDirectory();

// Runs `program` with `arguments` in place of this process where the system can, otherwise as a
// child whose exit status becomes this process's. Returns only on failure, with the reason.
KRZPLATFORM_API std::string replaceProcess(const std::string& program,
                                           const std::vector<std::string>& arguments);

}  // namespace krzprocess
