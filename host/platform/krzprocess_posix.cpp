#include "krzprocess.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
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

void exitNow(int status) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
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

std::string environment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? value : "";
}

namespace {

bool makeFolders(const std::string& path, std::string& reason) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') {
            continue;
        }
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            reason = part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        reason = path + ": not a folder";
        return false;
    }
    return true;
}

}  // namespace

std::string userStateDirectory(const std::string& program, std::string& reason) {
    std::string base = environment("XDG_STATE_HOME");
    if (base.empty() || base[0] != '/') {
        std::string home = environment("HOME");
        if (home.empty() || home[0] != '/') {
            reason = "neither XDG_STATE_HOME nor HOME names a folder";
            return std::string();
        }
        base = home + "/.local/state";
    }
    std::string folder = base + "/" + program;
    if (!makeFolders(folder, reason)) {
        return std::string();
    }
    return folder + "/";
}

void restrictNewFilesToOwner() {
    umask(077);
}

bool restrictToOwner(const std::string& path, std::string& reason) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return true;  // a device such as /dev/null is not ours to change
    if (chmod(path.c_str(), 0600) == 0)
        return true;
    reason = std::strerror(errno);
    return false;
}

bool canAppendTo(const std::string& path, std::string& reason) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

bool tcpConnects(const std::string& host, int port, std::string& reason) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        reason = "not an IPv4 address and port";
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!ok) {
        reason = std::strerror(errno);
    }
    close(fd);
    return ok;
}

bool removeFile(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool writeFileAtomically(const std::string& path, const std::string& content) {
    std::string temporary = path + ".new" + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t written = 0;
    while (written < content.size()) {
        ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    bool ok = close(fd) == 0 && written == content.size();
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool isFileToRead(const std::string& path, std::string& reason) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode))
        return true;
    reason = S_ISDIR(info.st_mode) ? "it is a folder" : "it is a device, not a file";
    return false;
}

FileLock::~FileLock() {
    release();
}

bool FileLock::acquire(const std::string& path, int timeoutMs, std::string& reason) {
    release();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    // flock, not fcntl: its locks belong to the open file, so two threads of one process exclude
    // each other as two processes do.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int pauseMs = 1;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            reason = errno == EWOULDBLOCK ? "another program holds it" : std::strerror(errno);
            close(fd);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        pauseMs = std::min(pauseMs * 2, 20);
    }
    handle_ = fd;
    return true;
}

void FileLock::release() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));  // drops the lock
        handle_ = -1;
    }
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

std::string libraryDirectoryOf(const void* address) {
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    char resolved[PATH_MAX];
    std::string path = realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string replaceProcess(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    // The program gets the signals as a freshly started one would, whatever this one held back.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    execv(program.c_str(), argv.data());
    return std::strerror(errno);
}

std::string openWithDesktop(const std::string& path) {
    const char* opener = "xdg-open";
    std::string found;
    std::string dirs = environment("PATH");
    for (size_t start = 0; start <= dirs.size() && found.empty();) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + opener;
        if (access(candidate.c_str(), X_OK) == 0)
            found = candidate;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (found.empty())
        return "no xdg-open on the PATH";
    // Twice forked, so that the opener is nobody's child to wait for.
    pid_t child = fork();
    if (child < 0)
        return std::strerror(errno);
    if (child == 0) {
        if (fork() == 0) {
            sigset_t none;
            sigemptyset(&none);
            pthread_sigmask(SIG_SETMASK, &none, nullptr);
            int quiet = open("/dev/null", O_RDWR);
            if (quiet >= 0) {
                dup2(quiet, 0);
                dup2(quiet, 1);
                dup2(quiet, 2);
            }
            execl(found.c_str(), opener, path.c_str(), static_cast<char*>(nullptr));
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return std::string();
}

}  // namespace krzprocess
