/// \file
/// A multipart/form-data body under construction.
#pragma once

#include "krzcompat/krzexport.h"

#include <string>

class KRZPFormParams;

/// The body of a multipart/form-data request (KRZPAPComm::writeMultipartPostRequest), built part
/// by part. A plain value type: copies are independent; no locking; nothing is thrown.
class KRZPAP_API KRZPMultipartParams {
  public:
    /// An empty body with that boundary; the default is fixed, not random.
    explicit KRZPMultipartParams(const std::string& boundary = "KRZB1F1F--");
    /// Copies the parts and the boundary.
    KRZPMultipartParams(const KRZPMultipartParams& other);
    /// Copies the parts and the boundary.
    KRZPMultipartParams& operator=(const KRZPMultipartParams& other);
    virtual ~KRZPMultipartParams();

    /// Appends one part; nothing is escaped. \p filename and \p contentType may be empty.
    void addParam(const std::string& name, const std::string& value,
                  const std::string& filename = "", const std::string& contentType = "");
    /// Appends one part per pair, in order.
    void addParams(const KRZPFormParams& params);
    /// The parts, then "--" boundary "\r\n\r\n".
    std::string asString() const;
    /// As given at construction.
    std::string getBoundary() const;

  private:
    std::string body;
    std::string boundary;
};
