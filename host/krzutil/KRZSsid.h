/// \file
/// A wireless network name.
#pragma once

#include "krzcompat/krzexport.h"

#include <string>

/// A wireless network name: up to 32 bytes, any values (the length is not enforced here; see
/// KRZPAPConfigurator::validateSsid). A plain value type; no locking.
class KRZUTIL_API KRZSsid {
  public:
    /// Empty.
    KRZSsid();
    /// The bytes as given.
    explicit KRZSsid(const std::string& bytes);
    /// Copies the bytes.
    KRZSsid(const KRZSsid& other);
    /// Copies the bytes.
    KRZSsid& operator=(const KRZSsid& other);
    ~KRZSsid();

    /// The name's bytes.
    const std::string& getBytes() const;
    /// In bytes.
    size_t length() const;
    /// True for no bytes.
    bool empty() const;
    /// Equal bytes.
    bool operator==(const KRZSsid& other) const;
    /// Different bytes.
    bool operator!=(const KRZSsid& other) const;

  private:
    std::string bytes_;
};
