#include "lab/devices/FaultyWriter.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "lab/devices/HttpExchange.h"

namespace krzlab {

namespace {

bool sendText(int fd, const std::string& text) {
    return sendAll(fd, text.data(), text.size());
}

// Binary noise with NULs, high bytes and stray line ends, the same on every call.
std::string garbage() {
    std::string out = "\x16\x03\x01";
    unsigned state = 0x2545F491u;
    for (int i = 0; i < 509; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out += static_cast<char>(state & 0xff);
    }
    return out;
}

std::string bogusStatusLine(const std::string& bytes) {
    std::size_t lineEnd = bytes.find("\r\n");
    std::string rest = lineEnd == std::string::npos ? bytes : bytes.substr(lineEnd + 2);
    return "HTTP/1.1 2x0 \x01\x7f"
           "OKAY?\r\n" +
           rest;
}

std::string brokenChunks(const std::string& bytes) {
    std::string body = bytes.substr(bodyOffset(bytes));
    std::string first = body.substr(0, std::min<std::size_t>(body.size(), 40));
    std::string out =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n"
        "Connection: close\r\n\r\n";
    char size[8];
    std::snprintf(size, sizeof size, "%zx", first.size());
    out += std::string(size) + "\r\n" + first + "\r\n";
    out += "zz;\x02\r\n<p>oops</p>\r\n";
    out += "7ffffff0\r\n" + body.substr(first.size(), 64);
    return out;
}

std::size_t earlyCut(const std::string& bytes, unsigned serial) {
    std::size_t body = bodyOffset(bytes);
    bool inHeaders = serial % 2 == 0 && body > 0;
    if (body >= bytes.size()) {
        inHeaders = true;
    }
    if (inHeaders) {
        std::size_t headerEnd = body > 0 ? body - 4 : bytes.size();
        return std::max<std::size_t>(1, headerEnd / 2);
    }
    return body + std::max<std::size_t>(1, (bytes.size() - body) / 2);
}

bool writeSlowly(int fd, const std::string& bytes, int param,
                 const std::function<bool(int)>& pause) {
    for (std::size_t pos = 0; pos < bytes.size(); pos += kSlowPiece) {
        if (pos > 0 && !pause(param)) {
            return false;
        }
        std::size_t n = std::min(kSlowPiece, bytes.size() - pos);
        if (!sendAll(fd, bytes.data() + pos, n)) {
            return false;
        }
    }
    return true;
}

// Sends `head` once, then `pattern` again and again. A send that blocks for a second gives the
// server a chance to stop us.
bool flood(int fd, const std::string& head, const std::string& pattern,
           const std::function<bool(int)>& pause) {
    timeval tv{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (!sendText(fd, head)) {
        return false;
    }
    for (std::size_t sent = 0; sent < kFloodLimit;) {
        ssize_t n = ::send(fd, pattern.data(), pattern.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (!pause(0)) {
            return false;
        }
    }
    return true;
}

bool floodReply(int fd, unsigned serial, const std::function<bool(int)>& pause) {
    const std::string status = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
    switch (serial % 3) {
        case 0:
            return flood(fd, status, "X-Filler: 0123456789abcdef0123456789abcdef\r\n", pause);
        case 1:
            return flood(fd, status + "Transfer-Encoding: chunked\r\n\r\n",
                         "400\r\n" + std::string(1024, 'x') + "\r\n", pause);
        default:
            return flood(fd, status + "\r\n", "<p>" + std::string(1020, 'y') + "\n", pause);
    }
}

// Disconnecting an established TCP socket makes the kernel send a reset at once.
bool resetAfter(int fd, const std::string& bytes) {
    if (!bytes.empty() && !sendText(fd, bytes)) {
        return false;
    }
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(fd, &unspecified, sizeof unspecified);
    return false;
}

}  // namespace

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writeReply(int fd, const std::string& bytes, Fault fault, int param, unsigned serial,
                const std::function<bool(int)>& pause) {
    switch (fault) {
        case Fault::Slow:
            return writeSlowly(fd, bytes, std::max(param, 0), pause);
        case Fault::CloseEarly:
            return sendText(fd, bytes.substr(0, earlyCut(bytes, serial)));
        case Fault::Malformed:
            switch (serial % 3) {
                case 0:
                    return sendText(fd, garbage());
                case 1:
                    return sendText(fd, bogusStatusLine(bytes));
                default:
                    return sendText(fd, brokenChunks(bytes));
            }
        case Fault::Flood:
            return floodReply(fd, serial + static_cast<unsigned>(std::max(param, 0)), pause);
        case Fault::Reset:
            return resetAfter(fd, (serial + static_cast<unsigned>(std::max(param, 0))) % 2 == 0
                                      ? ""
                                      : bytes.substr(0, bytes.size() / 2));
        default:
            return sendText(fd, bytes);
    }
}

}  // namespace krzlab
