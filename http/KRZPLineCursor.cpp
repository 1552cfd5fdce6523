#include "http/KRZPLineCursor.h"

#include <algorithm>

namespace {

char partnerOf(char lineEnd) {
    return lineEnd == '\r' ? '\n' : '\r';
}

bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}

}  // namespace

KRZPLineCursor::Result KRZPLineCursor::next(const char*& at, const char* end, bool closed,
                                            size_t limit, std::string& line) {
    for (;;) {
        size_t available = static_cast<size_t>(end - at);
        // Bytes searched before are not searched again: a long line arriving in many reads
        // costs linear time.
        const char* lineEnd = std::find_if(at + std::min(scanned, available), end, isLineEnd);
        if (lineEnd == end) {
            scanned = available;
            if (available > limit)
                return TOO_LONG;
            if (!closed)
                return NEED_MORE;
            if (available == 0)
                return END;
            line.assign(at, end);
            at = end;
            scanned = 0;
            lastEnd = 0;
            return LINE;
        }
        if (static_cast<size_t>(lineEnd - at) > limit)
            return TOO_LONG;
        scanned = 0;
        char c = *lineEnd;
        if (lineEnd == at && lastEnd != 0 && c != lastEnd) {
            // Second half of a pair whose first half ended the previous line.
            ++at;
            lastEnd = 0;
            continue;
        }
        line.assign(at, lineEnd);
        if (lineEnd + 1 < end && lineEnd[1] == partnerOf(c)) {
            lastEnd = 0;
            at = lineEnd + 2;
        } else {
            lastEnd = c;
            at = lineEnd + 1;
        }
        return LINE;
    }
}

void KRZPLineCursor::dropPartner(const char*& at, const char* end) {
    if (lastEnd == 0 || at == end)
        return;
    // A line end is never inside the searched bytes, so the scan memory stays as it is.
    if (*at == partnerOf(lastEnd))
        ++at;
    lastEnd = 0;
}
