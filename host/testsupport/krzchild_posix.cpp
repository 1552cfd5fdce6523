#include "testsupport/krzchild.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace krztest {

Child::Child(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        throw std::runtime_error("pipe");
    pid_ = static_cast<int>(::fork());
    if (pid_ == 0) {
        // A lab left behind by a crashed test would run forever.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(static_cast<pid_t>(pid_), SIGTERM);
        wait();
    }
    if (out_ >= 0)
        ::close(out_);
}

std::string Child::readLine() {
    for (;;) {
        size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        char buf[256];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0)
            return "";
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

int Child::wait() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(static_cast<pid_t>(pid_), &status, 0) == pid_)
        pid_ = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

std::string Child::readAll() {
    std::string out = buffered_;
    buffered_.clear();
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out_, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

std::string run(const std::vector<std::string>& argv, int& status) {
    Child child(argv);
    std::string out = child.readAll();
    status = child.wait();
    return out;
}

}  // namespace krztest
