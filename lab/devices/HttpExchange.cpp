#include "lab/devices/HttpExchange.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace krzlab {

namespace {

constexpr std::size_t kMaxHeaderBlock = 64 * 1024;
constexpr std::size_t kMaxBody = 1024 * 1024;

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return std::string();
    }
    std::size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool parseRequestLine(const std::string& line, HttpRequest& out) {
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) {
        return false;
    }
    out.method = line.substr(0, sp1);
    out.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    out.version = line.substr(sp2 + 1);
    if (out.target.empty() || out.version.compare(0, 5, "HTTP/") != 0) {
        return false;
    }
    std::size_t q = out.target.find('?');
    out.path = out.target.substr(0, q);
    out.query = q == std::string::npos ? std::string() : out.target.substr(q + 1);
    return true;
}

bool parseHeaderLines(const std::string& block, HttpRequest& out) {
    std::size_t pos = 0;
    while (pos < block.size()) {
        std::size_t end = block.find("\r\n", pos);
        if (end == std::string::npos) {
            end = block.size();
        }
        std::string line = block.substr(pos, end - pos);
        pos = end + 2;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            return false;
        }
        out.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    return true;
}

}  // namespace

bool equalsCaseless(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::size_t findCaseless(const std::string& haystack, const std::string& needle) {
    if (needle.size() > haystack.size()) {
        return std::string::npos;
    }
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && lower(haystack[i + k]) == lower(needle[k])) {
            ++k;
        }
        if (k == needle.size()) {
            return i;
        }
    }
    return std::string::npos;
}

const std::string* HttpRequest::header(const std::string& name) const {
    for (const auto& h : headers) {
        if (equalsCaseless(h.first, name)) {
            return &h.second;
        }
    }
    return nullptr;
}

ParseResult parseRequest(const std::string& bytes, HttpRequest& out) {
    std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) {
        return bytes.size() > kMaxHeaderBlock ? ParseResult::Bad : ParseResult::NeedMore;
    }
    out = HttpRequest();
    std::size_t lineEnd = bytes.find("\r\n");
    if (!parseRequestLine(bytes.substr(0, lineEnd), out)) {
        return ParseResult::Bad;
    }
    if (lineEnd < end && !parseHeaderLines(bytes.substr(lineEnd + 2, end - lineEnd - 2), out)) {
        return ParseResult::Bad;
    }
    std::size_t length = 0;
    if (const std::string* declared = out.header("Content-Length")) {
        char* stop = nullptr;
        unsigned long long value = std::strtoull(declared->c_str(), &stop, 10);
        if (declared->empty() || *stop != '\0' || value > kMaxBody) {
            return ParseResult::Bad;
        }
        length = static_cast<std::size_t>(value);
    }
    std::size_t bodyStart = end + 4;
    if (bytes.size() < bodyStart + length) {
        return ParseResult::NeedMore;
    }
    out.body = bytes.substr(bodyStart, length);
    return ParseResult::Complete;
}

std::string chunkBody(const std::string& body) {
    static const std::size_t kSizes[] = {211, 1, 1500, 64, 7, 733, 3000, 29};
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    std::size_t pos = 0;
    for (std::size_t n = 0; pos < body.size(); ++n) {
        std::size_t size = std::min(kSizes[n % 8], body.size() - pos);
        std::string hex;
        for (std::size_t v = size; v > 0; v /= 16) {
            hex.insert(hex.begin(), kHex[v % 16]);
        }
        // Upper-case digits on some lines: both spellings occur in the field.
        if (n % 2 == 1) {
            for (char& c : hex) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
        }
        out += hex;
        if (n % 3 == 2) {
            out += ";seq=" + std::to_string(n);
        }
        out += "\r\n" + body.substr(pos, size) + "\r\n";
        pos += size;
    }
    out += "0\r\n\r\n";
    return out;
}

std::string encodeReply(const HttpReply& reply) {
    if (reply.framing == Framing::Bare) {
        return reply.body;
    }
    std::string out =
        reply.version + " " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
    for (const auto& h : reply.headers) {
        out += h.first + ": " + h.second + "\r\n";
    }
    switch (reply.framing) {
        case Framing::Length:
            out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
            break;
        case Framing::Chunked:
            out += "Transfer-Encoding: chunked\r\n";
            break;
        default:
            break;
    }
    out += "Connection: close\r\n\r\n";
    out += reply.framing == Framing::Chunked ? chunkBody(reply.body) : reply.body;
    return out;
}

std::size_t bodyOffset(const std::string& encoded) {
    if (encoded.compare(0, 5, "HTTP/") != 0) {
        return 0;
    }
    std::size_t end = encoded.find("\r\n\r\n");
    return end == std::string::npos ? encoded.size() : end + 4;
}

HttpReply scriptReply(const std::string& server, const std::string& script) {
    HttpReply reply;
    reply.headers.emplace_back("Content-Type", "application/javascript");
    reply.headers.emplace_back("Server", server);
    reply.body = script;
    return reply;
}

}  // namespace krzlab
