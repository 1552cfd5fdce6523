// Decoding of what browsers post and encoding of what pages show. Lenient the way small embedded
// web servers are: a malformed escape is taken literally instead of failing the request.
#pragma once

#include "recording/Recording.h"
#include "recording/UrlEncoded.h"

#include <map>
#include <string>

namespace krzlab {

using FormFields = std::map<std::string, std::string>;

// The value of field `name`, "" when the form has none.
std::string formField(const FormFields& form, const char* name);

// urlDecode and the ordered pairs are the recording format's (recording/UrlEncoded.h).

// name=value pairs joined by '&'; the first occurrence of a name wins.
FormFields parseUrlEncoded(const std::string& text);

// Fields of a multipart/form-data body. `contentType` is the request's Content-Type header, which
// names the boundary. Accepts a closing delimiter with or without its trailing "--". Empty when
// the content type carries no boundary.
FormFields parseMultipart(const std::string& contentType, const std::string& body);

// Text for HTML element content and quoted attribute values.
std::string htmlEscape(const std::string& text);

// Text for a JavaScript string literal in single quotes: backslash, both quotes, line ends, tab
// and '/' (so that "</script>" cannot end the script) are escaped with a backslash.
std::string jsEscape(const std::string& text);

// Base64 (RFC 4648) decoding is the recording format's base64Decode.

// A request target's path: what comes before its query.
std::string pathOf(const std::string& target);

// The value of cookie `name` in a Cookie header (nullptr: none sent), or "".
std::string cookieValue(const std::string* header, const std::string& name);

// From an Authorization header "Basic <b64>": user and password. False for another scheme.
bool basicCredentials(const std::string* header, std::string& user, std::string& password);

}  // namespace krzlab
