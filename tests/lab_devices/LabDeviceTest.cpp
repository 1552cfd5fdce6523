// The emulators' common parts: the families and fault names a description may use, and a device
// that keeps its port across stop and start. The bare "nohttp" device's state is what the link
// tests' FakeDevice keeps.
#include <gtest/gtest.h>

#include <stdexcept>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krztest;

TEST(LabDevice, FamiliesAndFaultNames) {
    for (const char* family : {"acme", "borealis", "corvid", "printer", "nohttp"})
        EXPECT_EQ(Device::create(labSpec(family, ""))->state().family, family);
    EXPECT_THROW(Device::create(labSpec("zyxel-ish", "X")), std::invalid_argument);

    for (Fault f : {Fault::None, Fault::Down, Fault::Refusing, Fault::Silent, Fault::Slow,
                    Fault::CloseEarly, Fault::Malformed}) {
        EXPECT_EQ(faultFromName(faultName(f)), f);
    }
    EXPECT_STREQ(faultName(Fault::CloseEarly), "close-early");
    EXPECT_THROW(faultFromName("Slow"), std::invalid_argument);
    EXPECT_THROW(faultFromName(""), std::invalid_argument);
}

TEST(LabDevice, StartStopKeepsThePort) {
    auto device = Device::create(labSpec("printer", "LP-7"));
    EXPECT_EQ(device->port(), 0);
    device->start();
    ASSERT_TRUE(device->running());
    uint16_t port = device->port();
    ASSERT_NE(port, 0);
    device->start();  // a second start changes nothing
    EXPECT_EQ(device->port(), port);
    device->stop();
    EXPECT_FALSE(device->running());
    EXPECT_EQ(device->port(), 0);
    EXPECT_FALSE(rawExchange(port, getRequest("/")).connected);
    device->start();
    EXPECT_EQ(device->port(), port);
    EXPECT_EQ(rawExchange(port, getRequest("/")).bytes.compare(0, 15, "HTTP/1.1 200 OK"), 0);
}
