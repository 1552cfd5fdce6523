// A wireless network name: up to 32 bytes, any values.
#pragma once

#include "krzcompat/krzexport.h"

#include <string>

class KRZUTIL_API KRZSsid {
  public:
    KRZSsid();
    explicit KRZSsid(const std::string& bytes);
    KRZSsid(const KRZSsid& other);
    KRZSsid& operator=(const KRZSsid& other);
    ~KRZSsid();

    const std::string& getBytes() const;
    size_t length() const;
    bool empty() const;
    bool operator==(const KRZSsid& other) const;
    bool operator!=(const KRZSsid& other) const;

  private:
    std::string bytes_;
};
