// Buffered reads: lines, delimiters, counted runs, peeking and waiting, fed in controlled pieces.
#include "HttpTestSupport.h"
#include "TestSupport.h"

#include <chrono>
#include <functional>
#include <thread>

namespace {

struct Lines {
    std::vector<std::string> lines;
    KRZPAPCReadStatus last = KRZPAPC_READ_PENDING;
};

// Sends the pieces one by one, taking every complete line after each; then closes and takes the
// rest until getLine reports the close.
Lines linesOf(const std::vector<std::string>& pieces) {
    KRZPAPComm comm(std::string("127.0.0.1"));
    LoopbackPair pair(comm);
    Lines out;
    std::string line;
    for (const std::string& piece : pieces) {
        pair.write(piece);
        EXPECT_TRUE(waitReadable(comm.getFD()));
        while ((out.last = comm.getLine(line)) == KRZPAPC_READ_OK)
            out.lines.push_back(line);
        EXPECT_EQ(out.last, KRZPAPC_READ_PENDING);
    }
    pair.close();
    out.last = KRZPAPC_READ_PENDING;
    for (int i = 0; i < 100; ++i) {
        if (out.last == KRZPAPC_READ_PENDING)
            waitReadable(comm.getFD());
        out.last = comm.getLine(line);
        if (out.last == KRZPAPC_READ_CLOSED)
            break;
        if (out.last == KRZPAPC_READ_OK)
            out.lines.push_back(line);
    }
    return out;
}

using Strings = std::vector<std::string>;

// getLine over a socket: the same lines whole and one byte at a time (a pair split between two
// reads included); a tail without a line end is handed out at the close, then the close itself.
// The line cursor's own tests cut every text everywhere.
TEST(KRZPAPCommGetLine, LineEndRulesWholeAndByteByByte) {
    const std::pair<std::string, Strings> cases[] = {
        {"abc\r\ndef\r\n", {"abc", "def"}},
        {"a\n\rb\n", {"a", "b"}},
        {"a\n\n\r\nb\r\r\nc", {"a", "", "", "b", "", "c"}},
        {"\r\n\n\r\r\rx", {"", "", "", "", "x"}},
    };
    for (const auto& c : cases) {
        Strings bytes;
        for (char ch : c.first)
            bytes.push_back(std::string(1, ch));
        for (const Strings& pieces : {Strings{c.first}, bytes}) {
            Lines got = linesOf(pieces);
            EXPECT_EQ(got.lines, c.second) << c.first.size() << " bytes in " << pieces.size();
            EXPECT_EQ(got.last, KRZPAPC_READ_CLOSED);
        }
    }
    EXPECT_EQ(linesOf({}).lines, Strings{});
}

TEST(KRZPAPCommGetUntil, DelimiterFirstOccurrenceAndEnds) {
    KRZPAPComm comm(std::string("127.0.0.1"));
    LoopbackPair pair(comm);
    std::string out;
    pair.write("x--y--z");
    EXPECT_EQ(comm.getUntil(out, "--", 5), KRZPAPC_READ_OK);
    EXPECT_EQ(out, "x--");
    EXPECT_EQ(comm.getUntil(out, "--", 5), KRZPAPC_READ_OK);
    EXPECT_EQ(out, "y--");
    EXPECT_EQ(comm.peekData(out), KRZPAPC_READ_OK);
    EXPECT_EQ(out, "z");

    // A delimiter split across two reads; the waiting picks up the second piece.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pair.write("<!");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pair.write("-->rest");
    });
    EXPECT_EQ(comm.getUntil(out, "<!-->", 5), KRZPAPC_READ_OK);
    later.join();
    EXPECT_EQ(out, "z<!-->");

    // Bytes another read takes are forgotten by the line scan: a line end among the bytes that
    // arrived meanwhile is found.
    std::string line;
    pair.write("abc");
    ASSERT_TRUE(waitReadable(comm.getFD()));
    EXPECT_EQ(comm.getLine(line), KRZPAPC_READ_PENDING);
    pair.write("X\nrest\n");
    EXPECT_EQ(comm.getUntil(out, "X", 5), KRZPAPC_READ_OK);
    EXPECT_EQ(out, "restabcX");
    EXPECT_EQ(comm.getLine(line), KRZPAPC_READ_OK);
    EXPECT_EQ(line, "");
    EXPECT_EQ(comm.getLine(line), KRZPAPC_READ_OK);
    EXPECT_EQ(line, "rest");

    // The close ends a search that cannot succeed.
    pair.close();
    EXPECT_EQ(comm.getUntil(out, "never", 5), KRZPAPC_READ_CLOSED);
    EXPECT_EQ(out, "restabcX");
}

TEST(KRZPAPCommGetUntil, TimeOutAndWaitForData) {
    KRZPAPComm comm(std::string("127.0.0.1"));
    LoopbackPair pair(comm);
    std::string out = "kept";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(comm.getUntil(out, "\n", 1), KRZPAPC_READ_PENDING);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(out, "kept");

    // A cancel from another thread ends a data wait.
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        comm.setCancel(true);
    });
    EXPECT_FALSE(comm.waitForData(60));
    canceller.join();

    pair.write("d");
    EXPECT_TRUE(comm.waitForData(5));
    std::string data;
    EXPECT_EQ(comm.peekData(data), KRZPAPC_READ_OK);
    EXPECT_TRUE(comm.waitForData(0));  // buffered data needs no wait
}

TEST(KRZPAPCommBuffer, PeekAndGetData) {
    KRZPAPComm comm(std::string("127.0.0.1"));
    LoopbackPair pair(comm);
    std::string data;

    // Nothing arrived yet.
    EXPECT_EQ(comm.peekData(data), KRZPAPC_READ_PENDING);
    EXPECT_EQ(comm.getData(data), KRZPAPC_READ_PENDING);

    pair.write(std::string(40, 'a'));
    ASSERT_TRUE(waitReadable(comm.getFD()));
    EXPECT_EQ(comm.peekData(data), KRZPAPC_READ_OK);
    EXPECT_EQ(data, std::string(40, 'a'));

    pair.write("tail");
    ASSERT_TRUE(waitReadable(comm.getFD()));
    EXPECT_EQ(comm.peekData(data), KRZPAPC_READ_OK);  // a peek keeps what it saw
    EXPECT_EQ(data, std::string(40, 'a') + "tail");
    EXPECT_EQ(comm.getData(data), KRZPAPC_READ_OK);
    EXPECT_EQ(data, std::string(40, 'a') + "tail");
    EXPECT_EQ(comm.getData(data), KRZPAPC_READ_PENDING);  // emptied

    pair.close();
    ASSERT_TRUE(waitReadable(comm.getFD()));
    EXPECT_EQ(comm.getData(data), KRZPAPC_READ_CLOSED);
    EXPECT_EQ(comm.peekData(data), KRZPAPC_READ_CLOSED);
    EXPECT_EQ(data, std::string(40, 'a') + "tail");  // untouched by a read that found nothing
}

TEST(KRZPAPCommBuffer, InvalidSocketRaisesIoError) {
    KRZPAPComm comm(std::string("127.0.0.1"));
    auto codeOf = [](const std::function<void()>& f) {
        return krztest::thrownBy(f).getAPCErrorCode();
    };
    EXPECT_EQ(codeOf([&] { comm.waitForData(1); }), KRZPAPC_IO_ERROR);
    EXPECT_EQ(codeOf([&] { comm.readResponse(); }), KRZPAPC_IO_ERROR);
    std::string line;
    EXPECT_EQ(codeOf([&] { comm.getLine(line); }), KRZPAPC_IO_ERROR);
    EXPECT_EQ(codeOf([&] { comm.writeGetRequest("/"); }), KRZPAPC_IO_ERROR);
    // readResponseSynchronous does not wait on a connection that is not there.
    EXPECT_EQ(codeOf([&] { comm.readResponseSynchronous(); }), KRZPAPC_IO_ERROR);
}

}  // namespace
