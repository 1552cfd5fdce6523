#include "DeviceProbe.h"

#include "platform/krzplatform.h"
#include "testsupport/krzchild.h"

#include <cstdio>

namespace krztest {

CurlRun curl(const std::vector<std::string>& args) {
    // --noproxy: a proxy from the environment must never see these requests.
    std::vector<std::string> argv = {"/usr/bin/curl", "--noproxy", "*", "-sS", "--max-time", "15"};
    argv.insert(argv.end(), args.begin(), args.end());
    CurlRun run;
    int status = 0;
    run.out = krztest::run(argv, status);
    run.exitCode = status < 128 ? status : -1;
    return run;
}

std::string url(uint16_t port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

RawRun rawExchange(uint16_t port, const std::string& request) {
    RawRun run;
    SOCKET fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(fd);
        return run;
    }
    run.connected = true;
    ::send(fd, request.data(), static_cast<int>(request.size()), 0);
    // Each read waits at most 10 seconds for data.
    auto readable = [fd] {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{10, 0};
        return ::select(0, &set, nullptr, nullptr, &tv) > 0;
    };
    char buf[8192];
    int n;
    while (readable() && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
        run.bytes.append(buf, static_cast<std::size_t>(n));
        ++run.reads;
    }
    closesocket(fd);
    return run;
}

std::string getRequest(const std::string& path, const std::string& extraHeaders) {
    return "GET " + path +
           " HTTP/1.1\r\nConnection: Close\r\nHost: 10.0.0.2\r\nReferer: http://10.0.0.2/\r\n" +
           extraHeaders + "\r\n";
}

bool dechunk(const std::string& chunked, std::string& body) {
    body.clear();
    std::size_t pos = 0;
    for (;;) {
        std::size_t lineEnd = chunked.find("\r\n", pos);
        if (lineEnd == std::string::npos) {
            return false;
        }
        std::string line = chunked.substr(pos, lineEnd - pos);
        std::size_t digits = line.find_first_not_of("0123456789abcdefABCDEF");
        std::string hex = line.substr(0, digits);
        if (hex.empty() || (digits != std::string::npos && line[digits] != ';')) {
            return false;
        }
        std::size_t size = std::stoul(hex, nullptr, 16);
        pos = lineEnd + 2;
        if (size == 0) {
            return chunked.compare(pos, 2, "\r\n") == 0;
        }
        if (pos + size + 2 > chunked.size() || chunked.compare(pos + size, 2, "\r\n") != 0) {
            return false;
        }
        body += chunked.substr(pos, size);
        pos += size + 2;
    }
}

std::string headPart(const std::string& reply) {
    std::size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? reply : reply.substr(0, end + 2);
}

std::string bodyPart(const std::string& reply) {
    std::size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

krzlab::DeviceSpec labSpec(const std::string& family, const std::string& model, int host) {
    krzlab::DeviceSpec profile;
    profile.name = family + "-" + std::to_string(host);
    profile.family = family;
    profile.model = model;
    profile.address = "10.0.0." + std::to_string(host);
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:00:00:%02x", host & 0xff);
    profile.mac = mac;
    profile.username = "admin";
    profile.password = "secret";
    profile.wireless = {"LabNet", "wpa2-psk", "aes", "initial-key-1"};
    profile.factoryAddress = profile.address;
    profile.factoryUsername = profile.username;
    profile.factoryPassword = profile.password;
    profile.factoryWireless = profile.wireless;
    return profile;
}

std::string between(const std::string& page, const std::string& before, const std::string& after) {
    std::size_t start = page.find(before);
    if (start == std::string::npos) {
        return std::string();
    }
    start += before.size();
    std::size_t end = page.find(after, start);
    return end == std::string::npos ? std::string() : page.substr(start, end - start);
}

}  // namespace krztest
