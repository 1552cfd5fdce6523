#include "krzutil/KRZBuf.h"

namespace {
const char kHexDigits[] = "0123456789abcdef";
}

KRZBuf::KRZBuf() = default;
KRZBuf::KRZBuf(size_t size) : bytes_(size, '\0') {}
KRZBuf::KRZBuf(const void* data, size_t size)
    : bytes_(data ? static_cast<const char*>(data) : "", data ? size : 0) {}
KRZBuf::KRZBuf(const std::string& bytes) : bytes_(bytes) {}
KRZBuf::KRZBuf(const KRZBuf& other) = default;
KRZBuf& KRZBuf::operator=(const KRZBuf& other) = default;
KRZBuf::~KRZBuf() = default;

unsigned char* KRZBuf::data() {
    return reinterpret_cast<unsigned char*>(&bytes_[0]);
}
const unsigned char* KRZBuf::data() const {
    return reinterpret_cast<const unsigned char*>(bytes_.data());
}
size_t KRZBuf::size() const {
    return bytes_.size();
}
const std::string& KRZBuf::bytes() const {
    return bytes_;
}

std::string KRZBuf::toUtf8HexString() const {
    std::string out;
    out.reserve(bytes_.size() * 2);
    for (unsigned char c : bytes_) {
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 0x0F];
    }
    return out;
}

std::wstring KRZBuf::toHexString() const {
    std::string narrow = toUtf8HexString();
    return std::wstring(narrow.begin(), narrow.end());
}

bool KRZBuf::operator==(const KRZBuf& other) const {
    return bytes_ == other.bytes_;
}
