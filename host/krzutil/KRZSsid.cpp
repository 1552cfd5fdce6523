#include "krzutil/KRZSsid.h"

KRZSsid::KRZSsid() = default;
KRZSsid::KRZSsid(const std::string& bytes) : bytes_(bytes) {}
KRZSsid::KRZSsid(const KRZSsid& other) = default;
KRZSsid& KRZSsid::operator=(const KRZSsid& other) = default;
KRZSsid::~KRZSsid() = default;

const std::string& KRZSsid::getBytes() const {
    return bytes_;
}
size_t KRZSsid::length() const {
    return bytes_.size();
}
bool KRZSsid::empty() const {
    return bytes_.empty();
}
bool KRZSsid::operator==(const KRZSsid& other) const {
    return bytes_ == other.bytes_;
}
bool KRZSsid::operator!=(const KRZSsid& other) const {
    return bytes_ != other.bytes_;
}
