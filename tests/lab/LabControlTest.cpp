// The control protocol carries the link faithfully: a client sees what the lab itself sees.
#include "FakeDevice.h"
#include "LabTestSupport.h"

#include "lab/net/LabControl.h"
#include "lab/net/LabControlClient.h"
#include "lab/net/LabControlServer.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace krztest;
using nlohmann::json;

namespace {

class LabControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        krzlab::LabDescription d = krzlab::LabDescription::defaultLab();
        // A second device at the first one's address, told apart by MAC only.
        krzlab::LabDeviceEntry twin = d.devices[0];
        twin.profile.name = "twin";
        twin.profile.mac = "02:4B:5A:00:00:99";
        d.devices.push_back(twin);
        lab = krzlab::LabNetwork::create(d, makeFake);
        server.reset(new krzlab::LabControlServer(lab, [] {}));
        client.reset(new krzlab::LabControlClient(server->address()));
    }
    std::shared_ptr<krzlab::LabNetwork> lab;
    std::unique_ptr<krzlab::LabControlServer> server;
    std::unique_ptr<krzlab::LabControlClient> client;
};

TEST_F(LabControlTest, ClientSeesTheSameLinkAsTheLab) {
    auto adapters = client->adapters();
    ASSERT_EQ(1u, adapters.size());
    const krzlab::LabAdapter& a = adapters[0];
    const krzlab::LabAdapter l = lab->adapters()[0];
    EXPECT_EQ(std::tie(l.name, l.index, l.address, l.mask, l.mac, l.gateway),
              std::tie(a.name, a.index, a.address, a.mask, a.mac, a.gateway));
    EXPECT_EQ(ip("192.168.77.20"), a.gateway) << "the default lab's router";

    std::string frame = arpRequest(a.mac, a.address, ip("192.168.77.20"));
    EXPECT_EQ(krzlab::kStatusSuccess, client->sendFrame(frame, a.mac));
    EXPECT_EQ(krzlab::kStatusInvalidPacket, client->sendFrame(frame.substr(1), a.mac));
    EXPECT_EQ(krzlab::kStatusAdapterNotFound, client->sendFrame(frame, mac("02:00:00:00:00:01")));
    waitForArpAnswers();
    std::map<uint32_t, uint64_t> remote, local;
    ASSERT_TRUE(client->driverTable(remote));
    ASSERT_TRUE(lab->driverTable(local));
    EXPECT_EQ(local, remote);
    EXPECT_EQ(1u, remote.count(htonl(ip("192.168.77.20"))));
    auto rows = client->hostTable();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(7u, rows[0].index);
    EXPECT_EQ(ip("192.168.77.20"), rows[0].address);

    const krzlab::MacBytes twinMac = mac("02:4B:5A:00:00:99");
    krzlab::Route viaMac = client->resolve(ip("192.168.77.10"), 80, &a.mac, &twinMac);
    EXPECT_TRUE(viaMac.reachable);
    EXPECT_EQ(lab->status("twin").port, viaMac.port);
    krzlab::Route plain = client->resolve(ip("192.168.77.10"), 80, nullptr, nullptr);
    EXPECT_EQ(lab->status("acme-1").port, plain.port);
    EXPECT_FALSE(client->resolve(ip("192.168.77.99"), 80, nullptr, nullptr).reachable);
    EXPECT_EQ(lab->refusingPort(), client->resolve(ip("192.168.77.10"), 81, nullptr, nullptr).port);

    krzlab::MacBytes found{};
    EXPECT_TRUE(client->lookup(ip("192.168.77.10"), {twinMac}, found));
    EXPECT_EQ(a.mac, found);
    EXPECT_FALSE(client->lookup(ip("192.168.77.11"), {twinMac}, found));
}

TEST_F(LabControlTest, BadRequestsAreAnsweredNotFatal) {
    for (const json& request :
         {json{{"op", "explode"}}, json{{"no-op", 1}}, json::array(),
          json{{"op", "send"}, {"adapter", "02:4B:5A:00:00:02"}, {"frame", "zz"}},
          json{{"op", "resolve"}, {"address", "300.1.1.1"}, {"port", 80}},
          json{{"op", "fault"}, {"name", "acme-1"}, {"fault", "exploded"}},
          json{{"op", "stop"}, {"name", "nobody"}}}) {
        json answer = client->request(request);
        EXPECT_FALSE(answer.value("ok", true)) << request.dump();
        EXPECT_FALSE(answer.value("error", std::string()).empty()) << request.dump();
    }
    EXPECT_TRUE(client->request({{"op", "devices"}}).value("ok", false)) << "still serving";
    EXPECT_THROW(krzlab::LabControlClient("192.0.2.1:80"), std::invalid_argument);
    EXPECT_THROW(krzlab::LabControlClient("127.0.0.1:99999"), std::invalid_argument);
}

TEST_F(LabControlTest, AClosedLabReachesNothing) {
    server.reset();
    EXPECT_TRUE(client->adapters().empty());
    EXPECT_EQ(krzlab::kStatusFailure, client->sendFrame(std::string(42, '\0'), {}));
    EXPECT_FALSE(client->resolve(ip("192.168.77.10"), 80, nullptr, nullptr).reachable);
    EXPECT_THROW(client->request({{"op", "devices"}}), std::runtime_error);
}

}  // namespace
