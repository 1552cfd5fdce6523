/// \file
/// The system network types that the library's interface names, without the system's socket
/// headers, so that a host includes ours beside whichever system headers it likes. in_addr is only
/// declared: a host that reads an address's fields includes \<netinet/in.h\> (\<winsock2.h\> on
/// Windows) itself. A socket is held as the system's handle type.
#pragma once

#include "krzcompat/krzexport.h"

#include <cstdint>

struct in_addr;

#if defined(_WIN32)
/// A socket as the system holds it.
typedef std::uintptr_t KRZSocketHandle;  // Winsock's SOCKET (UINT_PTR)
#else
/// A socket as the system holds it.
typedef unsigned int KRZSocketHandle;  // the platform layer's SOCKET
#endif

/// An in_addr held by value where the interface only declares it: a field of an exported class or
/// of a result structure. Its operations live in the host utility library, where in_addr is
/// defined, so a program copies and destroys holders without the definition; it includes
/// \<netinet/in.h\> (\<winsock2.h\>) only to read the address's fields. A plain value type.
class KRZUTIL_API KRZInAddrValue {
  public:
    /// 0.0.0.0.
    KRZInAddrValue();  // 0.0.0.0
    /// A copy of \p address.
    KRZInAddrValue(const in_addr& address);
    /// Copies the address.
    KRZInAddrValue(const KRZInAddrValue& other);
    /// Copies the address.
    KRZInAddrValue& operator=(const KRZInAddrValue& other);
    /// Copies \p address.
    KRZInAddrValue& operator=(const in_addr& address);
    ~KRZInAddrValue();

    /// The address held.
    in_addr& operator*() { return *value_; }
    /// The address held.
    const in_addr& operator*() const { return *value_; }
    /// The address held.
    in_addr* operator->() { return value_; }
    /// The address held.
    const in_addr* operator->() const { return value_; }

  private:
    in_addr* value_;
};

/// A value of a type that only the library's own units define (the select sets of a scanner), held
/// apart so that the holding class's layout does not need the definition. Copies copy the value.
/// Created, copied and destroyed only in the library's units: hosts and modules never use it.
template <typename T>
class KRZHeldValue {
  public:
    /// A value-initialised T.
    KRZHeldValue() : value_(new T()) {}
    /// A copy of the value.
    KRZHeldValue(const KRZHeldValue& other) : value_(new T(*other.value_)) {}
    /// Copies the value.
    KRZHeldValue& operator=(const KRZHeldValue& other) {
        *value_ = *other.value_;
        return *this;
    }
    ~KRZHeldValue() { delete value_; }

    /// The value.
    T& operator*() { return *value_; }
    /// The value.
    const T& operator*() const { return *value_; }
    /// The value.
    T* operator->() { return value_; }
    /// The value.
    const T* operator->() const { return value_; }

  private:
    T* value_;
};
