// Ways to talk to an emulated device from a test: the curl program, and a raw socket that shows
// the bytes as they came.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lab/LabDevice.h"

namespace krztest {

struct CurlRun {
    int exitCode = -1;
    std::string out;  // stdout (stderr is the test's)
};

// Runs curl with `args`.
CurlRun curl(const std::vector<std::string>& args);

// "http://127.0.0.1:<port><path>"
std::string url(uint16_t port, const std::string& path);

struct RawRun {
    bool connected = false;
    std::string bytes;  // everything received until the device closed
    int reads = 0;      // number of recv() calls that returned data
};

// Connects to 127.0.0.1:port, sends `request`, reads until the close (10 s at most).
RawRun rawExchange(uint16_t port, const std::string& request);

// A GET as the library sends it.
std::string getRequest(const std::string& path, const std::string& extraHeaders = "");

// Decodes a chunked body (after the header block); false when the framing is broken.
bool dechunk(const std::string& chunked, std::string& body);

// The header block (status line included) and the body of raw reply bytes.
std::string headPart(const std::string& reply);
std::string bodyPart(const std::string& reply);

// A profile with factory settings equal to the current ones, at 10.0.0.<host>.
krzlab::DeviceSpec labSpec(const std::string& family, const std::string& model, int host = 2);

// Text between `before` and the next `after` in `page`, "" when absent.
std::string between(const std::string& page, const std::string& before, const std::string& after);

}  // namespace krztest
