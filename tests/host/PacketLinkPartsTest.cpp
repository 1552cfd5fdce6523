// The Linux packet link's decisions that need no socket: which source address it claims and when,
// and what the ARP capture learns from frames.
#include "krznetlib/KRZAddressClaim.h"
#include "krznetlib/KRZArpCapture.h"
#include "krzutil/KRZArpFrame.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = KRZAddressClaim::Clock;
using Step = KRZAddressClaim::Step;
using std::chrono::milliseconds;

uint32_t host(const char* dotted) {
    return ntohl(krztest::inAddr(dotted).s_addr);
}

TEST(AddressClaim, CandidatesFromTheTopSkippingTakenAddresses) {
    Clock::time_point t0 = Clock::now();
    struct Case {
        const char* what;
        const char* net;
        const char* mask;
        const char* destination;
        const char* own;
        std::vector<const char*> known;
        std::vector<const char*> expected;  // in the order they are tried
    } cases[] = {
        {"skips destination, own and known",
         "192.168.1.0",
         "255.255.255.248",
         "192.168.1.6",
         "192.168.1.4",
         {"192.168.1.5"},
         {"192.168.1.3", "192.168.1.2", "192.168.1.1"}},
        {"never the network or broadcast address",
         "10.0.0.0",
         "255.255.255.252",
         "10.0.0.9",
         "10.0.0.8",
         {},
         {"10.0.0.2", "10.0.0.1"}},
        {"at most 16",
         "172.16.0.0",
         "255.255.255.0",
         "172.16.0.1",
         "172.16.0.2",
         {},
         {"172.16.0.254", "172.16.0.253", "172.16.0.252", "172.16.0.251", "172.16.0.250",
          "172.16.0.249", "172.16.0.248", "172.16.0.247", "172.16.0.246", "172.16.0.245",
          "172.16.0.244", "172.16.0.243", "172.16.0.242", "172.16.0.241", "172.16.0.240",
          "172.16.0.239"}},
    };
    for (const Case& c : cases) {
        std::set<uint32_t> known;
        for (const char* k : c.known) {
            known.insert(host(k));
        }
        KRZAddressClaim claim(host(c.net), host(c.mask), host(c.destination), host(c.own), known,
                              t0);
        ASSERT_EQ(claim.start(), KRZAddressClaim::Probe) << c.what;
        // Every candidate is taken in turn; the last one taken exhausts the claim.
        Clock::time_point now = t0;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(claim.candidate(), host(c.expected[i])) << c.what << " #" << i;
            now += milliseconds(10);
            Step step = claim.advance(now, true);
            EXPECT_EQ(step, i + 1 < c.expected.size() ? KRZAddressClaim::Probe
                                                      : KRZAddressClaim::Exhausted)
                << c.what << " #" << i;
            if (step == KRZAddressClaim::Probe) {
                EXPECT_EQ(claim.since(), now) << c.what;
            }
        }
    }
    // A network with no free address has nothing to probe.
    KRZAddressClaim none(host("10.0.0.0"), host("255.255.255.252"), host("10.0.0.1"),
                         host("10.0.0.2"), {}, t0);
    EXPECT_EQ(none.start(), KRZAddressClaim::Exhausted);
}

// Two probes 100 ms apart, the address claimed at 300 ms; a claim by anyone restarts the timing
// on the next candidate.
TEST(AddressClaim, ProbeTimingAndClaim) {
    Clock::time_point t0 = Clock::now();
    KRZAddressClaim claim(host("192.168.1.0"), host("255.255.255.0"), host("192.168.1.1"),
                          host("192.168.1.2"), {}, t0);
    ASSERT_EQ(claim.start(), KRZAddressClaim::Probe);
    struct Tick {
        int at;
        bool taken;
        Step expected;
    } ticks[] = {
        {99, false, KRZAddressClaim::Wait},     {100, false, KRZAddressClaim::Probe},
        {150, false, KRZAddressClaim::Wait},    {299, false, KRZAddressClaim::Wait},
        {300, false, KRZAddressClaim::Claimed},
    };
    for (const Tick& t : ticks) {
        EXPECT_EQ(claim.advance(t0 + milliseconds(t.at), t.taken), t.expected) << t.at;
    }
    EXPECT_EQ(claim.address(), host("192.168.1.254"));

    KRZAddressClaim moved(host("192.168.1.0"), host("255.255.255.0"), host("192.168.1.1"),
                          host("192.168.1.2"), {}, t0);
    ASSERT_EQ(moved.start(), KRZAddressClaim::Probe);
    EXPECT_EQ(moved.advance(t0 + milliseconds(120), false), KRZAddressClaim::Probe);
    EXPECT_EQ(moved.advance(t0 + milliseconds(200), true), KRZAddressClaim::Probe);
    EXPECT_EQ(moved.candidate(), host("192.168.1.253"));
    // The new candidate's first probe went out at 200: its second is due at 300, its claim at 500.
    EXPECT_EQ(moved.advance(t0 + milliseconds(299), false), KRZAddressClaim::Wait);
    EXPECT_EQ(moved.advance(t0 + milliseconds(300), false), KRZAddressClaim::Probe);
    EXPECT_EQ(moved.advance(t0 + milliseconds(499), false), KRZAddressClaim::Wait);
    EXPECT_EQ(moved.advance(t0 + milliseconds(500), false), KRZAddressClaim::Claimed);
    EXPECT_EQ(moved.address(), host("192.168.1.253"));
}

std::vector<unsigned char> arpFrame(int operation, const unsigned char mac[6], const char* sender,
                                    const char* target) {
    std::vector<unsigned char> frame(KRZArpFrame::kRequestSize);
    KRZArpFrame::buildRequest(frame.data(), mac, krztest::inAddr(sender).s_addr,
                              krztest::inAddr(target).s_addr);
    frame[21] = static_cast<unsigned char>(operation);
    return frame;
}

uint64_t macValue(const unsigned char mac[6]) {
    uint64_t value = 0;
    std::memcpy(&value, mac, 6);
    return value;
}

// Answers fill the driver's table and the record of who answered where; requests only say that an
// address was claimed; anything else teaches nothing.
TEST(ArpCapture, AnswersRequestsAndOtherFrames) {
    const unsigned char a[6] = {0x02, 0, 0, 0, 0, 0x0a};
    const unsigned char b[6] = {0x02, 0, 0, 0, 0, 0x0b};
    KRZArpCapture capture;
    Clock::time_point before = Clock::now();

    std::vector<unsigned char> notIpv4 = arpFrame(2, b, "192.168.1.9", "192.168.1.2");
    notIpv4[16] = 0x86;  // protocol IPv6
    std::vector<unsigned char> notArp = arpFrame(2, b, "192.168.1.9", "192.168.1.2");
    notArp[13] = 0x00;  // Ethernet type IPv4
    std::vector<unsigned char> shortFrame = arpFrame(2, b, "192.168.1.9", "192.168.1.2");
    shortFrame.resize(41);
    for (const auto* frame : {&notIpv4, &notArp, &shortFrame}) {
        capture.note(frame->data(), frame->size(), 3);
    }
    std::vector<unsigned char> probe = arpFrame(1, b, "0.0.0.0", "192.168.1.9");
    capture.note(probe.data(), probe.size(), 3);
    EXPECT_TRUE(capture.driverTable().empty());
    EXPECT_FALSE(capture.claimedSince(host("192.168.1.9"), before));
    EXPECT_FALSE(capture.claimedSince(0, before));

    std::vector<unsigned char> request = arpFrame(1, b, "192.168.1.7", "192.168.1.2");
    capture.note(request.data(), request.size(), 3);
    EXPECT_TRUE(capture.claimedSince(host("192.168.1.7"), before));
    EXPECT_FALSE(capture.claimedSince(host("192.168.1.7"), Clock::now() + milliseconds(1)));
    EXPECT_TRUE(capture.driverTable().empty());

    // Two devices answer for one address on two adapters: the table keeps the latest, the
    // record both.
    std::vector<unsigned char> fromA = arpFrame(2, a, "192.168.1.1", "192.168.1.2");
    std::vector<unsigned char> fromB = arpFrame(2, b, "192.168.1.1", "192.168.1.2");
    capture.note(fromA.data(), fromA.size(), 3);
    capture.note(fromB.data(), fromB.size(), 4);
    std::map<uint32_t, uint64_t> table = capture.driverTable();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[krztest::inAddr("192.168.1.1").s_addr], macValue(b));
    int ifindex = 0;
    EXPECT_TRUE(capture.capturedOn(krztest::inAddr("192.168.1.1").s_addr, a, ifindex));
    EXPECT_EQ(ifindex, 3);
    EXPECT_TRUE(capture.capturedOn(krztest::inAddr("192.168.1.1").s_addr, b, ifindex));
    EXPECT_EQ(ifindex, 4);
    EXPECT_FALSE(capture.capturedOn(krztest::inAddr("192.168.1.7").s_addr, b, ifindex));
    EXPECT_FALSE(capture.capturedOn(krztest::inAddr("192.168.1.2").s_addr, a, ifindex));
    EXPECT_TRUE(capture.claimedSince(host("192.168.1.1"), before));
}

}  // namespace
