// The reply parser and the line cursor on their own, without sockets: every framing, every way
// the bytes can be split between reads, and every bound.
#include <gtest/gtest.h>

#include "http/KRZPAPComm.h"
#include "http/KRZPLineCursor.h"
#include "http/KRZPReplyParser.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

const KRZPReplyParser::Bounds BOUNDS = {KRZPAPComm::MAX_HEADER_LINE, KRZPAPComm::MAX_HEADER_BLOCK,
                                        KRZPAPComm::MAX_CHUNK_SIZE_LINE, KRZPAPComm::MAX_REPLY};

using Step = KRZPReplyParser::Step;

struct Parsed {
    Step step = KRZPReplyParser::NEED_MORE;
    bool completeBeforeClose = false;
    std::string headers;
    std::string body;
    std::string refused;
};

// Feeds `reply` cut at `cuts` (ascending offsets) as a connection does: the unread bytes are kept
// and moved to the front of a fresh buffer before the next piece is added; then the close.
Parsed parseInPieces(const std::string& reply, const std::vector<size_t>& cuts) {
    KRZPReplyParser parser(BOUNDS);
    parser.start(0);
    Parsed out;
    std::string unread;
    auto run = [&](bool closed) {
        const char* at = unread.data();
        do {
            out.step = parser.parse(at, unread.data() + unread.size(), closed);
        } while (out.step == KRZPReplyParser::HEADER_BLOCK);
        unread = unread.substr(static_cast<size_t>(at - unread.data()));
        EXPECT_FALSE(closed && out.step == KRZPReplyParser::NEED_MORE);
    };
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(reply.size());
    for (size_t end : ends) {
        if (end <= from)
            continue;
        unread += reply.substr(from, end - from);
        from = end;
        run(false);
        if (out.step != KRZPReplyParser::NEED_MORE) {
            out.completeBeforeClose = true;
            break;
        }
    }
    if (out.step == KRZPReplyParser::NEED_MORE)
        run(true);
    out.headers = parser.headers();
    out.body = parser.body();
    if (out.step == KRZPReplyParser::REFUSED)
        out.refused =
            std::string(parser.refusedWhat()) + " " + std::to_string(parser.refusedLimit());
    return out;
}

// Every cut into two pieces, one byte at a time, and random cuts into several pieces.
std::vector<std::vector<size_t>> splitsOf(size_t size, std::mt19937& random) {
    std::vector<std::vector<size_t>> splits{{}};
    std::vector<size_t> everyByte;
    for (size_t cut = 1; cut < size; ++cut) {
        splits.push_back({cut});
        everyByte.push_back(cut);
    }
    if (!everyByte.empty())
        splits.push_back(everyByte);
    for (int i = 0; i < 20 && size > 2; ++i) {
        std::vector<size_t> cuts;
        for (int k = 0; k < 4; ++k)
            cuts.push_back(1 + random() % (size - 1));
        std::sort(cuts.begin(), cuts.end());
        splits.push_back(cuts);
    }
    return splits;
}

struct ReplyCase {
    const char* name;
    std::string reply;
    Step step;
    bool completeBeforeClose;
    std::string headers;
    std::string body;
};

const std::string STATUS = "HTTP/1.1 200 OK\r\n";

std::vector<ReplyCase> replyCases() {
    const std::string letters = "abcdefghijklmnopqrstuvwxyz";
    // A header line read after more than 64 KiB of the reply has been consumed, arriving in
    // pieces: its scan must go on from the bytes still unread, wherever they now lie.
    std::string manyHeaders;
    for (int i = 0; i < 80; ++i)
        manyHeaders += "X-" + std::to_string(i) + ": " + std::string(1000, 'h') + "\r\n";
    const std::string late = "X-Late: " + std::string(3000, 'l') + "\r\n";
    return {
        {"chunked with extension and trailer",
         STATUS + "Transfer-Encoding: chunked\r\nX-A: b\r\n\r\n5\r\nhello\r\n1A;name=x\r\n" +
             letters + "\r\n0\r\nTrailer: t\r\n\r\n",
         KRZPReplyParser::COMPLETE, true, STATUS + "Transfer-Encoding: chunked\r\nX-A: b\r\n",
         "hello" + letters},
        {"chunked, case-blind header, LF line ends, line ends inside data",
         "HTTP/1.1 200 OK\ntransfer-encoding: gzip, CHUNKED\n\n4\nab\r\n\n3 "
         "\n\nab\nA\n0123456789\n0\n",
         KRZPReplyParser::COMPLETE, true, "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, CHUNKED\r\n",
         "ab\r\n\nab0123456789"},
        {"last chunk without line end at the close",
         STATUS + "Transfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0", KRZPReplyParser::COMPLETE,
         false, STATUS + "Transfer-Encoding: chunked\r\n", "ab"},
        {"content length", STATUS + "Content-Length: 12\r\n\r\nhello world!",
         KRZPReplyParser::COMPLETE, true, STATUS + "Content-Length: 12\r\n", "hello world!"},
        {"content length without space reads from the 17th character",
         STATUS + "Content-length:12\r\n\r\nhello world!", KRZPReplyParser::COMPLETE, true,
         STATUS + "Content-length:12\r\n", "he"},
        {"content length zero", STATUS + "content-length: 0\r\n\r\n", KRZPReplyParser::COMPLETE,
         true, STATUS + "content-length: 0\r\n", ""},
        {"content length of a body that begins with a line end",
         STATUS + "Content-Length: 3\r\n\r\n\nab", KRZPReplyParser::COMPLETE, true,
         STATUS + "Content-Length: 3\r\n", "\nab"},
        {"bytes after the declared length are not body", STATUS + "Content-Length: 3\r\n\r\nabcdef",
         KRZPReplyParser::COMPLETE, true, STATUS + "Content-Length: 3\r\n", "abc"},
        {"content length without a value character reads to the close",
         STATUS + "Content-Length:5\r\n\r\nabcdef", KRZPReplyParser::COMPLETE, false,
         STATUS + "Content-Length:5\r\n", "abcdef"},
        {"a negative length reads to the close", STATUS + "Content-Length: -4\r\n\r\nabcdef",
         KRZPReplyParser::COMPLETE, false, STATUS + "Content-Length: -4\r\n", "abcdef"},
        {"read to close", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nline1\nline2\r\n\r\nend",
         KRZPReplyParser::COMPLETE, false, "HTTP/1.0 200 OK\r\nServer: x\r\n",
         "line1\nline2\r\n\r\nend"},
        {"read to close after LF-only header block", "HTTP/1.0 200 OK\nA: b\n\n\rbody\n",
         KRZPReplyParser::COMPLETE, false, "HTTP/1.0 200 OK\r\nA: b\r\n", "body\n"},
        {"no status line, ended by the close", "<html>\r\n<body>x</body>\n</html>",
         KRZPReplyParser::PAGE, false, "", "<html>\r\n<body>x</body>\r\n</html>\r\n"},
        {"no status line with a blank line", "<p>\r\n\r\n<q>\n", KRZPReplyParser::COMPLETE, false,
         "", "<p>\r\n<q>\n"},
        {"header lines after 64 KiB consumed", STATUS + manyHeaders + late + "\r\nok",
         KRZPReplyParser::COMPLETE, false, STATUS + manyHeaders + late, "ok"},
        {"close inside the header block", STATUS + "Server: a\r\nX-Half",
         KRZPReplyParser::CUT_SHORT, false, STATUS + "Server: a\r\nX-Half\r\n", ""},
        {"close inside a chunk keeps what came",
         STATUS + "Transfer-Encoding: chunked\r\n\r\n10\r\nabc", KRZPReplyParser::CUT_SHORT, false,
         STATUS + "Transfer-Encoding: chunked\r\n", "abc"},
        {"close between chunks", STATUS + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n",
         KRZPReplyParser::CUT_SHORT, false, STATUS + "Transfer-Encoding: chunked\r\n", "abc"},
        {"close before the declared length", STATUS + "Content-Length: 10\r\n\r\nabc",
         KRZPReplyParser::CUT_SHORT, false, STATUS + "Content-Length: 10\r\n", "abc"},
        {"nothing at all", "", KRZPReplyParser::PAGE, false, "", ""},
    };
}

// The parser gives the same step, headers and body however the reply is split.
TEST(KRZPReplyParser, SameResultForEverySplit) {
    std::mt19937 random(7);
    for (const ReplyCase& c : replyCases()) {
        // The long case is cut at every point only near its late line.
        std::vector<std::vector<size_t>> splits;
        if (c.reply.size() > 8192) {
            size_t lateAt = c.reply.find("X-Late");
            for (size_t cut = lateAt - 10; cut < c.reply.size(); cut += 7)
                splits.push_back({lateAt - 20000, cut, cut + 1500});
            splits.push_back({});
        } else {
            splits = splitsOf(c.reply.size(), random);
        }
        for (const auto& cuts : splits) {
            Parsed r = parseInPieces(c.reply, cuts);
            std::string where = std::string(c.name) + ", " + std::to_string(cuts.size()) +
                                " cuts, first at " + std::to_string(cuts.empty() ? 0 : cuts[0]);
            ASSERT_EQ(r.step, c.step) << where;
            ASSERT_EQ(r.completeBeforeClose, c.completeBeforeClose) << where;
            ASSERT_EQ(r.headers, c.headers) << where;
            ASSERT_EQ(r.body, c.body) << where;
        }
    }
}

// A header block over several feeds keeps what it learnt (chunked), and what has arrived of the
// body is there before the reply is complete.
TEST(KRZPReplyParser, StepsAsTheBytesArrive) {
    KRZPReplyParser parser(BOUNDS);
    parser.start(0);
    std::string bytes = STATUS + "Transfer-Encoding: chunked\r\nX-A";
    const char* at = bytes.data();
    EXPECT_EQ(parser.parse(at, bytes.data() + bytes.size(), false), KRZPReplyParser::NEED_MORE);
    bytes = bytes.substr(static_cast<size_t>(at - bytes.data())) + ": 1\r\n\r\n3\r\nabc\r\n";
    at = bytes.data();
    EXPECT_EQ(parser.parse(at, bytes.data() + bytes.size(), false), KRZPReplyParser::HEADER_BLOCK);
    EXPECT_EQ(parser.headers(), STATUS + "Transfer-Encoding: chunked\r\nX-A: 1\r\n");
    EXPECT_TRUE(parser.chunked());
    EXPECT_EQ(parser.parse(at, bytes.data() + bytes.size(), false), KRZPReplyParser::NEED_MORE);
    EXPECT_EQ(parser.body(), "abc");
    bytes = bytes.substr(static_cast<size_t>(at - bytes.data())) + "0\r\n\r\n";
    at = bytes.data();
    EXPECT_EQ(parser.parse(at, bytes.data() + bytes.size(), false), KRZPReplyParser::COMPLETE);

    // A declared length: the body may come raw, never more than is still wanted.
    parser.start(0);
    bytes = STATUS + "Content-Length: 5\r\n\r\nab";
    at = bytes.data();
    EXPECT_EQ(parser.parse(at, bytes.data() + bytes.size(), false), KRZPReplyParser::HEADER_BLOCK);
    EXPECT_EQ(parser.parse(at, bytes.data() + bytes.size(), false), KRZPReplyParser::NEED_MORE);
    EXPECT_TRUE(parser.rawBody());
    EXPECT_EQ(parser.bodyWanted(), 3u);

    // The partner of a line end read before the reply started is dropped.
    parser.start('\r');
    bytes = "\n" + STATUS + "\r\n";
    at = bytes.data();
    EXPECT_EQ(parser.parse(at, bytes.data() + bytes.size(), false), KRZPReplyParser::HEADER_BLOCK);
    EXPECT_EQ(parser.headers(), STATUS);
}

// Each bound refuses the reply, named, as soon as the bytes that cross it are there; at the
// bound itself the reply is taken.
TEST(KRZPReplyParser, BoundsRefuseWithTheirNames) {
    const size_t line = KRZPAPComm::MAX_HEADER_LINE;
    const std::string chunked = STATUS + "Transfer-Encoding: chunked\r\n\r\n";
    std::string block = STATUS;
    while (block.size() <= KRZPAPComm::MAX_HEADER_BLOCK)
        block += "X-Flood: " + std::string(1000, 'f') + "\r\n";
    char bigChunk[32];
    std::snprintf(bigChunk, sizeof bigChunk, "%zx\r\n", KRZPAPComm::MAX_REPLY);
    const struct {
        const char* name;
        std::string reply;
        std::string refused;  // empty: not refused
    } cases[] = {
        {"header line over the bound", STATUS + "X: " + std::string(line - 2, 'a'),
         "header line 65536"},
        {"header line at the bound", STATUS + "X: " + std::string(line - 3, 'a') + "\r\n\r\n", ""},
        {"header line over the bound with its line end",
         STATUS + "X: " + std::string(line - 2, 'a') + "\r\n", "header line 65536"},
        {"header block", block, "header block 262144"},
        {"declared length", STATUS + "Content-Length: 16777217\r\n", "declared length 16777216"},
        {"declared length at the bound", STATUS + "Content-Length: 16777216\r\n\r\n", ""},
        {"chunk-size line", chunked + std::string(4097, '0'), "chunk-size line 4096"},
        {"chunk-size line at the bound", chunked + std::string(4096, '0') + "\r\n", ""},
        {"chunk larger than the reply bound", chunked + bigChunk, "reply 16777216"},
        {"body to the close", STATUS + "\r\n" + std::string(KRZPAPComm::MAX_REPLY, 'b'),
         "reply 16777216"},
        {"a page line without end", std::string(KRZPAPComm::MAX_REPLY + 1, 'p'), "reply 16777216"},
    };
    for (const auto& c : cases) {
        Parsed r = parseInPieces(c.reply, {c.reply.size() / 2});
        EXPECT_EQ(r.refused, c.refused) << c.name;
        EXPECT_EQ(r.step == KRZPReplyParser::REFUSED, !c.refused.empty()) << c.name;
    }
}

struct Lines {
    std::vector<std::string> lines;
    KRZPLineCursor::Result last = KRZPLineCursor::NEED_MORE;
};

// Takes every complete line after each piece, keeping the unread bytes in a fresh buffer; at the
// end, the close.
Lines linesOf(const std::vector<std::string>& pieces) {
    KRZPLineCursor cursor;
    Lines out;
    std::string unread;
    std::string line;
    auto take = [&](bool closed) {
        const char* at = unread.data();
        while ((out.last = cursor.next(at, unread.data() + unread.size(), closed, 1000, line)) ==
               KRZPLineCursor::LINE)
            out.lines.push_back(line);
        unread = unread.substr(static_cast<size_t>(at - unread.data()));
    };
    for (const std::string& piece : pieces) {
        unread += piece;
        take(false);
        EXPECT_EQ(out.last, KRZPLineCursor::NEED_MORE);
    }
    take(true);
    return out;
}

// A body of undeclared length gets the rest of the reply bound as room when the connection asks
// for it, so that it never moves while it grows; room left over after a small reply goes back.
TEST(KRZPReplyParser, RoomForBodiesOfUndeclaredLength) {
    const struct {
        std::string reply;
        bool reserved;  // room for the rest of the bound while the body arrives
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\nto the close", true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nto the close", true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", true},
        {"<html>\r\n\r\npage", true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfive!", false},
    };
    for (const auto& c : cases) {
        for (bool asked : {false, true}) {
            KRZPReplyParser parser(BOUNDS);
            parser.reserveUndeclaredBodies(asked);
            parser.start(0);
            const char* at = c.reply.data();
            const char* end = c.reply.data() + c.reply.size();
            while (parser.parse(at, end, false) == KRZPReplyParser::HEADER_BLOCK) {
            }
            bool roomy = parser.body().capacity() >= KRZPAPComm::MAX_REPLY / 2;
            EXPECT_EQ(roomy, asked && c.reserved) << c.reply;
            parser.parse(at, end, true);
            parser.releaseSpareRoom();
            EXPECT_LT(parser.body().capacity(), 1024u * 1024u) << c.reply;
        }
    }
    // A large body keeps its room: giving it back would copy the body.
    KRZPReplyParser parser(BOUNDS);
    parser.reserveUndeclaredBodies(true);
    parser.start(0);
    std::string reply = "HTTP/1.1 200 OK\r\n\r\n" + std::string(KRZPAPComm::MAX_REPLY / 2, 'x');
    const char* at = reply.data();
    while (parser.parse(at, reply.data() + reply.size(), true) == KRZPReplyParser::HEADER_BLOCK) {
    }
    size_t room = parser.body().capacity();
    parser.releaseSpareRoom();
    EXPECT_EQ(parser.body().capacity(), room);
}

using Strings = std::vector<std::string>;

// Each text gives the same lines whole, cut anywhere in two, and one byte at a time; a tail
// without a line end is handed out at the close, then the end.
TEST(KRZPLineCursor, LineEndRulesForEverySplit) {
    const std::pair<std::string, Strings> cases[] = {
        {"abc\r\ndef\r\n", {"abc", "def"}},  // CR LF, also when split between two reads
        {"a\r\rb\r\n", {"a", "", "b"}},      // CR CR is two line ends
        {"a\n\rb\n", {"a", "b"}},            // LF CR is one
        {"a\n\nb\n", {"a", "", "b"}},
        {"\r\n\r\n", {"", ""}},
        {"x\r\ntail", {"x", "tail"}},
        {"a\n\n\r\nb\r\r\nc", {"a", "", "", "b", "", "c"}},
        {"\r\n\n\r\r\rx", {"", "", "", "", "x"}},
        {"long" + std::string(900, '-') + "\nnext\n", {"long" + std::string(900, '-'), "next"}},
    };
    for (const auto& c : cases) {
        std::vector<Strings> splits{{c.first}, {}};
        for (size_t cut = 1; cut <= c.first.size(); ++cut) {
            splits[1].push_back(c.first.substr(cut - 1, 1));
            if (cut < c.first.size())
                splits.push_back({c.first.substr(0, cut), c.first.substr(cut)});
        }
        for (const Strings& pieces : splits) {
            Lines got = linesOf(pieces);
            EXPECT_EQ(got.lines, c.second) << c.first.size() << " bytes in " << pieces.size()
                                           << " pieces, first " << pieces[0].size();
            EXPECT_EQ(got.last, KRZPLineCursor::END);
        }
    }
    EXPECT_EQ(linesOf({}).lines, Strings{});
}

// A line longer than the limit is refused, with or without its line end, also at the close.
TEST(KRZPLineCursor, LimitCountsTheLineWithoutItsEnd) {
    const struct {
        std::string text;
        bool closed;
        KRZPLineCursor::Result result;
    } cases[] = {
        {"abcd\n", false, KRZPLineCursor::LINE},    {"abcde\n", false, KRZPLineCursor::TOO_LONG},
        {"abcd", false, KRZPLineCursor::NEED_MORE}, {"abcde", false, KRZPLineCursor::TOO_LONG},
        {"abcd", true, KRZPLineCursor::LINE},       {"abcde", true, KRZPLineCursor::TOO_LONG},
    };
    for (const auto& c : cases) {
        KRZPLineCursor cursor;
        std::string line;
        const char* at = c.text.data();
        EXPECT_EQ(cursor.next(at, c.text.data() + c.text.size(), c.closed, 4, line), c.result)
            << c.text << (c.closed ? " closed" : "");
    }
}

// The status line and headers taken apart: the code only when it is three digits standing alone,
// the reason after one blank, each header's value trimmed, folded lines joined, repeated headers
// kept in order; a reply read after them on the same parser starts from nothing.
TEST(KRZPReplyParser, StatusAndHeaderFieldsTakenApart) {
    using Fields = std::vector<KRZPReplyParser::Field>;
    const struct {
        std::string head;
        int status;
        std::string reason;
        std::string version;
        Fields fields;
    } cases[] = {
        {"HTTP/1.1 200 OK", 200, "OK", "HTTP/1.1", {}},
        {"HTTP/1.0 401 Unauthorized access", 401, "Unauthorized access", "HTTP/1.0", {}},
        {"HTTP/1.1 302", 302, "", "HTTP/1.1", {}},
        {"HTTP/1.1 302 ", 302, "", "HTTP/1.1", {}},
        {"HTTP/1.1 2000 OK", 0, "", "HTTP/1.1", {}},
        {"HTTP/1.1 20 OK", 0, "", "HTTP/1.1", {}},
        {"HTTP/1.1 2x0 OK", 0, "", "HTTP/1.1", {}},
        {"HTTP/1.1", 0, "", "HTTP/1.1", {}},
        {"HTTP/1.1 404 Not Found\r\nServer:  box 1.0 \r\nSet-Cookie: a=1\r\nset-cookie:b=2",
         404,
         "Not Found",
         "HTTP/1.1",
         {{"Server", "box 1.0"}, {"Set-Cookie", "a=1"}, {"set-cookie", "b=2"}}},
        {"HTTP/1.1 200 OK\r\nX-Long: one\r\n  two\r\n\tthree\r\nno colon here\r\n: nameless\r\n"
         "Empty:",
         200,
         "OK",
         "HTTP/1.1",
         {{"X-Long", "one two three"}, {"Empty", ""}}},
        {"HTTP/1.1 200 OK\r\nValue: a: b\t", 200, "OK", "HTTP/1.1", {{"Value", "a: b"}}},
    };
    for (const auto& c : cases) {
        KRZPReplyParser parser(BOUNDS);
        for (const std::string& second : {std::string(), std::string("<html>page</html>")}) {
            parser.start(0);
            std::string reply = c.head + "\r\n\r\n";
            const char* at = reply.data();
            while (parser.parse(at, reply.data() + reply.size(), true) ==
                   KRZPReplyParser::HEADER_BLOCK) {
            }
            EXPECT_EQ(parser.status(), c.status) << c.head;
            EXPECT_EQ(parser.reason(), c.reason) << c.head;
            EXPECT_EQ(parser.version(), c.version) << c.head;
            EXPECT_EQ(parser.fields(), c.fields) << c.head;
            // The next reply, without status line, has none of these.
            parser.start(0);
            at = second.data();
            parser.parse(at, second.data() + second.size(), true);
            EXPECT_EQ(parser.status(), 0) << c.head;
            EXPECT_EQ(parser.reason(), "") << c.head;
            EXPECT_EQ(parser.version(), "") << c.head;
            EXPECT_TRUE(parser.fields().empty()) << c.head;
        }
    }
}

}  // namespace
