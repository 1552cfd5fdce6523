// Emulated devices over HTTPS: the TLS side serves what the plain side serves, port 80 answers
// with each firmware's redirect when asked to, the certificate is the device's own (kept across
// restarts, new after a factory reset), and bad options are refused when the device is made.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <memory>
#include <stdexcept>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"
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
    EXPECT_EQ(device->requestsRead(), 2u);
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
