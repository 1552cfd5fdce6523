// The lab as its own process: joined from this process through KRZ_LAB, controlled from outside
// with "krzlab ctl". Also the embedded default lab that the network library loads when nothing
// else is set.
#include "LabTestSupport.h"

#include "lab/net/LabNetwork.h"

#include "krznetlib/KRZNetworkBackend.h"
#include "krzsettings/KRZSettings.h"
#include "platform/krzprocess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>

using namespace krztest;
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

// The adapter's MAC as the lab writes it.
krzlab::MacBytes macOf(const KRZAdapterInfo& adapter) {
    return mac(adapter.getMacAddress().toUtf8String().c_str());
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

TEST_F(LabProcessTest, JoiningHostSeesTheLabAndOutsideControlStopsRestartsAndResetsDevices) {
    krzprocess::setEnvironment("KRZ_LAB", address.c_str());
    useBackendFromSettings();
    auto adapters = KRZAdapterInfo::getAdapterInfo();
    ASSERT_EQ(1u, adapters->size());
    EXPECT_EQ("lab0", (*adapters)[0].getName());
    const krzlab::MacBytes lab0 = macOf((*adapters)[0]);

    json acme = ctl(address, {"device", "acme-1"})["device"];
    const std::string acmeMacText = acme["mac"], acmeAddress = acme["address"];
    const krzlab::MacBytes acmeMac = mac(acmeMacText.c_str());
    arp(acmeAddress.c_str(), lab0);
    waitForArpAnswers();
    EXPECT_EQ(acmeMacText, driverMac(acmeAddress.c_str()));
    EXPECT_EQ(0u, fetch(acmeAddress.c_str(), &acmeMac, lab0).rfind("HTTP/1.", 0));

    json stopped = ctl(address, {"stop", "acme-1"})["device"];
    EXPECT_FALSE(stopped["running"].get<bool>());
    EXPECT_EQ("", fetch(acmeAddress.c_str(), &acmeMac, lab0));
    arp(acmeAddress.c_str(), lab0);
    waitForArpAnswers();
    EXPECT_EQ("", driverMac(acmeAddress.c_str())) << "a stopped device does not answer ARP";

    json restarted = ctl(address, {"start", "acme-1"})["device"];
    EXPECT_TRUE(restarted["running"].get<bool>());
    EXPECT_EQ(acme["requestsRead"].get<unsigned>() + 1, restarted["requestsRead"]);
    acme["requestsRead"] = restarted["requestsRead"];
    EXPECT_EQ(acme, restarted) << "back with the same settings and endpoint";
    EXPECT_EQ(0u, fetch(acmeAddress.c_str(), &acmeMac, lab0).rfind("HTTP/1.", 0));

    json faulted = ctl(address, {"fault", "acme-1", "down"})["device"];
    EXPECT_EQ("down", faulted["linkFault"]);
    EXPECT_EQ("", fetch(acmeAddress.c_str(), &acmeMac, lab0));
    ctl(address, {"fault", "acme-1", "none"});
    EXPECT_NE("", fetch(acmeAddress.c_str(), &acmeMac, lab0));
    EXPECT_EQ("10.0.0.138", ctl(address, {"reset", "corvid-2"})["device"]["address"]);

    // A refused request is an error (on stderr), not an answer.
    int status = 0;
    EXPECT_EQ("", run({KRZLAB_PROGRAM, "ctl", address, "stop", "no-such-device"}, status));
    EXPECT_EQ(1, status);
}

TEST(LabEmbedded, TheLibraryRunsTheDefaultLabInProcessWhenNoLabIsNamed) {
    krzprocess::unsetEnvironment("KRZ_LAB");
    krzprocess::unsetEnvironment("KRZ_LAB_FILE");
    // The default lab keeps its state in the user's state folder: the test's own, empty one.
    const std::string home = ::testing::TempDir() + "krz_lab_home_" + std::to_string(getpid());
    krzprocess::setEnvironment("XDG_STATE_HOME", home);
    useBackendFromSettings();
    auto adapters = KRZAdapterInfo::getAdapterInfo();
    ASSERT_EQ(1u, adapters->size());
    EXPECT_EQ(ip("192.168.77.2"), (*adapters)[0].getIpAddress());
    arp("192.168.77.10", macOf((*adapters)[0]));
    waitForArpAnswers();
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
    krzprocess::unsetEnvironment("XDG_STATE_HOME");
    int status = 0;
    run({"/bin/rm", "-rf", home}, status);
}

}  // namespace
