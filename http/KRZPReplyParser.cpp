#include "http/KRZPReplyParser.h"

#include "krzutil/KRZTextCoding.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

namespace {

const size_t kSpareKept = 1024 * 1024;

bool startsWithNoCase(const std::string& text, const char* prefix) {
    size_t n = 0;
    for (; prefix[n] != 0; ++n) {
        if (n >= text.size())
            return false;
        unsigned char a = static_cast<unsigned char>(text[n]);
        unsigned char b = static_cast<unsigned char>(prefix[n]);
        if (std::tolower(a) != std::tolower(b))
            return false;
    }
    return true;
}

bool containsNoCase(const std::string& text, const char* word) {
    const char* wordEnd = word + std::strlen(word);
    auto it = std::search(text.begin(), text.end(), word, wordEnd, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

bool beginsWithHttp(const char* at, const char* end) {
    return end - at >= 4 && std::memcmp(at, "HTTP", 4) == 0;
}

// Decimal number as atoi reads it: leading blanks, an optional sign, the digits up to the first
// other character; no digits give 0. Saturates instead of overflowing.
int parseDecimal(const std::string& text, size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = std::min<long long>(value * 10 + (text[at] - '0'), INT_MAX);
    }
    return static_cast<int>(negative ? -value : value);
}

// The hexadecimal digits at the start of a chunk-size line; extensions after them are ignored.
int parseChunkSize(const std::string& line) {
    long long value = 0;
    for (char c : line) {
        int digit = krzHexDigitValue(c);
        if (digit < 0)
            break;
        value = std::min<long long>(value * 16 + digit, INT_MAX);
    }
    return static_cast<int>(value);
}

}  // namespace

void KRZPReplyParser::start(char lastLineEnd) {
    phase = HEADERS;
    lines.clear();
    lines.setLastLineEnd(lastLineEnd);
    headerText.clear();
    bodyText.clear();
    statusCode = 0;
    reasonText.clear();
    versionText.clear();
    headerFields.clear();
    isChunked = false;
    contentLength = -1;
    chunkRemaining = 0;
    refusal = "";
    refusalLimit = 0;
}

void KRZPReplyParser::releaseSpareRoom() {
    const size_t spare = bodyText.capacity() - bodyText.size();
    if (spare > kSpareKept && spare > bodyText.size())
        bodyText.shrink_to_fit();
}

size_t KRZPReplyParser::bodyWanted() const {
    return contentLength > 0 ? static_cast<size_t>(contentLength) : 0;
}

KRZPReplyParser::Step KRZPReplyParser::parse(const char*& at, const char* end, bool closed) {
    for (;;) {
        switch (phase) {
            case HEADERS:
                return headerLines(at, end, closed);
            case BODY_START:
                // A reply without status line is a page: the lines read as headers begin its body.
                if (headerText.compare(0, 4, "HTTP") != 0)
                    bodyText.swap(headerText);
                // A declared length is within the reply bound: the body grows once.
                if (!isChunked && contentLength > 0)
                    bodyText.reserve(bodyText.size() + static_cast<size_t>(contentLength));
                else if (reserveUndeclared)
                    bodyText.reserve(bounds.reply - headerText.size());
                phase = isChunked ? CHUNK_SIZE : RAW_BODY;
                break;
            case RAW_BODY:
                return rawBodyBytes(at, end, closed);
            case CHUNK_SIZE: {
                Step step = chunkSizeLine(at, end, closed);
                if (phase != CHUNK_DATA)
                    return step;
                break;
            }
            case CHUNK_DATA: {
                Step step = chunkData(at, end, closed);
                if (phase != CHUNK_SIZE)
                    return step;
                break;
            }
            case DONE:
                return COMPLETE;
        }
    }
}

KRZPReplyParser::Step KRZPReplyParser::headerLines(const char*& at, const char* end, bool closed) {
    for (;;) {
        // The bounds of header lines hold for replies with a status line; the lines of a page
        // without one are body text, bound only by the reply's size.
        bool statusLine =
            headerText.empty() ? beginsWithHttp(at, end) : headerText.compare(0, 4, "HTTP") == 0;
        size_t limit = statusLine ? bounds.headerLine : bounds.reply;
        switch (lines.next(at, end, closed, limit, line)) {
            case KRZPLineCursor::NEED_MORE:
                return NEED_MORE;
            case KRZPLineCursor::TOO_LONG:
                return refuse(statusLine ? "header line" : "reply", limit);
            case KRZPLineCursor::END:
                phase = DONE;
                if (headerText.compare(0, 4, "HTTP") == 0)
                    return CUT_SHORT;
                bodyText.swap(headerText);
                return PAGE;
            case KRZPLineCursor::LINE:
                break;
        }
        if (line.empty()) {
            phase = BODY_START;
            return HEADER_BLOCK;
        }
        headerLine(line, statusLine);
        if (contentLength > 0 && static_cast<size_t>(contentLength) > bounds.reply)
            return refuse("declared length", bounds.reply);
        if (statusLine && headerText.size() > bounds.headerBlock)
            return refuse("header block", bounds.headerBlock);
        if (replySize() > bounds.reply)
            return refuse("reply", bounds.reply);
    }
}

void KRZPReplyParser::headerLine(const std::string& text, bool statusLine) {
    // The chunked flag is only cleared when a reply starts, so it survives a header block read
    // over several calls.
    if (startsWithNoCase(text, "transfer-encoding:") && containsNoCase(text, "chunked"))
        isChunked = true;
    // The value is read from the 17th character on (name, colon and one more skipped); a line
    // too short to have one declares nothing.
    if (startsWithNoCase(text, "content-length:") && text.size() > 16)
        contentLength = parseDecimal(text, 16);
    if (statusLine) {
        if (headerText.empty())
            takeStatusLine(text);
        else
            takeField(text);
    }
    headerText += text;
    headerText += "\r\n";
}

// "HTTP/1.1 200 OK": the version up to the first blank, the code, the reason after one blank.
void KRZPReplyParser::takeStatusLine(const std::string& text) {
    size_t blank = text.find(' ');
    versionText = text.substr(0, blank);
    if (blank == std::string::npos)
        return;
    size_t code = blank + 1;
    bool digits = text.size() >= code + 3 && (text.size() == code + 3 || text[code + 3] == ' ');
    for (size_t i = code; digits && i < code + 3; ++i)
        digits = text[i] >= '0' && text[i] <= '9';
    if (!digits)
        return;
    statusCode = std::atoi(text.substr(code, 3).c_str());
    if (text.size() > code + 4)
        reasonText = text.substr(code + 4);
}

void KRZPReplyParser::takeField(const std::string& text) {
    auto trimmed = [&text](size_t from) {
        size_t first = text.find_first_not_of(" \t", from);
        if (first == std::string::npos)
            return std::string();
        return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
    };
    if (text[0] == ' ' || text[0] == '\t') {
        std::string more = trimmed(0);
        if (!headerFields.empty() && !more.empty()) {
            std::string& value = headerFields.back().second;
            value += value.empty() ? more : " " + more;
        }
        return;
    }
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        return;
    headerFields.emplace_back(text.substr(0, colon), trimmed(colon + 1));
}

// A body framed by its declared length or by the close. A positive length is never read past,
// so a reply ends with its last byte; a length of 0 or below takes what is there.
KRZPReplyParser::Step KRZPReplyParser::rawBodyBytes(const char*& at, const char* end, bool closed) {
    lines.dropPartner(at, end);
    size_t take = static_cast<size_t>(end - at);
    if (contentLength > 0)
        take = std::min(take, static_cast<size_t>(contentLength));
    bodyText.append(at, take);
    at += take;
    if (replySize() > bounds.reply)
        return refuse("reply", bounds.reply);
    if (contentLength > 0)
        contentLength -= static_cast<int>(take);
    if (contentLength == 0) {
        phase = DONE;
        return COMPLETE;
    }
    if (!closed)
        return NEED_MORE;
    phase = DONE;
    return contentLength > 0 ? CUT_SHORT : COMPLETE;
}

// Empty lines are skipped: they are the line ends after the previous chunk's data. A size of 0
// is the last chunk; the trailer after it is not read.
KRZPReplyParser::Step KRZPReplyParser::chunkSizeLine(const char*& at, const char* end,
                                                     bool closed) {
    do {
        switch (lines.next(at, end, closed, bounds.chunkSizeLine, line)) {
            case KRZPLineCursor::NEED_MORE:
                return NEED_MORE;
            case KRZPLineCursor::TOO_LONG:
                return refuse("chunk-size line", bounds.chunkSizeLine);
            case KRZPLineCursor::END:
                phase = DONE;
                return CUT_SHORT;
            case KRZPLineCursor::LINE:
                break;
        }
    } while (line.empty());
    chunkRemaining = parseChunkSize(line);
    if (chunkRemaining == 0) {
        phase = DONE;
        return COMPLETE;
    }
    if (replySize() + static_cast<size_t>(chunkRemaining) > bounds.reply)
        return refuse("reply", bounds.reply);
    phase = CHUNK_DATA;
    return NEED_MORE;  // not seen by the caller: parse goes on with the data
}

// Chunk data moves to the body as it arrives, so a large chunk is never held twice.
KRZPReplyParser::Step KRZPReplyParser::chunkData(const char*& at, const char* end, bool closed) {
    lines.dropPartner(at, end);
    size_t take = std::min(static_cast<size_t>(end - at), static_cast<size_t>(chunkRemaining));
    bodyText.append(at, take);
    at += take;
    chunkRemaining -= static_cast<int>(take);
    if (chunkRemaining == 0) {
        phase = CHUNK_SIZE;
        return NEED_MORE;  // not seen by the caller: parse goes on with the next size line
    }
    if (!closed)
        return NEED_MORE;
    phase = DONE;
    return CUT_SHORT;
}

KRZPReplyParser::Step KRZPReplyParser::refuse(const char* what, size_t limit) {
    phase = DONE;
    refusal = what;
    refusalLimit = limit;
    return REFUSED;
}
