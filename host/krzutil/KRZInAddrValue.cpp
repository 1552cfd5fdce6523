#include "krzcompat/krznettypes.h"

#include "platform/krzplatform.h"

KRZInAddrValue::KRZInAddrValue() : value_(new in_addr()) {}

KRZInAddrValue::KRZInAddrValue(const in_addr& address) : value_(new in_addr(address)) {}

KRZInAddrValue::KRZInAddrValue(const KRZInAddrValue& other) : value_(new in_addr(*other.value_)) {}

KRZInAddrValue& KRZInAddrValue::operator=(const KRZInAddrValue& other) {
    *value_ = *other.value_;
    return *this;
}

KRZInAddrValue& KRZInAddrValue::operator=(const in_addr& address) {
    *value_ = address;
    return *this;
}

KRZInAddrValue::~KRZInAddrValue() {
    delete value_;
}
