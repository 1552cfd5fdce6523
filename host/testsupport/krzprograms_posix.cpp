#include "testsupport/krzprograms.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace krztest {

namespace {

std::vector<char*> pointers(const std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (const std::string& t : texts)
        out.push_back(const_cast<char*>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const std::string& input, int outFd, int errFd, const std::vector<int>& toClose) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    for (int fd : toClose)
        posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<char*> args = pointers(argv);
    std::vector<char*> env = pointers(environment);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::vector<std::string> processEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    return env;
}

int waitProgram(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProgramOutcome runProgram(const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment, const std::string& input) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = spawn(argv, environment, input, out[1], err[1], {out[0], err[0]});
    close(out[1]);
    close(err[1]);
    ProgramOutcome outcome;
    // Both pipes at once, so a child that fills one is never stuck.
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    outcome.status = waitProgram(pid);
    return outcome;
}

int startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 const std::string& outPath, const std::string& errPath) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 || err < 0)
        throw std::runtime_error("cannot create " + outPath + " or " + errPath);
    pid_t pid = spawn(argv, environment, "/dev/null", out, err, {});
    close(out);
    close(err);
    return pid;
}

int startWithListeningSocket(const std::vector<std::string>& argv, unsigned int socket,
                             const std::string& variable) {
    int fd = static_cast<int>(socket);
    std::vector<std::string> environment = processEnvironment();
    environment.push_back(variable + "=" + std::to_string(fd) + ";");
    // The socket is inherited as it is: stdout and stderr stay this process's.
    int flags = fcntl(fd, F_GETFD);
    fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
    pid_t pid = -1;
    try {
        pid = spawn(argv, environment, "/dev/null", 1, 2, {});
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
    return pid;
}

void interruptProgram(int pid) {
    kill(pid, SIGINT);
}

int stopProgram(int pid) {
    kill(pid, SIGTERM);
    return waitProgram(pid);
}

bool waitForText(const std::string& path, const std::string& needle, int timeoutMs) {
    // Watch the folder, so that a file that does not exist yet is seen when it is made.
    std::string folder = path.substr(0, path.rfind('/') + 1);
    int watcher = inotify_init1(IN_CLOEXEC);
    if (watcher < 0 || inotify_add_watch(watcher, folder.c_str(), IN_CREATE | IN_MODIFY) < 0)
        throw std::runtime_error("cannot watch " + folder);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool found = false;
    while (!(found = fileText(path).find(needle) != std::string::npos)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        struct pollfd pfd = {watcher, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
            break;
        char events[4096];
        if (read(watcher, events, sizeof events) < 0 && errno != EINTR)
            break;
    }
    close(watcher);
    return found || fileText(path).find(needle) != std::string::npos;
}

bool fileModeAndSize(const std::string& path, unsigned& mode, long long& size) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return false;
    mode = st.st_mode & 07777u;
    size = static_cast<long long>(st.st_size);
    return true;
}

std::string userName() {
    const passwd* user = getpwuid(getuid());
    return user != nullptr ? user->pw_name : "";
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& environment) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = spawn(argv, environment, "/dev/null", out[1], 2, {out[0]});
    close(out[1]);
    out_ = out[0];
    char c;
    ssize_t n;
    while ((n = read(out_, &c, 1)) == 1 || (n < 0 && errno == EINTR)) {
        if (n == 1 && c == '\n')
            break;
        if (n == 1)
            firstLine_ += c;
    }
}

BackgroundProgram::~BackgroundProgram() {
    if (pid_ > 0)
        stop();
}

int BackgroundProgram::stop() {
    int status = stopProgram(pid_);
    pid_ = -1;
    close(out_);
    return status;
}

}  // namespace krztest
