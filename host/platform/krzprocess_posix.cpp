#include "krzprocess.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

namespace krzprocess {

bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);

    std::atomic<bool> interrupted{false};
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) {
                continue;
            }
            if (sig == SIGUSR1 && done) {
                return;
            }
            if (sig == SIGINT || sig == SIGTERM) {
                if (interrupted.exchange(true)) {
                    // A second Ctrl-C: the user wants out now.
                    _exit(128 + sig);
                }
                onInterrupt();
            }
        }
    });
    // Stops the watcher and restores the signal mask however `work` ends.
    struct Stop {
        std::atomic<bool>& done;
        std::thread& watcher;
        sigset_t& old;
        ~Stop() {
            done = true;
            pthread_kill(watcher.native_handle(), SIGUSR1);
            watcher.join();
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
        }
    } stop{done, watcher, old};
    work();
    return interrupted;
}

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void holdStopRequests() {
    // Every thread started later inherits the blocked signals; only waitForStopRequest takes them.
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void waitForStopRequest() {
    sigset_t set = stopSignals();
    int sig = 0;
    sigwait(&set, &sig);
}

void requestStop() {
    kill(getpid(), SIGTERM);
}

bool isTerminal(Stream stream) {
    int fd = stream == Stream::in    ? STDIN_FILENO
             : stream == Stream::out ? STDOUT_FILENO
                                     : STDERR_FILENO;
    return isatty(fd) == 1;
}

void setEnvironment(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
}

void unsetEnvironment(const std::string& name) {
    unsetenv(name.c_str());
}

std::string executableDirectory() {
    char self[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return std::string();
    }
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

std::string replaceProcess(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    return std::strerror(errno);
}

}  // namespace krzprocess
