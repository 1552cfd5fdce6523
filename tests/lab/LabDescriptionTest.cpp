// Lab descriptions: the built-in labs, the shipped files, the JSON round trip and what is refused.
#include "lab/net/LabAddress.h"
#include "lab/net/LabDescription.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

using krzlab::LabDescription;
using nlohmann::json;

namespace {

bool inNetwork(const std::string& address, const krzlab::AdapterSpec& adapter) {
    uint32_t a, base, mask;
    return krzlab::parseIpv4(address, a) && krzlab::parseIpv4(adapter.address, base) &&
           krzlab::parseIpv4(adapter.mask, mask) && (a & mask) == (base & mask);
}

TEST(LabDescription, DefaultLabHasEveryKindOfHostOnOneNetwork) {
    LabDescription lab = LabDescription::defaultLab();
    ASSERT_EQ(1u, lab.adapters.size());
    const krzlab::AdapterSpec& lab0 = lab.adapters[0];
    EXPECT_EQ("lab0", lab0.name);
    EXPECT_EQ("192.168.77.2", lab0.address);
    EXPECT_EQ("255.255.255.0", lab0.mask);

    std::set<std::string> families, names, macs;
    for (const auto& e : lab.devices) {
        const krzlab::DeviceSpec& s = e.profile;
        families.insert(s.family);
        EXPECT_TRUE(names.insert(s.name).second) << s.name;
        EXPECT_TRUE(macs.insert(s.mac).second) << s.mac;
        krzlab::MacBytes mac;
        ASSERT_TRUE(krzlab::parseMac(s.mac, mac));
        EXPECT_EQ(0x02, mac[0] & 0x03) << s.name << ": locally administered, unicast";
        EXPECT_TRUE(inNetwork(s.address, lab0)) << s.name;
    }
    EXPECT_EQ((std::set<std::string>{"acme", "borealis", "corvid", "printer", "nohttp"}), families);
    // A corvid still at its factory settings whose reset leaves the adapter's network.
    bool movesOut = false;
    for (const auto& e : lab.devices)
        if (e.profile.family == "corvid" && e.profile.password == e.profile.factoryPassword &&
            e.profile.wireless == e.profile.factoryWireless &&
            !inNetwork(e.profile.factoryAddress, lab0))
            movesOut = true;
    EXPECT_TRUE(movesOut);
}

TEST(LabDescription, ShippedFilesMatchTheBuiltInLabs) {
    LabDescription fromFile = LabDescription::fromFile(KRZ_LAB_FILES "/default.json");
    EXPECT_EQ(LabDescription::defaultLab().toJson(), fromFile.toJson());

    LabDescription fifty = LabDescription::fromFile(KRZ_LAB_FILES "/fifty.json");
    EXPECT_EQ(LabDescription::generated(50).toJson(), fifty.toJson());
    ASSERT_EQ(50u, fifty.devices.size());
    std::set<std::string> addresses;
    for (const auto& e : fifty.devices) {
        EXPECT_TRUE(addresses.insert(e.profile.address).second) << e.profile.address;
        EXPECT_TRUE(inNetwork(e.profile.address, fifty.adapters[0])) << e.profile.address;
        EXPECT_NE(fifty.adapters[0].address, e.profile.address);
    }
}

TEST(LabDescription, JsonRoundTripKeepsEveryField) {
    const char* text = R"({
      "adapters": [{"name": "a", "index": 3, "address": "10.1.2.3", "mask": "255.255.0.0",
                    "mac": "02-AA-BB-CC-DD-EE"}],
      "devices": [{"name": "d", "family": "borealis", "model": "BR-5400", "firmware": "2.0",
                   "address": "10.1.9.9", "mac": "02aabbccdd01", "adapter": "a",
                   "username": "u", "password": "p\"w\u00e9",
                   "wireless": {"ssid": "S", "security": "wep", "encryption": "wep64",
                                "key": "0123456789"},
                   "factory": {"address": "10.0.0.1", "username": "fu", "password": "fp",
                               "wireless": {"ssid": "F", "security": "none", "encryption": "none",
                                            "key": ""}},
                   "fault": "slow", "faultParam": 25}]})";
    LabDescription lab = LabDescription::fromText(text);
    const krzlab::DeviceSpec& d = lab.devices.at(0).profile;
    EXPECT_EQ("p\"w\xc3\xa9", d.password);
    EXPECT_EQ(krzlab::Fault::Slow, d.fault);
    EXPECT_EQ(25, d.faultParam);
    EXPECT_EQ("10.0.0.1", d.factoryAddress);
    EXPECT_EQ("F", d.factoryWireless.ssid);
    EXPECT_EQ("a", lab.devices[0].adapter);
    json once = lab.toJson();
    EXPECT_EQ(once, LabDescription::fromText(once.dump()).toJson());

    // A device without a factory block resets to what it has now.
    LabDescription plain = LabDescription::fromText(
        R"({"adapters": [{"name": "a", "address": "10.0.0.2", "mask": "255.0.0.0",
                          "mac": "02:00:00:00:00:01"}],
            "devices": [{"name": "x", "family": "acme", "address": "10.0.0.5",
                         "mac": "02:00:00:00:00:05", "password": "now"}]})");
    EXPECT_EQ("10.0.0.5", plain.devices[0].profile.factoryAddress);
    EXPECT_EQ("now", plain.devices[0].profile.factoryPassword);
    EXPECT_EQ(krzlab::Fault::None, plain.devices[0].profile.fault);
}

TEST(LabDescription, UnusableDescriptionsAreRefusedWithTheReason) {
    const std::string adapter =
        R"({"name": "a", "address": "10.0.0.2", "mask": "255.0.0.0", "mac": "02:00:00:00:00:01"})";
    auto withDevice = [&adapter](const std::string& device) {
        return R"({"adapters": [)" + adapter + R"(], "devices": [)" + device + "]}";
    };
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"not JSON", "{"},
        {"no adapter", R"({"devices": []})"},
        {"index type", R"({"adapters": [{"name": "a", "index": "seven", "address": "10.0.0.2",
                           "mask": "255.0.0.0", "mac": "02:00:00:00:00:01"}]})"},
        {"adapter MAC", R"({"adapters": [{"name": "a", "address": "10.0.0.2",
                            "mask": "255.0.0.0", "mac": "02:00:00:00:01"}]})"},
        {"device address", withDevice(R"({"name": "x", "address": "10.0.0.256",
                                          "mac": "02:00:00:00:00:05"})")},
        {"device MAC", withDevice(R"({"name": "x", "address": "10.0.0.5", "mac": "zz"})")},
        {"fault", withDevice(R"({"name": "x", "address": "10.0.0.5", "mac": "02:00:00:00:00:05",
                                 "fault": "exploded"})")},
        {"adapter", withDevice(R"({"name": "x", "address": "10.0.0.5", "mac": "02:00:00:00:00:05",
                                   "adapter": "b"})")},
        {"duplicate",
         withDevice(R"({"name": "x", "address": "10.0.0.5", "mac": "02:00:00:00:00:05"},
                       {"name": "x", "address": "10.0.0.6", "mac": "02:00:00:00:00:06"})")},
        {"type", withDevice(R"({"name": "x", "address": 5, "mac": "02:00:00:00:00:05"})")}};
    for (const auto& [what, textValue] : bad)
        EXPECT_THROW(LabDescription::fromText(textValue), std::invalid_argument) << what;
    EXPECT_THROW(LabDescription::fromFile("/nonexistent/lab.json"), std::invalid_argument);
    EXPECT_THROW(LabDescription::fromJson(json{{"adapters", 7}}), std::invalid_argument);
}

}  // namespace
