#include "lab/net/LineSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace krzlab {

bool LineSocket::connectLoopback(unsigned short port) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close();
        return false;
    }
    return true;
}

bool LineSocket::readLine(std::string& line) {
    for (;;) {
        size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return true;
        }
        char chunk[4096];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

bool LineSocket::writeLine(const std::string& text) {
    std::string out = text + "\n";
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::send(fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void LineSocket::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    buffered_.clear();
}

}  // namespace krzlab
