#include "krzutil/KRZPKey.h"

KRZPKey::KRZPKey() = default;
KRZPKey::KRZPKey(const std::string& key) : key_(key) {}
KRZPKey::~KRZPKey() = default;
const std::string& KRZPKey::getKey() const {
    return key_;
}
void KRZPKey::setKey(const std::string& key) {
    key_ = key;
}
