// Splits a byte stream into lines, one at a time, as the bytes arrive. A line end is CR or LF;
// the pairs CR LF and LF CR count as one line end, also when a pair is split between two reads.
// Internal to the library (not exported, not installed).
#pragma once

#include <cstddef>
#include <string>

class KRZPLineCursor {
  public:
    enum Result {
        LINE,       // `line` holds the next line without its line end; the cursor is past it
        NEED_MORE,  // no line end yet: call again with the same unread bytes and more
        END,        // closed and nothing left
        TOO_LONG,   // the line, counted without its line end, is longer than the limit
    };

    // Takes the next line from [at, end); `closed` says that no byte follows end, so that a tail
    // without line end is the last line. `at` moves past what was consumed, also on NEED_MORE
    // (the second half of a split pair). Between calls the caller keeps the bytes from `at` on
    // unchanged; it may move them in memory.
    Result next(const char*& at, const char* end, bool closed, size_t limit, std::string& line);

    // For readers of raw bytes after a line: drops the partner of the last line end when it
    // stands at `at`, so that a pair split between two reads gives the same bytes as one read.
    // Does nothing while at == end.
    void dropPartner(const char*& at, const char* end);

    // The bytes from the cursor on were consumed or replaced by another reader.
    void forgetScan() { scanned = 0; }
    // A new connection: nothing is remembered of the last one.
    void clear() { *this = KRZPLineCursor(); }
    char lastLineEnd() const { return lastEnd; }
    void setLastLineEnd(char lineEnd) { lastEnd = lineEnd; }

  private:
    char lastEnd = 0;    // CR or LF that ended the last line when its partner may still come
    size_t scanned = 0;  // bytes from the cursor on already searched without a line end
};
