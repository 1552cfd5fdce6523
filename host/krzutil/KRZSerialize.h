// The host's serialisation framework: an object serialises as its members in order.
#pragma once

#include "krzcompat/krzexport.h"

#include <cstddef>
#include <string>
#include <vector>

class KRZUTIL_API KRZSerializeInterface {
  public:
    virtual ~KRZSerializeInterface();
    virtual size_t getSerializedSize() const = 0;
    // Appends the serialised form to `out`.
    virtual void serialize(std::string& out) const = 0;
    // Reads from `data`; returns the number of bytes read, or 0 when the input ends before the
    // object is complete (what was read so far stays).
    virtual size_t deserialize(const unsigned char* data, size_t length) = 0;
};

// Serialises the members registered with addMember, in registration order. A subclass registers
// its members in its constructors (copy constructor included) and must not copy the registry.
class KRZUTIL_API KRZSerializeClass : public KRZSerializeInterface {
  public:
    KRZSerializeClass();
    KRZSerializeClass(const KRZSerializeClass& other);             // registers nothing
    KRZSerializeClass& operator=(const KRZSerializeClass& other);  // keeps its own registry
    ~KRZSerializeClass() override;

    size_t getSerializedSize() const override;
    void serialize(std::string& out) const override;
    size_t deserialize(const unsigned char* data, size_t length) override;

  protected:
    void addMember(KRZSerializeInterface* member);

  private:
    std::vector<KRZSerializeInterface*> members_;
};

// A one-byte member.
class KRZUTIL_API KRZSerializeByte : public KRZSerializeInterface {
  public:
    KRZSerializeByte();
    explicit KRZSerializeByte(unsigned char value);
    unsigned char value;
    size_t getSerializedSize() const override;
    void serialize(std::string& out) const override;
    size_t deserialize(const unsigned char* data, size_t length) override;
};
