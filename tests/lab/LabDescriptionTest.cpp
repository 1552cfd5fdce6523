// Lab descriptions: the shipped files, the JSON round trip and what is refused. The built-in labs'
// contents are what the end-to-end tests run against.
#include "lab/net/LabDescription.h"

#include <gtest/gtest.h>

using krzlab::LabDescription;
using nlohmann::json;

namespace {

TEST(LabDescription, ShippedFilesMatchTheBuiltInLabs) {
    EXPECT_EQ(LabDescription::defaultLab().toJson(),
              LabDescription::fromFile(KRZ_LAB_FILES "/default.json").toJson());
    EXPECT_EQ(LabDescription::generated(50).toJson(),
              LabDescription::fromFile(KRZ_LAB_FILES "/fifty.json").toJson());
}

TEST(LabDescription, JsonRoundTripKeepsEveryField) {
    const char* text = R"({
      "adapters": [{"name": "a", "index": 3, "address": "10.1.2.3", "mask": "255.255.0.0",
                    "mac": "02-AA-BB-CC-DD-EE", "gateway": "10.1.0.1"}],
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
    EXPECT_EQ("10.1.0.1", lab.adapters.at(0).gateway);
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
        {"adapter gateway", R"({"adapters": [{"name": "a", "address": "10.0.0.2",
                                "mask": "255.0.0.0", "mac": "02:00:00:00:00:01",
                                "gateway": "10.0.0"}]})"},
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
