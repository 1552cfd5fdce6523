#include "krzutil/KRZMacAddress.h"

#include "krzutil/KRZException.h"
#include "krzutil/KRZTextCoding.h"

#include <cstring>

namespace {

bool isSeparator(char c) {
    return c == ':' || c == '-' || c == '.' || c == ' ';
}

[[noreturn]] void throwBadText(const std::string& text) {
    std::wstring msg = L"not a MAC address: ";
    for (unsigned char c : text) {
        msg += static_cast<wchar_t>(c);
    }
    throw KRZException("KRZMacAddress", __LINE__, msg, 1);
}

}  // namespace

KRZMacAddress::KRZMacAddress() : bytes_{}, set_(false) {}

KRZMacAddress::KRZMacAddress(const unsigned char bytes[6]) : set_(true) {
    std::memcpy(bytes_, bytes, 6);
}

KRZMacAddress KRZMacAddress::fromUint64(uint64_t value) {
    unsigned char bytes[6];
    for (int i = 0; i < 6; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    return KRZMacAddress(bytes);
}

KRZMacAddress::KRZMacAddress(const KRZMacAddress& other) = default;
KRZMacAddress& KRZMacAddress::operator=(const KRZMacAddress& other) = default;
KRZMacAddress::~KRZMacAddress() = default;

KRZMacAddress KRZMacAddress::fromUtf8String(const std::string& text) {
    unsigned char bytes[6] = {};
    int digits = 0;
    bool separatorPending = false;
    for (char c : text) {
        int v = krzHexDigitValue(c);
        if (v >= 0) {
            if (digits == 12) {
                throwBadText(text);
            }
            bytes[digits / 2] = static_cast<unsigned char>(bytes[digits / 2] << 4 | v);
            ++digits;
            separatorPending = false;
        } else if (isSeparator(c) && digits > 0 && digits < 12) {
            separatorPending = true;
        } else {
            throwBadText(text);
        }
    }
    // Separators only between digits: none may trail.
    if (digits != 12 || separatorPending) {
        throwBadText(text);
    }
    return KRZMacAddress(bytes);
}

bool KRZMacAddress::isSet() const {
    return set_;
}
const unsigned char* KRZMacAddress::getBytes() const {
    return bytes_;
}

uint64_t KRZMacAddress::toUint64() const {
    uint64_t value = 0;
    for (int i = 0; i < 6; ++i) {
        value |= static_cast<uint64_t>(bytes_[i]) << (8 * i);
    }
    return value;
}

std::string KRZMacAddress::toUtf8String() const {
    if (!set_) {
        return std::string();
    }
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            out += ':';
        }
        out += kDigits[bytes_[i] >> 4];
        out += kDigits[bytes_[i] & 0x0F];
    }
    return out;
}

std::wstring KRZMacAddress::toHexString() const {
    std::string narrow = toUtf8String();
    return std::wstring(narrow.begin(), narrow.end());
}

bool KRZMacAddress::operator==(const KRZMacAddress& other) const {
    return std::memcmp(bytes_, other.bytes_, 6) == 0;
}
bool KRZMacAddress::operator!=(const KRZMacAddress& other) const {
    return !(*this == other);
}
bool KRZMacAddress::operator<(const KRZMacAddress& other) const {
    return std::memcmp(bytes_, other.bytes_, 6) < 0;
}
