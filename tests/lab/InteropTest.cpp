// Real programs against the lab: tshark decodes the frames the link accepts as ARP requests, and
// curl reads the devices' pages at their loopback endpoints.
#include "FakeDevice.h"
#include "LabTestSupport.h"

#include "lab/net/LabNetwork.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

using namespace labtest;

namespace {

// A classic pcap file of Ethernet frames.
void writePcap(const std::string& path, const std::vector<std::string>& frames) {
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&out](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&out](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    u32(0xA1B2C3D4);
    u16(2);
    u16(4);
    u32(0);
    u32(0);
    u32(65535);
    u32(1);  // Ethernet
    uint32_t second = 1700000000;
    for (const std::string& f : frames) {
        u32(second++);
        u32(0);
        u32(static_cast<uint32_t>(f.size()));
        u32(static_cast<uint32_t>(f.size()));
        out.write(f.data(), static_cast<std::streamsize>(f.size()));
    }
}

TEST(Interop, AcceptedFramesDecodeAsArpRequests) {
    if (!std::filesystem::exists("/usr/bin/tshark"))
        GTEST_SKIP() << "tshark is not installed";
    auto lab = krzlab::LabNetwork::create(krzlab::LabDescription::defaultLab(), makeFake);
    const krzlab::MacBytes adapter = lab->adapters().at(0).mac;
    std::vector<std::string> candidates, accepted;
    for (const char* target : {"192.168.77.10", "192.168.77.20", "10.0.0.138"})
        candidates.push_back(arpRequest(adapter, ip("192.168.77.2"), ip(target)));
    std::string reply = candidates[0];
    reply[21] = 2;
    candidates.push_back(reply);
    for (const std::string& f : candidates)
        if (lab->sendFrame(f, adapter) == krzlab::kStatusSuccess)
            accepted.push_back(f);
    ASSERT_EQ(3u, accepted.size());

    const std::string path = (std::filesystem::temp_directory_path() /
                              ("krzlab-arp-" + std::to_string(std::random_device()())))
                                 .string();
    writePcap(path, accepted);
    int status = 0;
    std::string out = run({"/usr/bin/tshark", "-r", path, "-Y", "arp.opcode==1", "-T", "fields",
                           "-e", "arp.dst.proto_ipv4", "-e", "arp.src.hw_mac", "-e", "eth.dst"},
                          status);
    std::filesystem::remove(path);
    EXPECT_EQ(0, status);
    EXPECT_EQ(
        "192.168.77.10\t02:4b:5a:00:00:02\tff:ff:ff:ff:ff:ff\n"
        "192.168.77.20\t02:4b:5a:00:00:02\tff:ff:ff:ff:ff:ff\n"
        "10.0.0.138\t02:4b:5a:00:00:02\tff:ff:ff:ff:ff:ff\n",
        out);
}

TEST(Interop, CurlReadsAFakeDevicePage) {
    auto lab = krzlab::LabNetwork::create(krzlab::LabDescription::defaultLab(), makeFake);
    for (const std::string& name : lab->deviceNames()) {
        uint16_t port = lab->status(name).port;
        if (port == 0)
            continue;
        int status = 0;
        std::string body = run({"/usr/bin/curl", "-s", "--max-time", "5",
                                "http://127.0.0.1:" + std::to_string(port) + "/"},
                               status);
        EXPECT_EQ(FakeDevice::page(name), body) << name;
    }
}

}  // namespace
