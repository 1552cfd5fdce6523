// The host application's wireless key. The library only holds and passes it on; modules read it.
#pragma once

#include "krzcompat/krzexport.h"

#include <string>

class KRZUTIL_API KRZPKey {
  public:
    KRZPKey();
    explicit KRZPKey(const std::string& key);
    virtual ~KRZPKey();
    // The key as the user gives it: a passphrase (WPA) or hexadecimal digits / text (WEP).
    const std::string& getKey() const;
    void setKey(const std::string& key);

  private:
    std::string key_;
};
