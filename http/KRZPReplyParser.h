// HTTP reply framing without a socket or a clock: bytes in; the status and header lines, the body
// and what is still needed out. Internal to the library (not exported, not installed); the
// connection (KRZPAPComm) feeds it what the socket gives and acts on each step.
//
// The contract of parse(at, end, closed), in the manner of a cursor parser:
// - it consumes from [at, end) what it can and moves `at` past it; the caller keeps the bytes
//   from `at` on (it may move them in memory) and calls again with them and whatever arrives next;
// - `closed` says that the peer has closed, so nothing follows `end`; then the result is never
//   NEED_MORE: the reply ends complete, cut short, or refused;
// - the bounds given at construction (the connection gives its MAX_HEADER_LINE and the others)
//   are checked here; crossing one gives REFUSED with refusedWhat() and refusedLimit() naming it.
#pragma once

#include "http/KRZPLineCursor.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

class KRZPReplyParser {
  public:
    struct Bounds {
        size_t headerLine;     // one line of a reply with status line, without its line end
        size_t headerBlock;    // the header lines of such a reply with their line ends
        size_t chunkSizeLine;  // one chunk-size line, extensions included
        size_t reply;          // headers and body together
    };

    explicit KRZPReplyParser(const Bounds& limits) : bounds(limits) {}

    enum Step {
        NEED_MORE,     // every byte given is used; call again once more has arrived
        HEADER_BLOCK,  // the empty line after the header lines: headers() is whole
        COMPLETE,      // the reply is complete
        PAGE,          // closed inside what began as header lines, without status line: the
                       // text read so far is the body (complete)
        CUT_SHORT,     // closed before the reply was complete; what arrived stays
        REFUSED,       // a bound was crossed
    };

    // A body whose length is not declared (chunked, or read to the close) gets room for the rest
    // of the reply bound when its header block ends, so that it never moves while it grows: each
    // move would copy it and touch fresh pages. The system backs reserved memory only where it is
    // written. Off by default, so that a caller feeding many small replies (a fuzzer) does not
    // reserve the bound for each; the connection turns it on.
    void reserveUndeclaredBodies(bool on) { reserveUndeclared = on; }
    // After a reply: room the body did not use is given back when it is over 1 MiB and more than
    // the body itself (one copy of the body, at most the size of what is given back).
    void releaseSpareRoom();

    // A new reply. `lastLineEnd` carries the line end of a line read before on the connection.
    void start(char lastLineEnd);
    Step parse(const char*& at, const char* end, bool closed);

    const std::string& headers() const { return headerText; }
    // The status line and header lines taken apart as they arrive: the code (0 without a status
    // line, or when it is not three digits), the reason and version as sent, and each header's
    // name and value (blanks around the value trimmed, a folded line joined to the one before
    // with one space) in the order received. Lines without a colon name no header.
    int status() const { return statusCode; }
    const std::string& reason() const { return reasonText; }
    const std::string& version() const { return versionText; }
    using Field = std::pair<std::string, std::string>;
    const std::vector<Field>& fields() const { return headerFields; }
    const std::string& body() const { return bodyText; }
    bool chunked() const { return isChunked; }
    // A body framed by a declared length or by the close, past the header block: its bytes may
    // come straight from the socket, at most bodyWanted() of them (0: any number).
    bool rawBody() const { return phase == RAW_BODY; }
    size_t bodyWanted() const;
    const char* refusedWhat() const { return refusal; }
    size_t refusedLimit() const { return refusalLimit; }
    char lastLineEnd() const { return lines.lastLineEnd(); }

  private:
    enum Phase { HEADERS, BODY_START, RAW_BODY, CHUNK_SIZE, CHUNK_DATA, DONE };

    Step headerLines(const char*& at, const char* end, bool closed);
    void headerLine(const std::string& line, bool statusLine);
    void takeStatusLine(const std::string& line);
    void takeField(const std::string& line);
    Step rawBodyBytes(const char*& at, const char* end, bool closed);
    Step chunkSizeLine(const char*& at, const char* end, bool closed);
    Step chunkData(const char*& at, const char* end, bool closed);
    Step refuse(const char* what, size_t limit);
    size_t replySize() const { return headerText.size() + bodyText.size(); }

    Bounds bounds;
    Phase phase = DONE;
    KRZPLineCursor lines;
    std::string line;  // reused for every line, so that its memory stays
    std::string headerText;
    std::string bodyText;
    int statusCode = 0;
    std::string reasonText;
    std::string versionText;
    std::vector<Field> headerFields;
    bool isChunked = false;
    bool reserveUndeclared = false;
    int contentLength = -1;  // -1 until declared; counts down as body bytes arrive
    int chunkRemaining = 0;
    const char* refusal = "";
    size_t refusalLimit = 0;
};
