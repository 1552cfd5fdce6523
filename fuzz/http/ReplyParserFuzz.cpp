// Feeds arbitrary bytes as a device's reply into the reply parser, in pieces whose sizes the
// fuzzer chooses, as the connection does: the unread bytes are kept (moved to a fresh buffer)
// and the next piece added; then the close. The parser must never crash or read out of bounds,
// never move its cursor backwards or past the end, and always come to an end after the close;
// headers and body never hold more than was sent (line ends become CR LF: at most twice).
#include "http/KRZPReplyParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The first byte gives the number of pieces (1 to 8) and, in its high bit, the line end carried
// from before the reply; the next bytes give the sizes; the rest is the reply.
std::vector<std::string> piecesOf(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces;
    if (size == 0)
        return pieces;
    size_t count = (data[0] & 7) + 1;
    size_t header = std::min(size, count);
    std::string reply(reinterpret_cast<const char*>(data) + header, size - header);
    size_t at = 0;
    for (size_t i = 1; i < header && at < reply.size(); ++i) {
        size_t n = std::min<size_t>(data[i] + 1, reply.size() - at);
        pieces.push_back(reply.substr(at, n));
        at += n;
    }
    if (at < reply.size())
        pieces.push_back(reply.substr(at));
    return pieces;
}

// One parse of the unread bytes; true when the reply is over.
bool step(KRZPReplyParser& parser, std::string& unread, bool closed) {
    KRZPReplyParser::Step result;
    const char* begin = unread.data();
    const char* end = begin + unread.size();
    const char* at = begin;
    do {
        const char* before = at;
        result = parser.parse(at, end, closed);
        if (at < before || at > end)
            std::abort();
    } while (result == KRZPReplyParser::HEADER_BLOCK);
    unread.erase(0, static_cast<size_t>(at - begin));
    if (closed && result == KRZPReplyParser::NEED_MORE)
        std::abort();  // after the close every reply must come to an end
    return result != KRZPReplyParser::NEED_MORE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The connection's bounds, but small, so that inputs of a few hundred bytes reach them.
    KRZPReplyParser parser({64, 256, 16, 1024});
    parser.start(size > 0 && (data[0] & 0x80) != 0 ? '\r' : 0);
    std::string unread;
    bool over = false;
    for (const std::string& piece : piecesOf(data, size)) {
        unread += piece;
        if ((over = step(parser, unread, false)))
            break;
    }
    if (!over)
        step(parser, unread, true);
    if (parser.headers().size() + parser.body().size() > 2 * size)
        std::abort();
    return 0;
}
