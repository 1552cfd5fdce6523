// What a browser posts as application/x-www-form-urlencoded (and sends as a query), decoded the
// way a browser's own reader decodes it: the lab reads the forms posted to its devices with it,
// and the HAR import the forms a browser recorded.
#pragma once

#include "recording/Recording.h"

#include <string>

namespace krzlab {

// '+' is a space and %XX its byte; a '%' without two hexadecimal digits after it stays as it is.
std::string urlDecode(const std::string& text);

// The name=value pairs of `text` split at '&', decoded, in order (a name may come twice); an
// empty piece is skipped and a piece without '=' is a name with an empty value.
HeaderList parseUrlEncodedPairs(const std::string& text);

}  // namespace krzlab
