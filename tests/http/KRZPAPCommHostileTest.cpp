// Devices that try to exhaust or fool the reader: floods past each bound, resets wherever they
// come, replies cut short, and copies of a connection that share its socket.
#include "HttpTestSupport.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include "core/KRZPAPModule.h"
#include "platform/krzplatform.h"

#include <cstdio>
#include <memory>

namespace {

const std::string STATUS = "HTTP/1.1 200 OK\r\n";
const std::string CHUNKED = STATUS + "Transfer-Encoding: chunked\r\n\r\n";

struct Outcome {
    int code = 0;
    unsigned int msError = 0;
    std::string message;
};

Outcome fetch(const ScriptedPeer::Script& script, KRZPAPComm& comm) {
    ScriptedPeer peer(script);
    comm.setTimeout(10);  // never waited out: every case ends sooner, also on a loaded machine
    comm.openConnection(peer.port(), false);
    comm.writeGetRequest("/");
    Outcome out;
    try {
        comm.readResponseSynchronous();
    } catch (const KRZPAPCException& e) {
        out.code = e.getAPCErrorCode();
        out.msError = e.getMsError();
        std::wstring w = e.getMessage();
        out.message.assign(w.begin(), w.end());
    }
    return out;
}

struct HostileCase {
    const char* name;
    ScriptedPeer::Script script;
    int code;
    unsigned int msError;
    std::string message;  // the exception's message
    std::string body;     // what stays readable afterwards
};

ScriptedPeer::Script after(const std::string& prefix) {
    return ScriptedPeer::Script().awaitRequest().write(prefix);
}

std::vector<HostileCase> hostileCases() {
    const std::string chunk = "1000\r\n" + std::string(4096, 'c') + "\r\n";
    const std::string fiveThousand = std::string(5000, 'b');
    char chunkSize[16];
    std::snprintf(chunkSize, sizeof chunkSize, "%zx\r\n", fiveThousand.size());
    return {
        {"endless header lines", after(STATUS).flood("X-Flood: 0123456789abcdef\r\n"),
         KRZPAPC_IO_ERROR, 0, "Reply refused: header block over 262144 bytes", ""},
        {"a header line that never ends", after(STATUS + "X-Long: ").flood(std::string(4096, 'a')),
         KRZPAPC_IO_ERROR, 0, "Reply refused: header line over 65536 bytes", ""},
        {"read-to-close body without end", after(STATUS + "\r\n").flood(std::string(4096, 'b')),
         KRZPAPC_IO_ERROR, 0, "Reply refused: reply over 16777216 bytes", ""},
        {"chunked body without end", after(CHUNKED).flood(chunk), KRZPAPC_IO_ERROR, 0,
         "Reply refused: reply over 16777216 bytes", ""},
        {"a chunk of 7fffffff bytes", after(CHUNKED + "7fffffff\r\n").flood(std::string(4096, 'd')),
         KRZPAPC_IO_ERROR, 0, "Reply refused: reply over 16777216 bytes", ""},
        {"a chunk-size line that never ends", after(CHUNKED).flood("0000000000000000"),
         KRZPAPC_IO_ERROR, 0, "Reply refused: chunk-size line over 4096 bytes", ""},
        {"a declared length of 2147483647",
         after(STATUS + "Content-Length: 2147483647\r\n\r\n").flood(std::string(4096, 'e')),
         KRZPAPC_IO_ERROR, 0, "Reply refused: declared length over 16777216 bytes", ""},
        {"a page without status line that never ends", after("<p>").flood("<b>x</b>\n"),
         KRZPAPC_IO_ERROR, 0, "Reply refused: reply over 16777216 bytes", ""},
        {"reset right after the request", ScriptedPeer::Script().awaitRequest().reset(),
         KRZPAPC_IO_ERROR, WSAECONNRESET, "", ""},
        {"reset inside the header block", after(STATUS + "A: b\r\n").pause(100).reset(),
         KRZPAPC_IO_ERROR, WSAECONNRESET, "", ""},
        {"reset inside a chunked body",
         after(CHUNKED + chunkSize + fiveThousand + "\r\n10\r\nabc").pause(100).reset(),
         KRZPAPC_IO_ERROR, WSAECONNRESET, "", fiveThousand + "abc"},
        {"reset inside a declared length",
         after(STATUS + "Content-Length: 9\r\n\r\nab").pause(100).reset(), KRZPAPC_IO_ERROR,
         WSAECONNRESET, "", "ab"},
        {"a declared length of exactly the bound is taken, then cut short",
         after(STATUS + "Content-Length: 16777216\r\n\r\nab"), KRZPAPC_IO_ERROR, 0,
         "Reply cut short", "ab"},
        {"close before the declared length",
         after(STATUS + "Content-Length: 100\r\n\r\n0123456789"), KRZPAPC_IO_ERROR, 0,
         "Reply cut short", "0123456789"},
        {"close inside a chunk", after(CHUNKED + "10\r\nabc"), KRZPAPC_IO_ERROR, 0,
         "Reply cut short", "abc"},
        {"close between chunks", after(CHUNKED + "3\r\nabc\r\n"), KRZPAPC_IO_ERROR, 0,
         "Reply cut short", "abc"},
        {"close inside the header block", after(STATUS + "A: b\r\nX-Ha"), KRZPAPC_IO_ERROR, 0,
         "Reply cut short", ""},
    };
}

// Each case ends with its own error, never with a time-out or a reply that looks complete; what
// arrived stays readable, and the connection is closed.
TEST(KRZPAPCommHostile, EveryCaseEndsWithItsError) {
    std::string path = ::testing::TempDir() + "krzpap_hostile_log_" + std::to_string(::getpid());
    std::remove(path.c_str());
    KRZPAPModule::setLogFile(std::wstring(path.begin(), path.end()), 0);
    for (const HostileCase& c : hostileCases()) {
        if (c.msError == WSAECONNRESET && krztest::underWine()) {
            continue;  // Wine reports the peer's abortive close as an orderly end, not a reset
        }
        KRZPAPComm comm(std::string("127.0.0.1"));
        Outcome out = fetch(c.script, comm);
        EXPECT_EQ(out.code, c.code) << c.name;
        EXPECT_EQ(out.msError, c.msError) << c.name;
        EXPECT_EQ(out.message, c.message) << c.name;
        if (!c.body.empty()) {
            EXPECT_EQ(comm.getResponseBody(), c.body) << c.name;
        }
        EXPECT_LE(comm.getResponseHeaders().size() + comm.getResponseBody().size(),
                  KRZPAPComm::MAX_REPLY + 64 * 1024)
            << c.name;
        EXPECT_EQ(comm.getFD(), static_cast<unsigned int>(INVALID_SOCKET)) << c.name;
    }
    // Each refusal and each cut reply left its line, with the device's address, at level 0.
    std::string log = krztest::fileText(path);
    for (const HostileCase& c : hostileCases()) {
        std::string line = c.message == "Reply cut short"
                               ? "readResponseSynchronous(): reply cut short\n"
                               : c.message + "\n";
        if (!c.message.empty()) {
            EXPECT_NE(log.find("[0] 127.0.0.1: " + line), std::string::npos) << c.name;
        }
    }
    std::remove(path.c_str());
}

// A cut reply's body is logged as far as it came when its length framed it; a chunked one, whose
// pieces are not the body yet, is not logged as a body at all.
TEST(KRZPAPCommHostile, ACutBodyIsLoggedOnlyWhenItsLengthFramedIt) {
    const struct {
        const char* name;
        std::string reply;
        bool loggedAsBody;
    } cases[] = {
        {"length", STATUS + "Content-Length: 100\r\n\r\nlength-framed", true},
        {"chunked", STATUS + "Transfer-Encoding: chunked\r\n\r\n20\r\nchunk-framed", false},
    };
    for (const auto& c : cases) {
        // A log of its own for each case: Windows keeps an open log file from being removed.
        std::string path =
            ::testing::TempDir() + "krzpap_cut_log_" + c.name + "_" + std::to_string(::getpid());
        std::remove(path.c_str());
        KRZPAPModule::setLogFile(std::wstring(path.begin(), path.end()), 0);
        KRZPAPModule::setLogLevel(KRZ_LOG_DUMP);
        KRZPAPComm comm(std::string("127.0.0.1"));
        EXPECT_EQ(fetch(after(c.reply), comm).message, "Reply cut short") << c.name;
        KRZPAPModule::setLogLevel(KRZ_LOG_TRACE);
        std::string log = krztest::fileText(path);
        EXPECT_NE(log.find("Received HTTP headers:\n"), std::string::npos) << c.name;
        EXPECT_EQ(log.find("Received HTTP body:\n") != std::string::npos, c.loggedAsBody) << log;
        EXPECT_EQ(log.find("-framed\n") != std::string::npos, c.loggedAsBody) << log;
        std::remove(path.c_str());
    }
}

// While a device sends without pause, each call of the resumable reader still returns after a
// bounded share, so that the caller's loop keeps its clock and its other connections turning.
TEST(KRZPAPCommHostile, ResumableReaderYieldsDuringAFlood) {
    const size_t flood = 12u << 20;
    ScriptedPeer peer(after(STATUS + "\r\n").flood(std::string(65536, 'f'), flood));
    KRZPAPComm comm(std::string("127.0.0.1"));
    comm.openConnection(peer.port(), false);
    comm.writeGetRequest("/");
    size_t largestStep = 0;
    KRZPAPCReadStatus status = KRZPAPC_READ_PENDING;
    while (status == KRZPAPC_READ_PENDING && waitReadable(comm.getFD())) {
        size_t before = comm.getResponseBody().size();
        status = comm.readResponse();
        largestStep = std::max(largestStep, comm.getResponseBody().size() - before);
    }
    EXPECT_EQ(status, KRZPAPC_READ_OK);
    EXPECT_EQ(comm.getResponseBody().size(), flood);  // within the bounds, read whole
    EXPECT_LE(largestStep, (1u << 20) + 64 * 1024);
}

// Whether the socket handle still names an open socket (asking it fails once it is closed).
bool socketOpen(SOCKET s) {
    int error = 0;
    int length = sizeof error;
    return getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0;
}

// Copies share the socket; whichever lets go first, the socket stays usable for the others and
// is closed exactly once, by the last.
TEST(KRZPAPCommHostile, CopiesNeverCloseASocketTwice) {
    const std::string reply = STATUS + "Content-Length: 2\r\n\r\nok";
    {
        // A copy that goes away leaves the original's connection open.
        auto original = std::make_unique<KRZPAPComm>(std::string("127.0.0.1"));
        LoopbackPair pair(*original);
        { KRZPAPComm copy(*original); }
        pair.write(reply);
        pair.close();
        ASSERT_TRUE(waitReadable(original->getFD()));
        EXPECT_EQ(original->readResponse(), KRZPAPC_READ_OK);
        EXPECT_EQ(original->getResponseBody(), "ok");
    }
    {
        // The original ends its reply; a descriptor opened afterwards survives the copy's end.
        KRZPAPComm original(std::string("127.0.0.1"));
        LoopbackPair pair(original);
        SOCKET shared = original.getFD();
        auto copy = std::make_unique<KRZPAPComm>(original);
        KRZPAPComm assigned;
        assigned = original;
        pair.write(reply);
        pair.close();
        ASSERT_TRUE(waitReadable(original.getFD()));
        EXPECT_EQ(original.readResponse(), KRZPAPC_READ_OK);
        EXPECT_TRUE(socketOpen(shared));  // the copies still hold it
        SOCKET fresh = socket(AF_INET, SOCK_STREAM, 0);
        copy.reset();
        EXPECT_TRUE(socketOpen(shared));
        assigned.closeConnection();
        EXPECT_NE(fresh, shared);
        EXPECT_FALSE(socketOpen(shared));  // the last holder closed it...
        EXPECT_TRUE(socketOpen(fresh));    // ...and nothing else
        closesocket(fresh);
    }
}

}  // namespace
