// The device emulators serve on POSIX sockets and are not built for Windows: a Windows host joins
// a running krzlab (which may run on Linux) through KRZ_LAB=127.0.0.1:PORT instead.
#include "lab/net/LabEmbedded.h"

#include <stdexcept>

namespace krzlab {

namespace {

const char* const kNoLabHere =
    "no lab runs inside the process on Windows; join a running krzlab with "
    "KRZ_LAB=127.0.0.1:PORT";

}  // namespace

std::shared_ptr<LabLink> embeddedLab(const std::string&, const std::string&) {
    throw std::runtime_error(kNoLabHere);
}

bool resetStoredLab(const std::string&, const std::string&, std::string& reason) {
    reason = kNoLabHere;
    return false;
}

bool holdStoredLab(const std::string&, int) {
    return true;  // nothing stored here
}

}  // namespace krzlab
