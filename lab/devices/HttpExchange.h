// One HTTP exchange as an emulated device sees it: the request it read and the reply it writes.
// Devices serve one request per connection, so nothing here keeps connection state.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace krzlab {

struct HttpRequest {
    std::string method;   // as sent, e.g. "GET"
    std::string target;   // path and query as sent
    std::string path;     // target up to '?'
    std::string query;    // after '?', empty when there is none
    std::string version;  // e.g. "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name (caseless), or nullptr.
    const std::string* header(const std::string& name) const;
};

// How the reply's body is delimited on the wire.
enum class Framing {
    Length,   // Content-Length
    Chunked,  // Transfer-Encoding: chunked, varying chunk sizes, some with an extension
    Close,    // neither: the body runs until the connection closes
    Bare      // no status line and no headers at all: the page alone
};

struct HttpReply {
    std::string version = "HTTP/1.1";
    int status = 200;
    std::string reason = "OK";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    Framing framing = Framing::Length;
    // When set, only this many bytes of the encoded reply are sent before the connection drops.
    std::size_t cutAfter = std::string::npos;
    // Runs on the serving thread after the connection was closed.
    std::function<void()> afterClose;
};

enum class ParseResult { NeedMore, Complete, Bad };

// Parses a request from the bytes received so far. Complete fills `out`, including a body of the
// declared Content-Length; NeedMore asks for more bytes; Bad for a request line or header block
// that is not HTTP or is larger than the limits.
ParseResult parseRequest(const std::string& bytes, HttpRequest& out);

// The bytes of `reply` as its framing lays them out ("Connection: close" added unless Bare).
std::string encodeReply(const HttpReply& reply);

// Offset of the first body byte in encoded reply bytes (0 when there is no header block).
std::size_t bodyOffset(const std::string& encoded);

// Chunked coding of `body`: chunk sizes cycle through an uneven pattern and every third chunk
// carries an extension, so that readers meet both.
std::string chunkBody(const std::string& body);

// Case-insensitive ASCII comparison and search.
// A script file as a device's web server serves it (the page's own buttons need it in a browser).
HttpReply scriptReply(const std::string& server, const std::string& script);

bool equalsCaseless(const std::string& a, const std::string& b);
std::size_t findCaseless(const std::string& haystack, const std::string& needle);

}  // namespace krzlab
