// Writes an encoded reply to a socket the way a device with an HTTP-level fault would.
#pragma once

#include <functional>
#include <string>

#include "lab/LabDevice.h"

namespace krzlab {

// Sends `bytes` on `fd` under `fault`:
// - None (and the connection-level faults, which the network handles): all bytes.
// - Slow: pieces of kSlowPiece bytes with `param` ms pauses, through `pause` (which returns false
//   to abandon the reply).
// - CloseEarly: stops inside the header block when `serial` is even and inside the body when it
//   is odd (a reply without headers or body is cut in what it has).
// - Malformed: by `serial` modulo 3: bytes that are not HTTP at all; the reply behind a status
//   line that is not one; a chunked body with broken size lines.
// - Flood: by `serial` + `param` modulo 3: a status line and header lines without end; a chunked
// body
//   without end; a body read to the close without end. Ends when the peer goes away, `pause`
//   returns false, or after kFloodLimit bytes.
// - Reset: a connection reset (RST) right after the request when `serial` + `param` is even,
//   and in the middle of the reply when it is odd.
// Returns false when the peer went away.
bool writeReply(int fd, const std::string& bytes, Fault fault, int param, unsigned serial,
                const std::function<bool(int)>& pause);

constexpr std::size_t kSlowPiece = 32;
constexpr std::size_t kFloodLimit = std::size_t(256) << 20;

// send() of all bytes, without SIGPIPE; false on error.
bool sendAll(int fd, const char* data, std::size_t size);

}  // namespace krzlab
