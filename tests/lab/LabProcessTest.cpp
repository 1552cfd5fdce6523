// The lab as its own process: joined from this process through KRZ_LAB, controlled from outside
// with "krzlab ctl", and its devices' endpoints reached by curl. Also the embedded default lab
// that the network library loads when nothing else is set.
#include "LabTestSupport.h"

#include "lab/net/LabNetwork.h"

#include "krznetlib/KRZGetArpTable.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krznetlib/KRZNetworkLibrary.h"
#include "krznetlib/KRZVirtualSocket.h"
#include "krzsettings/KRZSettings.h"
#include "platform/krzprocess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <thread>

using namespace labtest;
using nlohmann::json;

namespace {

// The library's way to the lab: the backend chosen by the settings on first use.
void useBackendFromSettings() {
    KRZSettings::reload();
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
}

void useNoNetwork() {
    krzprocess::unsetEnvironment("KRZ_LAB");
    krzprocess::unsetEnvironment("KRZ_LAB_FILE");
    KRZSettings::reload();
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>(new KRZNullNetworkBackend));
}

std::string driverMac(const char* address) {
    KRZNetworkLibrary driver;
    KRZGetArpTable table;
    KRZNetworkLibrary::getArpTable(table);
    auto it = table.table.entries.find(htonl(ip(address)));
    return it == table.table.entries.end() ? ""
                                           : krzlab::formatMac(krzlab::macFromUint64(it->second));
}

void arp(const KRZAdapterInfo& adapter, const char* target) {
    krzlab::MacBytes m{};
    std::memcpy(m.data(), adapter.getMacAddress().getBytes(), 6);
    KRZNetworkLibrary driver;
    ASSERT_EQ(
        KRZ_NDIS_STATUS_SUCCESS,
        KRZNetworkLibrary::sendPacketDown(KRZBuf(arpRequest(m, adapter.getIpAddress(), ip(target))),
                                          adapter.getMacAddress()));
}

// GET / through the packet driver to (address, MAC); "" when unreachable.
std::string fetch(const KRZAdapterInfo& adapter, const char* address, const char* deviceMac) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ip(address));
    to.sin_port = htons(80);
    KRZVirtualSocket vs;
    int r = vs.connect(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&to), sizeof to,
                       adapter.getMacAddress(), KRZMacAddress::fromUtf8String(deviceMac));
    std::string reply;
    if ((r == 0 || vs.getLastError() == WSAEWOULDBLOCK) && finishConnect(fd, 3000) == 0)
        reply = httpGet(fd);
    ::close(fd);
    return reply;
}

json ctl(const std::string& lab, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {KRZLAB_PROGRAM, "ctl", lab};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = 0;
    std::string out = run(argv, status);
    json answer = json::parse(out, nullptr, false);
    EXPECT_FALSE(answer.is_discarded()) << out;
    EXPECT_EQ(answer.value("ok", false) ? 0 : 1, status) << out;
    return answer;
}

class LabProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        child.reset(new Child({KRZLAB_PROGRAM}));
        std::string line = child->readLine();
        ASSERT_EQ(0u, line.rfind("KRZ_LAB=127.0.0.1:", 0)) << line;
        address = line.substr(8);
    }
    void TearDown() override {
        useNoNetwork();
        if (child && child->pid() > 0) {
            ctl(address, {"shutdown"});
            EXPECT_EQ(0, child->wait());
        }
    }
    std::unique_ptr<Child> child;
    std::string address;
};

TEST_F(LabProcessTest, JoiningHostSeesTheLabAndOutsideControlStopsAndRestartsDevices) {
    krzprocess::setEnvironment("KRZ_LAB", address.c_str());
    useBackendFromSettings();
    auto adapters = KRZAdapterInfo::getAdapterInfo();
    ASSERT_EQ(1u, adapters->size());
    const KRZAdapterInfo lab0 = (*adapters)[0];
    EXPECT_EQ("lab0", lab0.getName());

    json acme = ctl(address, {"device", "acme-1"})["device"];
    const std::string acmeMac = acme["mac"], acmeAddress = acme["address"];
    arp(lab0, acmeAddress.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(acmeMac, driverMac(acmeAddress.c_str()));
    EXPECT_EQ(0u, fetch(lab0, acmeAddress.c_str(), acmeMac.c_str()).rfind("HTTP/1.", 0));

    json stopped = ctl(address, {"stop", "acme-1"})["device"];
    EXPECT_FALSE(stopped["running"].get<bool>());
    EXPECT_EQ("", fetch(lab0, acmeAddress.c_str(), acmeMac.c_str()));
    arp(lab0, acmeAddress.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ("", driverMac(acmeAddress.c_str())) << "a stopped device does not answer ARP";

    json restarted = ctl(address, {"start", "acme-1"})["device"];
    EXPECT_TRUE(restarted["running"].get<bool>());
    EXPECT_EQ(acme, restarted) << "back with the same settings and endpoint";
    EXPECT_EQ(0u, fetch(lab0, acmeAddress.c_str(), acmeMac.c_str()).rfind("HTTP/1.", 0));

    json faulted = ctl(address, {"fault", "acme-1", "down"})["device"];
    EXPECT_EQ("down", faulted["linkFault"]);
    EXPECT_EQ("", fetch(lab0, acmeAddress.c_str(), acmeMac.c_str()));
    ctl(address, {"fault", "acme-1", "none"});
    EXPECT_NE("", fetch(lab0, acmeAddress.c_str(), acmeMac.c_str()));

    // A refused request is an error (on stderr), not an answer.
    int status = 0;
    EXPECT_EQ("", run({KRZLAB_PROGRAM, "ctl", address, "stop", "no-such-device"}, status));
    EXPECT_EQ(1, status);
}

TEST_F(LabProcessTest, FactoryResetsGatherBothCorvidsAtTheirFactoryAddress) {
    krzprocess::setEnvironment("KRZ_LAB", address.c_str());
    useBackendFromSettings();
    auto adapters = KRZAdapterInfo::getAdapterInfo();
    ASSERT_EQ(1u, adapters->size());
    const KRZAdapterInfo lab0 = (*adapters)[0];

    std::vector<std::string> macs;
    for (const char* name : {"corvid-1", "corvid-2"}) {
        json reset = ctl(address, {"reset", name})["device"];
        EXPECT_EQ("10.0.0.138", reset["address"]) << name;
        macs.push_back(reset["mac"]);
    }
    // Off the adapter's network, still on its link: ARP finds one of them, the driver carries a
    // connection to each by MAC.
    arp(lab0, "10.0.0.138");
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    std::string answered = driverMac("10.0.0.138");
    EXPECT_TRUE(answered == macs[0] || answered == macs[1]) << answered;
    for (const std::string& m : macs)
        EXPECT_EQ(0u, fetch(lab0, "10.0.0.138", m.c_str()).rfind("HTTP/1.", 0)) << m;
    EXPECT_EQ("", fetch(lab0, "192.168.77.31", macs[1].c_str())) << "gone from its old address";
}

TEST_F(LabProcessTest, CurlReachesEveryDeviceEndpoint) {
    int checked = 0;
    json all = ctl(address, {"devices"});
    ASSERT_TRUE(all.value("ok", false)) << all.dump();
    for (const json& d : all["devices"]) {
        uint16_t port = d["port"];
        if (d["family"] == "nohttp") {
            EXPECT_EQ(0, port) << d.dump();
            continue;
        }
        ASSERT_NE(0, port) << d.dump();
        int status = 0;
        std::string code =
            run({"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "5",
                 "http://127.0.0.1:" + std::to_string(port) + "/"},
                status);
        EXPECT_EQ(0, status) << d["name"];
        ASSERT_EQ(3u, code.size()) << d["name"];
        EXPECT_TRUE(code[0] == '2' || code[0] == '3' || code == "401") << d["name"] << " " << code;
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

TEST(LabEmbedded, TheLibraryRunsTheDefaultLabInProcessWhenNoLabIsNamed) {
    krzprocess::unsetEnvironment("KRZ_LAB");
    krzprocess::unsetEnvironment("KRZ_LAB_FILE");
    useBackendFromSettings();
    auto adapters = KRZAdapterInfo::getAdapterInfo();
    ASSERT_EQ(1u, adapters->size());
    EXPECT_EQ(ip("192.168.77.2"), (*adapters)[0].getIpAddress());
    arp((*adapters)[0], "192.168.77.10");
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_NE("", driverMac("192.168.77.10"));
    useNoNetwork();

    // A named file replaces the default; a bad one leaves a network without adapters.
    krzprocess::setEnvironment("KRZ_LAB_FILE", KRZ_LAB_FILES "/fifty.json");
    useBackendFromSettings();
    EXPECT_EQ(1u, KRZAdapterInfo::getAdapterInfo()->size());
    useNoNetwork();
    krzprocess::setEnvironment("KRZ_LAB_FILE", "/nonexistent/lab.json");
    useBackendFromSettings();
    EXPECT_EQ(0u, KRZAdapterInfo::getAdapterInfo()->size());
    useNoNetwork();

    // Only a loopback control endpoint can be joined.
    krzprocess::setEnvironment("KRZ_LAB", "192.0.2.1:80");
    useBackendFromSettings();
    EXPECT_EQ(0u, KRZAdapterInfo::getAdapterInfo()->size());
    useNoNetwork();
}

}  // namespace
