// Frames travel through the control protocol as hexadecimal text.
#include "lab/net/LabControl.h"

#include "krzutil/KRZBuf.h"
#include "krzutil/KRZTextCoding.h"

namespace krzlab {

std::string toHex(const std::string& bytes) {
    return KRZBuf(bytes).toUtf8HexString();
}

bool fromHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2)
        return false;
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = krzHexDigitValue(hex[i]), lo = krzHexDigitValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

}  // namespace krzlab
