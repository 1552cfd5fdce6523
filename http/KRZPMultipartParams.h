// A multipart/form-data body under construction.
#pragma once

#include "krzcompat/krzexport.h"

#include <string>

class KRZPFormParams;

class KRZPAP_API KRZPMultipartParams {
  public:
    explicit KRZPMultipartParams(const std::string& boundary = "KRZB1F1F--");
    KRZPMultipartParams(const KRZPMultipartParams& other);
    KRZPMultipartParams& operator=(const KRZPMultipartParams& other);
    virtual ~KRZPMultipartParams();

    // Appends one part; nothing is escaped. `filename` and `contentType` may be empty.
    void addParam(const std::string& name, const std::string& value,
                  const std::string& filename = "", const std::string& contentType = "");
    void addParams(const KRZPFormParams& params);
    // The parts, then "--" boundary "\r\n\r\n".
    std::string asString() const;
    std::string getBoundary() const;

  private:
    std::string body;
    std::string boundary;
};
