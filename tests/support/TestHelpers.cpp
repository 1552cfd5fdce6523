#include "TestHelpers.h"

#include <gtest/gtest.h>

#include "platform/krzplatform.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace krztest {

KRZPAPCException thrownBy(const std::function<void()>& body) {
    try {
        body();
    } catch (const KRZPAPCException& e) {
        return e;
    }
    ADD_FAILURE() << "no KRZPAPCException was thrown";
    return KRZPAPCException(const_cast<char*>("none"), 0, "", KRZPAPC_INTERNAL_ERROR);
}

in_addr inAddr(const std::string& text) {
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return a;
}

sockaddr_in loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

unsigned short boundPort(int fd) {
    sockaddr_in a{};
    int length = sizeof a;
    if (::getsockname(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw std::runtime_error("getsockname() failed");
    return ntohs(a.sin_port);
}

int boundLoopbackSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket() failed");
    sockaddr_in a = loopback(0);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        throw std::runtime_error("bind() failed");
    }
    return static_cast<int>(s);  // socket handles are small numbers on both systems
}

std::string dotted(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

}  // namespace krztest
