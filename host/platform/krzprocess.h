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

// As above, but `work` runs on a thread of its own and is not waited for once an interrupt has
// come: after `onInterrupt` (which asks it to stop), `onGiveUp` runs on the calling thread at once
// (to report what is known and put shared state in order) and the process ends with
// `giveUpStatus`. Work may include waits that run to their end whatever a cancel says; no fixed
// grace is guessed for them. Work that ended before the interrupt was seen returns as usual (true
// when an interrupt came meanwhile). An exception from `work` is passed on.
KRZPLATFORM_API bool runInterruptible(const std::function<void()>& work,
                                      const std::function<void()>& onInterrupt,
                                      const std::function<void()>& onGiveUp, int giveUpStatus);

// Ends the process at once with `status` after flushing standard output and error; no clean-up
// runs, so threads still at work cannot trip over it.
[[noreturn]] KRZPLATFORM_API void exitNow(int status);

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

// Value of an environment variable; empty when it is not set.
KRZPLATFORM_API std::string environment(const std::string& name);

// The folder, created if need be and open to this user only, where a program keeps its state for
// this user: $XDG_STATE_HOME/<program>, else ~/.local/state/<program> (on Windows the local
// application data folder). Empty with `reason` set when it cannot be made.
KRZPLATFORM_API std::string userStateDirectory(const std::string& program, std::string& reason);

// From now on, files and folders this process creates are readable by this user only.
KRZPLATFORM_API void restrictNewFilesToOwner();

// Makes an existing regular file readable and writable by this user only (anything else, such as
// /dev/null, is left as it is); `reason` says why not. On Windows a file in the user's own folders
// is already kept from others: nothing to do.
KRZPLATFORM_API bool restrictToOwner(const std::string& path, std::string& reason);

// Opens `path` for appending, creating it if need be, and closes it again: whether the process
// can write there. On failure, `reason` says why in the system's words.
KRZPLATFORM_API bool canAppendTo(const std::string& path, std::string& reason);

// Whether a TCP connection to `host` (dotted IPv4) and `port` can be opened (it is closed at
// once); `reason` says why not.
KRZPLATFORM_API bool tcpConnects(const std::string& host, int port, std::string& reason);

// Whether `path` names a file whose content can be read to its end: a regular file or a pipe, not a
// folder or a device; `reason` says why not, in the system's words where it has them.
KRZPLATFORM_API bool isFileToRead(const std::string& path, std::string& reason);

// Removes a file; true when it is gone (or never was).
KRZPLATFORM_API bool removeFile(const std::string& path);

// Writes `content` to `path` through a temporary file and a rename, so that a reader never sees
// half of it. The file is readable by this user only.
KRZPLATFORM_API bool writeFileAtomically(const std::string& path, const std::string& content);

// An exclusive lock that every process and thread of this user taking it on the same file sees:
// a lock file beside the data it guards (the data itself is replaced by rename, so it cannot carry
// the lock). The system drops it when its holder ends, however it ends.
class KRZPLATFORM_API FileLock {
  public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock on `path` (made if need be, owner-only), waiting at most `timeoutMs` for its
    // holder. False with `reason` set when it was still held then or the file cannot be opened.
    bool acquire(const std::string& path, int timeoutMs, std::string& reason);
    void release();

  private:
    long long handle_ = -1;
};

// The loader's own words for the last library that failed to load on this thread (the stand-in
// of LoadLibraryW keeps them); empty when none failed.
KRZPLATFORM_API std::string lastLoaderMessage();

// The folder this program's executable lives in, with a trailing separator; empty if unknown.
KRZPLATFORM_API std::string executableDirectory();

// The folder of the executable or shared library that holds `address` (a function or object of
// it), with a trailing separator; empty if unknown. A module finds its installed files with it.
KRZPLATFORM_API std::string libraryDirectoryOf(const void* address);

// Runs `program` with `arguments` in place of this process where the system can, otherwise as a
// child whose exit status becomes this process's. Returns only on failure, with the reason.
KRZPLATFORM_API std::string replaceProcess(const std::string& program,
                                           const std::vector<std::string>& arguments);

// Hands the file at `path` to the desktop's handler for its type (a page to the user's browser)
// without waiting for it. Returns an empty text, or why it could not.
KRZPLATFORM_API std::string openWithDesktop(const std::string& path);

}  // namespace krzprocess
