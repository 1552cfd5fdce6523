/// \file
/// The host application's wireless key.
#pragma once

#include "krzcompat/krzexport.h"

#include <string>

/// The host application's wireless key. The library only holds and passes it on (by
/// boost::shared_ptr, never logged); modules read it. No locking.
class KRZUTIL_API KRZPKey {
  public:
    /// An empty key.
    KRZPKey();
    /// The key as the user gives it.
    explicit KRZPKey(const std::string& key);
    virtual ~KRZPKey();
    /// The key as the user gives it: a passphrase (WPA) or hexadecimal digits / text (WEP).
    const std::string& getKey() const;
    /// Replaces the key.
    void setKey(const std::string& key);

  private:
    std::string key_;
};
