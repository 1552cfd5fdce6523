#include "krznetlib/KRZGetArpTable.h"
#include "krzutil/KRZArpFrame.h"
#include "krzutil/KRZBuf.h"
#include "krzutil/KRZCryptoUtil.h"
#include "krzutil/KRZEvent.h"
#include "krzutil/KRZException.h"
#include "krzutil/KRZMacAddress.h"
#include "krzutil/KRZMutex.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzplatform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

TEST(MacAddress, ParsesSeparatorsAndRejectsTheRest) {
    const unsigned char expected[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    for (const char* text : {"00:1A:2B:3C:4D:5E", "00-1a-2b-3c-4d-5e", "001A.2B3C.4D5E",
                             "001a2b3c4d5e", "00 1A 2B 3C 4D 5E", "0:01A2B3C4D5E"}) {
        KRZMacAddress mac = KRZMacAddress::fromUtf8String(text);
        EXPECT_TRUE(mac.isSet()) << text;
        EXPECT_EQ(std::memcmp(mac.getBytes(), expected, 6), 0) << text;
        EXPECT_EQ(mac.toHexString(), L"00:1A:2B:3C:4D:5E");
    }
    for (const char* text : {"", "00:1A:2B:3C:4D", "00:1A:2B:3C:4D:5E:6F", "00:1A:2B:3C:4D:5G",
                             ":001A2B3C4D5E", "001A2B3C4D5E:", "00_1A_2B_3C_4D_5E"}) {
        try {
            KRZMacAddress::fromUtf8String(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const KRZException& e) {
            EXPECT_EQ(e.getErrorCode(), 1);
        }
    }
    KRZMacAddress none;
    EXPECT_FALSE(none.isSet());
    EXPECT_EQ(none.toHexString(), L"");
    KRZMacAddress mac(expected);
    EXPECT_EQ(KRZMacAddress::fromUint64(mac.toUint64()), mac);
    uint64_t raw = 0;
    std::memcpy(&raw, expected, 6);  // first six bytes in memory are the address
    EXPECT_EQ(mac.toUint64(), raw);
    EXPECT_TRUE(KRZMacAddress::fromUtf8String("00:00:00:00:00:01") < mac);
}

TEST(TextCoding, HexDigitsOfEitherCaseAndUtf8AtEachLengthBoundary) {
    const std::string digits = "0123456789abcdefABCDEF";
    for (int c = -128; c < 128; ++c) {
        size_t at = c == 0 ? std::string::npos : digits.find(static_cast<char>(c));
        int expected = at == std::string::npos ? -1 : static_cast<int>(at < 16 ? at : at - 6);
        EXPECT_EQ(krzHexDigitValue(static_cast<char>(c)), expected) << c;
    }
    const std::pair<uint32_t, std::string> rows[] = {{0x41, "A"},
                                                     {0x7F, "\x7F"},
                                                     {0x80, "\xC2\x80"},
                                                     {0x7FF, "\xDF\xBF"},
                                                     {0x800, "\xE0\xA0\x80"},
                                                     {0xFFFF, "\xEF\xBF\xBF"},
                                                     {0x10000, "\xF0\x90\x80\x80"},
                                                     {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
    for (const auto& row : rows) {
        std::string out = "x";
        krzAppendUtf8(row.first, out);
        EXPECT_EQ(out, "x" + row.second) << row.first;
    }
}

TEST(Md5, Rfc1321Vectors) {
    struct {
        const char* in;
        const char* digest;
    } vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& v : vectors) {
        KRZBuf digest = KRZCryptoUtil::MD5(KRZBuf(std::string(v.in)));
        EXPECT_EQ(digest.size(), 16u);
        EXPECT_EQ(digest.toUtf8HexString(), v.digest);
        EXPECT_EQ(digest.toHexString(), std::wstring(v.digest, v.digest + 32));
    }
}

TEST(Exception, LogLineCarriesCodeUnitLineErrorAndMessage) {
    KRZException e("KRZPAPComm", 210, L"connect failed", 4);
    e.setMsError(10061);
    EXPECT_EQ(e.getLogLine(),
              L"KRZException: code 4 at KRZPAPComm line 210, Windows error 10061: connect failed");
    EXPECT_STREQ(
        e.what(),
        "KRZException: code 4 at KRZPAPComm line 210, Windows error 10061: connect failed");
    KRZException plain("KRZPAPModule", 7, L"", 5);
    EXPECT_EQ(plain.getLogLine(), L"KRZException: code 5 at KRZPAPModule line 7");
}

TEST(Mutex, ReentrantAndTimedFromAnotherThread) {
    KRZMutex mutex;
    mutex.lock();
    EXPECT_TRUE(mutex.lock(0));  // the holder takes it again at once
    auto tryElsewhere = [&mutex](unsigned long timeout) {
        bool taken = true;
        std::thread([&] {
            taken = mutex.lock(timeout);
            if (taken) {
                mutex.unlock();
            }
        }).join();
        return taken;
    };
    EXPECT_FALSE(tryElsewhere(0));
    mutex.unlock();
    EXPECT_FALSE(tryElsewhere(0));  // still held once
    mutex.unlock();
    EXPECT_TRUE(tryElsewhere(0));

    {
        KRZMutexGrabber grab(mutex);
        EXPECT_TRUE(grab.isLocked());
        EXPECT_TRUE(grab.lock(0));
        EXPECT_FALSE(tryElsewhere(20));
    }
    EXPECT_TRUE(tryElsewhere(0));  // the grabber released both holds
    EXPECT_TRUE(tryElsewhere(0xFFFFFFFFUL));
}

TEST(Event, ManualResetSharedByCopiesAndWokenFromAnotherThread) {
    KRZEvent event(L"", true, false, false, nullptr);
    EXPECT_FALSE(event.isSignaled(0));
    KRZEvent copy = event;
    copy.setEvent();
    EXPECT_TRUE(event.isSignaled(0));
    EXPECT_TRUE(event.isSignaled(0));  // stays set
    event.resetEvent();
    EXPECT_FALSE(copy.isSignaled(0));

    std::thread setter([copy]() mutable { copy.setEvent(); });
    EXPECT_TRUE(event.isSignaled(0xFFFFFFFFUL));  // INFINITE
    setter.join();

    KRZEvent autoReset(L"", false, true, false, nullptr);
    EXPECT_TRUE(autoReset.isSignaled(0));
    EXPECT_FALSE(autoReset.isSignaled(0));
}

TEST(Serialize, ArpTableRoundTripAndShortInput) {
    KRZGetArpTable table;
    table.flags.value = 7;
    uint32_t a1 = inet_addr("10.0.0.1"), a2 = inet_addr("192.168.1.1");
    const unsigned char mac1[6] = {1, 2, 3, 4, 5, 6};
    table.table.entries[a1] = KRZMacAddress(mac1).toUint64();
    table.table.entries[a2] = 0xBEEF0000AABBCCDDULL;
    std::string out;
    table.serialize(out);
    ASSERT_EQ(out.size(), 1u + 4 + 24);
    EXPECT_EQ(table.getSerializedSize(), out.size());
    EXPECT_EQ(out.substr(0, 5), std::string("\x07\x02\x00\x00\x00", 5));
    // First entry in key order; the address's bytes in network order, then the MAC's.
    const std::string first = out.substr(5, 12);
    EXPECT_EQ(first.substr(0, 10), std::string("\x0A\x00\x00\x01\x01\x02\x03\x04\x05\x06", 10));

    KRZGetArpTable back;
    const auto* bytes = reinterpret_cast<const unsigned char*>(out.data());
    EXPECT_EQ(back.deserialize(bytes, out.size()), out.size());
    EXPECT_EQ(back.flags.value, 7);
    ASSERT_EQ(back.table.entries.size(), 2u);
    EXPECT_EQ(KRZMacAddress::fromUint64(back.table.entries[a1]), KRZMacAddress(mac1));
    EXPECT_EQ(back.table.entries[a2], 0x0000AABBCCDDULL & 0xFFFFFFFFFFFFULL);  // last two not read

    // Input ending inside the second entry: 0, the first entry stays.
    KRZGetArpTable shortRead;
    EXPECT_EQ(shortRead.deserialize(bytes, out.size() - 1), 0u);
    EXPECT_EQ(shortRead.table.entries.size(), 1u);
    EXPECT_EQ(shortRead.deserialize(bytes, 3), 0u);

    // A count below 1 means none; a repeated address keeps its first MAC.
    KRZArpMap map;
    std::string negative("\xFF\xFF\xFF\xFF", 4);
    EXPECT_EQ(map.deserialize(reinterpret_cast<const unsigned char*>(negative.data()), 4), 4u);
    EXPECT_TRUE(map.entries.empty());
    std::string twice("\x02\x00\x00\x00", 4);
    std::string entry1("\x0A\x00\x00\x01\x01\x01\x01\x01\x01\x01\x00\x00", 12);
    std::string entry2("\x0A\x00\x00\x01\x02\x02\x02\x02\x02\x02\x00\x00", 12);
    twice += entry1 + entry2;
    EXPECT_EQ(map.deserialize(reinterpret_cast<const unsigned char*>(twice.data()), twice.size()),
              28u);
    ASSERT_EQ(map.entries.size(), 1u);
    EXPECT_EQ(map.entries.begin()->second, 0x010101010101ULL);

    // A copy serializes its own members, not the source's.
    KRZGetArpTable copy(table);
    table.table.entries.clear();
    std::string copied;
    copy.serialize(copied);
    EXPECT_EQ(copied, out);
}

// The request frame, byte for byte: an ARP sweep's question (sender address set) and an address
// probe (sender 0), built into a buffer holding stale bytes; setTarget touches the asked address
// alone.
TEST(ArpFrame, RequestBytesForSweepAndProbe) {
    auto hex = [](const unsigned char* bytes, size_t n) {
        std::string out;
        char two[3];
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(two, sizeof two, "%02x", bytes[i]);
            out += two;
        }
        return out;
    };
    const unsigned char mac[6] = {0x02, 0x00, 0x5e, 0x10, 0x20, 0xfe};
    struct Case {
        const char* what;
        const char* sender;
        const char* target;
        const char* frame;
    } cases[] = {
        {"sweep", "192.168.1.20", "192.168.1.77",
         "ffffffffffff02005e1020fe0806"
         "0001080006040001"
         "02005e1020fec0a80114"
         "000000000000c0a8014d"},
        {"probe", "0.0.0.0", "10.0.0.254",
         "ffffffffffff02005e1020fe0806"
         "0001080006040001"
         "02005e1020fe00000000"
         "0000000000000a0000fe"},
    };
    for (const Case& c : cases) {
        unsigned char frame[KRZArpFrame::kRequestSize];
        std::memset(frame, 0xA5, sizeof frame);
        KRZArpFrame::buildRequest(frame, mac, krztest::inAddr(c.sender).s_addr,
                                  krztest::inAddr(c.target).s_addr);
        EXPECT_EQ(hex(frame, sizeof frame), c.frame) << c.what;

        KRZArpFrame::setTarget(frame, krztest::inAddr("172.16.5.9").s_addr);
        std::string changed = c.frame;
        changed.replace(76, 8, "ac100509");
        EXPECT_EQ(hex(frame, sizeof frame), changed) << c.what;
    }
}

}  // namespace
