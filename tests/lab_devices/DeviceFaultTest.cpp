#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krztest;

namespace {

std::unique_ptr<Device> startedPrinter(Fault fault = Fault::None, int param = 0) {
    DeviceSpec profile = labSpec("printer", "LP-7");
    profile.fault = fault;
    profile.faultParam = param;
    auto device = Device::create(profile);
    device->start();
    return device;
}

}  // namespace

TEST(DeviceFault, SlowSendsTheSameReplyInPieces) {
    auto device = startedPrinter();
    RawRun normal = rawExchange(device->port(), getRequest("/"));
    device->setFault(Fault::Slow, 1);
    RawRun slow = rawExchange(device->port(), getRequest("/"));
    EXPECT_EQ(slow.bytes, normal.bytes);
    EXPECT_GT(slow.reads, 1);
    CurlRun viaCurl = curl({url(device->port(), "/")});
    EXPECT_EQ(viaCurl.exitCode, 0);
    EXPECT_EQ(viaCurl.out, bodyPart(normal.bytes));

    // A slow reply in progress ends at once when the device stops.
    device->setFault(Fault::Slow, 60000);
    std::thread reader([&device] { rawExchange(device->port(), getRequest("/")); });
    device->stop();
    reader.join();
    EXPECT_FALSE(device->running());
}

TEST(DeviceFault, CloseEarlyCutsHeadersOrBody) {
    auto device = startedPrinter(Fault::CloseEarly);
    std::set<std::string> cuts;
    for (int i = 0; i < 2; ++i) {
        RawRun run = rawExchange(device->port(), getRequest("/"));
        ASSERT_FALSE(run.bytes.empty());
        if (run.bytes.find("\r\n\r\n") == std::string::npos) {
            cuts.insert("headers");
        } else {
            std::size_t declared = std::stoul(between(run.bytes, "Content-Length: ", "\r\n"));
            EXPECT_LT(bodyPart(run.bytes).size(), declared);
            EXPECT_GT(bodyPart(run.bytes).size(), 0u);
            cuts.insert("body");
        }
    }
    EXPECT_EQ(cuts, (std::set<std::string>{"headers", "body"}));
    // curl takes a reply cut in its headers as one without body, and reports the cut body.
    std::set<std::string> seenByCurl;
    for (int i = 0; i < 2; ++i) {
        CurlRun run = curl({"-i", url(device->port(), "/")});
        if (run.exitCode == 18) {
            seenByCurl.insert("body");
        } else if (run.out.find("\r\n\r\n") == std::string::npos) {
            seenByCurl.insert("headers");
        }
    }
    EXPECT_EQ(seenByCurl, cuts);
    device->setFault(Fault::None, 0);
    EXPECT_EQ(curl({url(device->port(), "/")}).exitCode, 0);
}

TEST(DeviceFault, MalformedRepliesAreNotHttp) {
    auto device = startedPrinter();
    device->setFault(Fault::Malformed, 0);
    EXPECT_EQ(device->state().fault, Fault::Malformed);
    std::set<std::string> kinds;
    for (int i = 0; i < 3; ++i) {
        RawRun run = rawExchange(device->port(), getRequest("/"));
        ASSERT_FALSE(run.bytes.empty());
        std::string body;
        if (run.bytes.compare(0, 5, "HTTP/") != 0) {
            kinds.insert("garbage");
            EXPECT_NE(run.bytes.find('\0'), std::string::npos);
        } else if (headPart(run.bytes).find("chunked") != std::string::npos) {
            EXPECT_FALSE(dechunk(bodyPart(run.bytes), body));
            kinds.insert("chunks");
        } else {
            std::string code = run.bytes.substr(9, 3);
            EXPECT_EQ(code.find_first_not_of("0123456789"), 1u) << code;
            kinds.insert("status");
        }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"garbage", "chunks", "status"}));
}

TEST(DeviceFault, FaultsSwitchWhileServingAndRequestsThatAreNotHttp) {
    auto device = startedPrinter();
    uint16_t port = device->port();
    RawRun nonsense = rawExchange(port, std::string("\x16\x03\x01\x02\x00 junk\r\n\r\n", 15));
    EXPECT_EQ(nonsense.bytes.compare(0, 24, "HTTP/1.1 400 Bad Request"), 0);

    std::atomic<bool> done{false};
    std::thread switcher([&] {
        const Fault cycle[] = {Fault::None, Fault::Slow, Fault::CloseEarly, Fault::Malformed};
        for (int i = 0; !done; ++i) {
            device->setFault(cycle[i % 4], 1);
            (void)device->state();
        }
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([port] {
            for (int i = 0; i < 5; ++i) {
                rawExchange(port, getRequest("/"));
            }
        });
    }
    for (auto& t : clients) {
        t.join();
    }
    done = true;
    switcher.join();
    device->setFault(Fault::None, 0);
    EXPECT_EQ(rawExchange(port, getRequest("/")).bytes.compare(0, 15, "HTTP/1.1 200 OK"), 0);
}
