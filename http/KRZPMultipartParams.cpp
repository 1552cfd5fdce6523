#include "http/KRZPMultipartParams.h"

#include "http/KRZPFormParams.h"

KRZPMultipartParams::KRZPMultipartParams(const std::string& boundaryText)
    : boundary(boundaryText) {}

KRZPMultipartParams::KRZPMultipartParams(const KRZPMultipartParams& other) = default;
KRZPMultipartParams& KRZPMultipartParams::operator=(const KRZPMultipartParams& other) = default;

KRZPMultipartParams::~KRZPMultipartParams() {}

void KRZPMultipartParams::addParam(const std::string& name, const std::string& value,
                                   const std::string& filename, const std::string& contentType) {
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + name + "\"";
    if (!filename.empty())
        body += "; filename=\"" + filename + "\"";
    body += "\r\n";
    if (!contentType.empty())
        body += "Content-Type: " + contentType + "\r\n";
    body += "\r\n";
    body += value;
    body += "\r\n";
}

void KRZPMultipartParams::addParams(const KRZPFormParams& params) {
    for (const auto& pair : params)
        addParam(pair.first, pair.second, "", "");
}

std::string KRZPMultipartParams::asString() const {
    return body + "--" + boundary + "\r\n\r\n";
}

std::string KRZPMultipartParams::getBoundary() const {
    return boundary;
}
