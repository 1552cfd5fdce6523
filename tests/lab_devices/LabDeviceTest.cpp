#include <gtest/gtest.h>

#include <stdexcept>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krztest;

TEST(LabDevice, FamiliesAndFaultNames) {
    for (const char* family : {"acme", "borealis", "corvid", "printer", "nohttp"}) {
        DeviceSpec profile = labSpec(family, "");
        auto device = Device::create(profile);
        ASSERT_TRUE(device) << family;
        EXPECT_FALSE(device->running());
        EXPECT_EQ(device->port(), 0);
        EXPECT_EQ(device->state().family, family);
        if (std::string(family) != "nohttp") {
            EXPECT_FALSE(device->state().model.empty()) << "a default model for " << family;
        }
    }
    EXPECT_THROW(Device::create(labSpec("zyxel-ish", "X")), std::invalid_argument);

    for (Fault f : {Fault::None, Fault::Down, Fault::Refusing, Fault::Silent, Fault::Slow,
                    Fault::CloseEarly, Fault::Malformed}) {
        EXPECT_EQ(faultFromName(faultName(f)), f);
    }
    EXPECT_STREQ(faultName(Fault::CloseEarly), "close-early");
    EXPECT_THROW(faultFromName("Slow"), std::invalid_argument);
    EXPECT_THROW(faultFromName(""), std::invalid_argument);
}

TEST(LabDevice, StartStopKeepsThePortAndNoHttpHasNone) {
    auto device = Device::create(labSpec("printer", "LP-7"));
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

    DeviceSpec profile = labSpec("nohttp", "");
    profile.factoryAddress = "192.168.1.1";
    auto silent = Device::create(profile);
    std::string heard;
    silent->setAddressListener([&heard](const std::string& a) { heard = a; });
    silent->start();
    EXPECT_TRUE(silent->running());
    EXPECT_EQ(silent->port(), 0);
    silent->setFault(Fault::Down, 0);
    EXPECT_EQ(silent->state().fault, Fault::Down);
    silent->factoryReset();
    EXPECT_EQ(heard, "192.168.1.1");
    EXPECT_EQ(silent->state().address, "192.168.1.1");
    silent->stop();
    EXPECT_FALSE(silent->running());
}
