// Emulated devices over HTTPS: the TLS side serves what the plain side serves, port 80 answers
// with each firmware's redirect when asked to, the certificate is the device's own (kept across
// restarts, new after a factory reset), and bad options are refused when the device is made.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <ostream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"
#include "lab/devices/TlsFront.h"
#include "recording/Recording.h"
#include "testsupport/krztlsserver.h"

using namespace krzlab;
using namespace krztest;

namespace {

std::unique_ptr<Device> startDevice(const std::string& family, const std::string& model,
                                    std::map<std::string, std::string> options) {
    DeviceSpec profile = labSpec(family, model);
    profile.options = std::move(options);
    std::unique_ptr<Device> device = Device::create(profile);
    device->start();
    return device;
}

std::string statusLine(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

std::string headerValue(const std::string& reply, const std::string& name) {
    return between(headPart(reply), "\r\n" + name + ": ", "\r\n");
}

struct RedirectCase {
    const char* family;
    const char* model;
    const char* https;
    const char* status;    // port 80's status line; "" for the family's own answer
    const char* location;  // "" where port 80 serves the page itself
};

void PrintTo(const RedirectCase& c, std::ostream* out) {
    *out << c.family << " https " << c.https;
}

class HttpsDevice : public ::testing::TestWithParam<RedirectCase> {};

TEST_P(HttpsDevice, PortEightyRedirectsOrServesAndTlsServesTheSamePage) {
    const RedirectCase& c = GetParam();
    std::map<std::string, std::string> options = {{"https", c.https}};
    if (*c.location != '\0')
        options["http"] = "redirect";
    std::unique_ptr<Device> device = startDevice(c.family, c.model, options);
    const std::string request = "GET /a/b?c=1 HTTP/1.1\r\nHost: 10.0.0.2:80\r\n\r\n";

    std::unique_ptr<Device> reference = startDevice(c.family, c.model, {});
    std::string asPlain = statusLine(rawExchange(reference->port(), request).bytes);
    std::string plain = rawExchange(device->endpointFor(80), request).bytes;
    EXPECT_EQ(statusLine(plain), *c.status != '\0' ? std::string(c.status) : asPlain);
    EXPECT_EQ(headerValue(plain, "Location"), c.location);

    uint16_t tlsPort = device->endpointFor(device->httpsPort());
    ASSERT_NE(tlsPort, 0);
    EXPECT_NE(tlsPort, device->port());
    TlsExchange secure = tlsExchange(tlsPort, request);
    ASSERT_FALSE(secure.certificatePem.empty());
    // Over TLS the device itself answers: what a plain device of the family answers.
    EXPECT_EQ(statusLine(secure.reply), asPlain);
    EXPECT_TRUE(secure.closeNotify) << "the device's close is not passed on as close_notify";
    // A client that says it has no more to send still gets the whole reply.
    TlsExchange halfClosed = tlsExchange(tlsPort, request, true);
    EXPECT_EQ(statusLine(halfClosed.reply), asPlain);
    EXPECT_TRUE(halfClosed.closeNotify);
    EXPECT_EQ(device->requestsRead(), 3u);
    EXPECT_EQ(device->endpointFor(8080), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Families, HttpsDevice,
    ::testing::Values(RedirectCase{"luci", "LB-1", "true", "HTTP/1.1 307 Temporary Redirect",
                                   "https://10.0.0.2/a/b?c=1"},
                      RedirectCase{"asuswrt", "RT-LAB1", "8443", "HTTP/1.1 307 Temporary Redirect",
                                   "https://10.0.0.2:8443/a/b?c=1"},
                      RedirectCase{"acme", "AP-100", "4443", "HTTP/1.1 301 Moved Permanently",
                                   "https://10.0.0.2:4443/a/b?c=1"},
                      RedirectCase{"corvid", "CR-5", "true", "", ""}),
    [](const ::testing::TestParamInfo<RedirectCase>& row) {
        return std::string(row.param.family);
    });

TEST(HttpsDeviceOptions, HttpOffClosesPortEightyOnlyAndBadOptionsAreRefused) {
    std::unique_ptr<Device> device =
        startDevice("acme", "AP-100", {{"https", "true"}, {"http", "off"}});
    EXPECT_EQ(device->endpointFor(80), 0);
    EXPECT_NE(device->port(), 0);  // listening still: the device is up, its port 80 refuses
    EXPECT_NE(device->endpointFor(443), 0);
    EXPECT_EQ(startDevice("acme", "AP-100", {})->endpointFor(443), 0);

    const std::map<std::string, std::string> bad[] = {
        {{"https", "0"}},     {{"https", "80"}},
        {{"https", "70000"}}, {{"https", "44x"}},
        {{"https", ""}},      {{"http", "redirect"}},
        {{"http", "off"}},    {{"https", "true"}, {"http", "later"}}};
    for (const auto& options : bad) {
        DeviceSpec profile = labSpec("acme", "AP-100");
        profile.options = options;
        EXPECT_THROW(Device::create(profile), std::invalid_argument) << options.begin()->second;
    }
}

TEST(HttpsDeviceCertificate, KeptAcrossRestartsAndNewAfterAFactoryReset) {
    std::unique_ptr<Device> device = startDevice("acme", "AP-100", {{"https", "true"}});
    EXPECT_TRUE(device->state().tlsCertificate.empty());  // made at the first HTTPS connection
    const std::string request = getRequest("/");
    std::string first = tlsExchange(device->endpointFor(443), request).certificatePem;
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(device->state().tlsCertificate, first);
    EXPECT_FALSE(device->state().tlsKey.empty());

    device->stop();
    device->start();
    EXPECT_EQ(tlsExchange(device->endpointFor(443), request).certificatePem, first);

    device->factoryReset();
    std::string second = tlsExchange(device->endpointFor(443), request).certificatePem;
    ASSERT_FALSE(second.empty());
    EXPECT_NE(second, first);
    EXPECT_EQ(device->state().tlsCertificate, second);

    // A certificate given with the settings (another process made it) is the one served.
    DeviceSpec adopted = device->state();
    adopted.tlsCertificate = first;
    adopted.tlsKey.clear();
    device->adoptState(adopted);
    EXPECT_TRUE(tlsExchange(device->endpointFor(443), request).certificatePem.empty())
        << "a certificate without its key is not served";
}

}  // namespace

// A played recording takes the same options: its recorded pages over TLS, a redirect on port 80.
TEST(HttpsDeviceOptions, APlayedRecordingServesHttpsToo) {
    Recording recording;
    recording.address = "192.168.1.1";
    recording.login.kind = "none";
    Exchange page;
    page.request.method = "GET";
    page.request.target = "/status.htm";
    page.reply.headers = {{"Content-Type", "text/html"}};
    page.reply.body = "<p>Recorded over TLS</p>";
    recording.exchanges.push_back(page);
    const std::string file = ::testing::TempDir() + "https_played_" + std::to_string(getpid());
    std::ofstream(file) << recording.toText();
    DeviceSpec profile;
    profile.name = "played-tls";
    profile.recording = file;
    profile.options = {{"https", "true"}, {"http", "redirect"}};
    std::unique_ptr<Device> device = Device::create(profile);
    device->start();
    const std::string request = getRequest("/status.htm");
    EXPECT_EQ(statusLine(rawExchange(device->endpointFor(80), request).bytes),
              "HTTP/1.1 301 Moved Permanently");
    EXPECT_EQ(bodyPart(tlsExchange(device->endpointFor(443), request).reply),
              "<p>Recorded over TLS</p>");
    std::remove(file.c_str());
}

// A client that shakes hands and then says nothing is dropped after the idle time (waited once,
// one second here), and the device's side is told, so neither holds a thread.
TEST(HttpsDeviceOptions, ASilentClientIsDroppedAfterTheIdleTime) {
    std::string certificate, key;
    makeDeviceCertificate(certificate, key);
    TlsIdentity identity(certificate, key);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at));
    ASSERT_EQ(0, ::listen(listener, 1));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length));
    auto served = std::make_shared<std::promise<std::string>>();
    std::future<std::string> done = served->get_future();
    std::thread server([listener, &identity, served] {
        int fd = ::accept(listener, nullptr, nullptr);
        int plain = -1;
        identity.serve(
            fd, [&plain](int handed) { plain = handed; }, 1);
        char byte;
        // What the device's side reads once the relay gave up: the end (0).
        std::string seen = plain < 0 ? "no hand-off" : std::to_string(::recv(plain, &byte, 1, 0));
        ::close(plain);
        ::close(fd);
        served->set_value(seen);
    });
    TlsExchange silent = tlsExchange(ntohs(at.sin_port), "");
    EXPECT_FALSE(silent.certificatePem.empty());
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        server.detach();  // stuck in the relay: the failure is the finding
        FAIL() << "the relay kept a silent client";
    }
    server.join();
    EXPECT_EQ(done.get(), "0");
    ::close(listener);
}
