#include "krzutil/KRZSerialize.h"

KRZSerializeInterface::~KRZSerializeInterface() = default;

KRZSerializeClass::KRZSerializeClass() = default;
KRZSerializeClass::KRZSerializeClass(const KRZSerializeClass&) : KRZSerializeInterface() {}
KRZSerializeClass& KRZSerializeClass::operator=(const KRZSerializeClass&) {
    return *this;
}
KRZSerializeClass::~KRZSerializeClass() = default;

size_t KRZSerializeClass::getSerializedSize() const {
    size_t total = 0;
    for (const KRZSerializeInterface* member : members_) {
        total += member->getSerializedSize();
    }
    return total;
}

void KRZSerializeClass::serialize(std::string& out) const {
    for (const KRZSerializeInterface* member : members_) {
        member->serialize(out);
    }
}

size_t KRZSerializeClass::deserialize(const unsigned char* data, size_t length) {
    size_t used = 0;
    for (KRZSerializeInterface* member : members_) {
        size_t n = member->deserialize(data + used, length - used);
        if (n == 0) {
            return 0;
        }
        used += n;
    }
    return used;
}

void KRZSerializeClass::addMember(KRZSerializeInterface* member) {
    members_.push_back(member);
}

KRZSerializeByte::KRZSerializeByte() : value(0) {}
KRZSerializeByte::KRZSerializeByte(unsigned char v) : value(v) {}
size_t KRZSerializeByte::getSerializedSize() const {
    return 1;
}
void KRZSerializeByte::serialize(std::string& out) const {
    out += static_cast<char>(value);
}
size_t KRZSerializeByte::deserialize(const unsigned char* data, size_t length) {
    if (length < 1) {
        return 0;
    }
    value = data[0];
    return 1;
}
