#include "LabTestSupport.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace labtest {

std::string arpRequest(const krzlab::MacBytes& adapterMac, uint32_t sender, uint32_t target) {
    std::string f(42, '\0');
    auto put16 = [&f](size_t at, unsigned v) {
        f[at] = static_cast<char>(v >> 8);
        f[at + 1] = static_cast<char>(v);
    };
    auto put32 = [&f](size_t at, uint32_t v) {
        for (size_t i = 0; i < 4; ++i)
            f[at + i] = static_cast<char>(v >> (24 - 8 * i));
    };
    for (size_t i = 0; i < 6; ++i) {
        f[i] = static_cast<char>(0xFF);
        f[6 + i] = static_cast<char>(adapterMac[i]);
        f[22 + i] = static_cast<char>(adapterMac[i]);
    }
    put16(12, 0x0806);
    put16(14, 1);
    put16(16, 0x0800);
    f[18] = 6;
    f[19] = 4;
    put16(20, 1);
    put32(28, sender);
    put32(38, target);
    return f;
}

uint32_t ip(const char* dotted) {
    uint32_t a = 0;
    if (!krzlab::parseIpv4(dotted, a))
        throw std::invalid_argument(dotted);
    return a;
}

krzlab::MacBytes mac(const char* text) {
    krzlab::MacBytes m{};
    if (!krzlab::parseMac(text, m))
        throw std::invalid_argument(text);
    return m;
}

int finishConnect(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return -1;
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}

std::string httpGet(int fd) {
    const char request[] = "GET / HTTP/1.0\r\nHost: lab\r\n\r\n";
    if (::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) < 0)
        return "";
    std::string reply;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
    }
    return reply;
}

Child::Child(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        throw std::runtime_error("pipe");
    pid_ = ::fork();
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
        ::kill(pid_, SIGTERM);
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
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_)
        pid_ = -1;
    return status;
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

std::vector<int> kernelTcpStates(uint16_t localPort) {
    std::vector<int> states;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        size_t colon = local.find(':');
        if (colon == std::string::npos)
            continue;
        if (std::stoul(local.substr(colon + 1), nullptr, 16) == localPort)
            states.push_back(static_cast<int>(std::stoul(state, nullptr, 16)));
    }
    return states;
}

}  // namespace labtest
