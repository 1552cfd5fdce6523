/// \file
/// The host's serialisation framework: an object serialises as its members in order.
#pragma once

#include "krzcompat/krzexport.h"

#include <cstddef>
#include <string>
#include <vector>

/// Something with a byte form (the packet driver's replies). No locking; nothing is thrown.
class KRZUTIL_API KRZSerializeInterface {
  public:
    virtual ~KRZSerializeInterface();
    /// The number of bytes serialize appends.
    virtual size_t getSerializedSize() const = 0;
    /// Appends the serialised form to \p out.
    virtual void serialize(std::string& out) const = 0;
    /// Reads from \p data; returns the number of bytes read, or 0 when the input ends before the
    /// object is complete (what was read so far stays).
    virtual size_t deserialize(const unsigned char* data, size_t length) = 0;
};

/// Serialises the members registered with addMember, in registration order. A subclass registers
/// its members in its constructors (copy constructor included) and must not copy the registry.
/// The registry holds plain pointers to the subclass's own members.
class KRZUTIL_API KRZSerializeClass : public KRZSerializeInterface {
  public:
    /// No members yet.
    KRZSerializeClass();
    /// Registers nothing: the subclass's copy constructor registers its own members.
    KRZSerializeClass(const KRZSerializeClass& other);  // registers nothing
    /// Keeps this object's own registry.
    KRZSerializeClass& operator=(const KRZSerializeClass& other);  // keeps its own registry
    ~KRZSerializeClass() override;

    /// The sum of the members' sizes.
    size_t getSerializedSize() const override;
    /// The members in order.
    void serialize(std::string& out) const override;
    /// The members in order; 0 as soon as one of them ends the input.
    size_t deserialize(const unsigned char* data, size_t length) override;

  protected:
    /// Appends a member (not owned; it must live as long as this object).
    void addMember(KRZSerializeInterface* member);

  private:
    std::vector<KRZSerializeInterface*> members_;
};

/// A one-byte member.
class KRZUTIL_API KRZSerializeByte : public KRZSerializeInterface {
  public:
    /// Value 0.
    KRZSerializeByte();
    /// That value.
    explicit KRZSerializeByte(unsigned char value);
    unsigned char value;  ///< The byte.
    /// 1.
    size_t getSerializedSize() const override;
    /// Appends the byte.
    void serialize(std::string& out) const override;
    /// Reads one byte; 0 for an empty input.
    size_t deserialize(const unsigned char* data, size_t length) override;
};
