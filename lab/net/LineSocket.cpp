#include "lab/net/LineSocket.h"

#include "platform/krzplatform.h"

namespace krzlab {

bool LineSocket::connectLoopback(unsigned short port) {
    close();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return false;
    fd_ = static_cast<long long>(s);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
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
        int n = ::recv(static_cast<SOCKET>(fd_), chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

bool LineSocket::writeLine(const std::string& text) {
    std::string out = text + "\n";
    size_t done = 0;
    while (done < out.size()) {
        int n = ::send(static_cast<SOCKET>(fd_), out.data() + done,
                       static_cast<int>(out.size() - done), 0);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void LineSocket::close() {
    if (fd_ >= 0)
        closesocket(static_cast<SOCKET>(fd_));
    fd_ = -1;
    buffered_.clear();
}

}  // namespace krzlab
