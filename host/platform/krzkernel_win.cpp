// The few platform calls Windows does not have under the names the project uses.
#include "platform/krzplatform.h"

namespace {

// Winsock is started for the whole process while the platform library is loaded, so that the lab
// client, the tools and the tests can use sockets before the library's own WSAStartup.
struct WinsockForProcess {
    WinsockForProcess() {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockForProcess() {
        if (started) {
            WSACleanup();
        }
    }
    bool started = false;
} g_winsock;

}  // namespace

void krz_localtime(int64_t seconds, std::tm* out) {
    __time64_t t = static_cast<__time64_t>(seconds);
    _localtime64_s(out, &t);
}
