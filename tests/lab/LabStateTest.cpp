// Labs that run inside their processes and share one state file, as two krzpap runs (or krzpap
// and a host using the library's default lab) do: a change is stored as the device takes it and
// served by the other lab's device at its next request; reads store nothing; a stored reset moves
// the device in every lab; an HTTPS device shows one certificate in every lab until a reset.
#include "LabTestSupport.h"

#include "lab/net/LabEmbedded.h"
#include "testsupport/krztlsserver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using namespace krztest;

namespace {

// One HTTP/1.0 exchange with a device's loopback endpoint; the reply up to the device's close.
std::string httpExchange(uint16_t port, const std::string& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            reply.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

std::string corvidGet(krzlab::LabLink& lab, const std::string& target) {
    krzlab::Route route = lab.resolve(ip("192.168.77.30"), 80, nullptr, nullptr);
    EXPECT_TRUE(route.reachable);
    // corvid-1 has an empty password: Basic ":".
    return httpExchange(route.port,
                        "GET " + target + " HTTP/1.0\r\nAuthorization: Basic Og==\r\n\r\n");
}

std::string text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

TEST(LabState, LabsSharingAStateFileSeeEachOthersChanges) {
    const std::string path =
        ::testing::TempDir() + "krz_shared_lab_" + std::to_string(::getpid()) + ".json";
    std::remove(path.c_str());
    auto first = krzlab::embeddedLab("", path);
    auto second = krzlab::embeddedLab("", path);

    EXPECT_NE(std::string::npos, corvidGet(*first, "/wireless.htm").find(" 200 "));
    EXPECT_FALSE(std::ifstream(path).good()) << "a read stored the lab";

    std::string applied =
        corvidGet(*first, "/wlset.cgi?wl_ssid=Shared&wl_auth=open&wl_crypto=none&wl_passphrase=");
    ASSERT_NE(std::string::npos, applied.find("applied")) << applied;
    EXPECT_NE(std::string::npos, text(path).find("\"Shared\""));
    EXPECT_NE(std::string::npos, corvidGet(*second, "/wireless.htm").find("value=\"Shared\""));

    // A second change through the other lab keeps the first lab's (read afresh, not overwritten).
    corvidGet(*second, "/wlset.cgi?wl_ssid=Again&wl_auth=open&wl_crypto=none&wl_passphrase=");
    EXPECT_NE(std::string::npos, corvidGet(*first, "/wireless.htm").find("value=\"Again\""));

    // A reset stored from outside moves corvid-2 away from its address in both labs.
    EXPECT_TRUE(second->resolve(ip("192.168.77.31"), 80, nullptr, nullptr).reachable);
    std::string reason;
    ASSERT_TRUE(krzlab::resetStoredLab(path, "corvid-2", reason)) << reason;
    EXPECT_FALSE(first->resolve(ip("192.168.77.31"), 80, nullptr, nullptr).reachable);
    EXPECT_FALSE(second->resolve(ip("192.168.77.31"), 80, nullptr, nullptr).reachable);
    EXPECT_FALSE(krzlab::resetStoredLab(path, "nobody", reason));
    EXPECT_NE(std::string::npos, reason.find("its devices are: acme-1")) << reason;

    // The whole lab back to its start: the file goes, the devices keep serving.
    ASSERT_TRUE(krzlab::resetStoredLab(path, "", reason)) << reason;
    EXPECT_FALSE(std::ifstream(path).good());
    std::remove((path + ".lock").c_str());
}

// An HTTPS device's certificate is made once and stored: a second lab sharing the state shows the
// same one, and a reset stored from outside makes the next one new, in both labs.
TEST(LabState, LabsSharingAStateFileShowOneCertificateUntilAReset) {
    const std::string base = ::testing::TempDir() + "krz_tls_lab_" + std::to_string(::getpid());
    const std::string labFile = base + "_description.json", path = base + ".json";
    std::remove(path.c_str());
    std::ofstream(labFile)
        << R"({"adapters": [{"name": "lab0", "index": 7, "address": "192.168.77.2",
        "mask": "255.255.255.0", "mac": "02:4B:5A:00:00:02"}],
      "devices": [{"name": "secure-1", "family": "acme", "model": "AP-100", "address": "192.168.77.40",
        "mac": "02:4B:5A:00:00:40", "username": "admin", "password": "pw-one",
        "wireless": {"ssid": "S", "security": "wpa2-psk", "encryption": "aes", "key": "key-of-one"},
        "options": {"https": true}}]})";
    auto first = krzlab::embeddedLab(labFile, path);
    auto second = krzlab::embeddedLab(labFile, path);
    auto shown = [](krzlab::LabLink& lab) {
        krzlab::Route route = lab.resolve(ip("192.168.77.40"), 443, nullptr, nullptr);
        EXPECT_TRUE(route.reachable);
        return tlsExchange(route.port, "GET / HTTP/1.0\r\n\r\n").certificatePem;
    };
    std::string made = shown(*first);
    ASSERT_FALSE(made.empty());
    EXPECT_NE(std::string::npos, text(path).find("BEGIN CERTIFICATE")) << "not stored";
    EXPECT_EQ(shown(*second), made);
    EXPECT_EQ(shown(*first), made);

    std::string reason;
    ASSERT_TRUE(krzlab::resetStoredLab(path, "secure-1", reason)) << reason;
    std::string renewed = shown(*second);
    ASSERT_FALSE(renewed.empty());
    EXPECT_NE(renewed, made);
    EXPECT_EQ(shown(*first), renewed);
    std::remove(path.c_str());
    std::remove((path + ".lock").c_str());
    std::remove(labFile.c_str());
}
