// Format 2 of descriptions: requests as steps, what their replies must show, the values taken from
// them, and the transforms (digests, HMAC, PBKDF2, codings) of captured and given values. Pure
// data and pure functions: the configurator sends the requests; here they are built and their
// replies read.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

namespace krzdesc {

struct Pattern;

// One reply as the device sent it.
struct Reply {
    int status = 0;
    std::string headers;  // the header text, status line included
    std::string body;
};

// The value of header `name` (letter case ignored) in a header text; false when there is none.
bool headerValue(const std::string& headers, const std::string& name, std::string& value);
// Each cookie a header text sets (Set-Cookie), name -> value, in order.
std::vector<std::pair<std::string, std::string>> setCookies(const std::string& headers);
// The value the body's script gives cookie `name` (document.cookie = 'NAME=value; ...').
bool bodyCookie(const std::string& body, const std::string& name, std::string& value);

// Conditions on a reply; every one given must hold.
struct Answer {
    std::vector<int> statuses;  // empty: any below 400 when used as a step's default
    std::string header;
    std::string text;
    std::vector<std::pair<std::string, nlohmann::json>> json;  // pointer -> value

    bool given() const {
        return !statuses.empty() || !header.empty() || !text.empty() || !json.empty();
    }
    // Whether the reply shows every condition; `why` says which failed.
    bool heldBy(const Reply& reply, std::string& why) const;
};

class Values;

enum class CaptureKind { Header, Cookie, BodyCookie, Field, Script, Element, Json, Pattern };

// One value taken from a reply.
struct Capture {
    std::string name;
    CaptureKind kind = CaptureKind::Header;
    std::string what;    // header, cookie, field, script variable, element id or JSON pointer
    std::string member;  // with Script: the member of the object the variable holds
    int formIndex = -1;  // with Field: which form (-1: any), or by name
    std::string formName;
    std::shared_ptr<const Pattern> pattern;
    size_t max = 256;  // a pattern's value may be at most this long
    std::string pointer;

    // The value in `reply`; false, with what is missing in `why`, when it is not there.
    bool take(const Reply& reply, std::string& value, std::string& why) const;
    // Takes the value into `values`, with its JSON type when it is a JSON reply's.
    bool takeInto(const Reply& reply, Values& values, std::string& why) const;
};

enum class Body { None, Form, Urlencoded, Multipart, Json, Text };

struct Step {
    std::string method;                                        // GET, POST, ...
    std::string path;                                          // template
    std::vector<std::pair<std::string, std::string>> headers;  // name, template
    std::string referer;                                       // template; empty: the default
    Body body = Body::None;
    // Body::Form: the form a browser would submit, fields on top; else the fields of
    // Urlencoded or Multipart (in name order).
    std::string formPage;
    int formIndex = 0;
    std::string formName;
    bool multipart = false;
    std::vector<std::pair<std::string, std::string>> fields;
    // A wireless change writing the security mode named (as the library names it): fields set
    // (a template) or left out (no value) over `fields`.
    std::map<std::string, std::vector<std::pair<std::string, std::optional<std::string>>>>
        bySecurity;
    nlohmann::json json;      // Body::Json: strings are templates
    std::string contentType;  // Body::Text
    std::string text;         // Body::Text: template
    Answer expect;
    bool restarts = false;
    std::vector<Capture> captures;
    std::string pointer;
};

// A transform of values: a template, or an operation on expressions.
struct Expression {
    enum class Op {
        Template,
        Md5,
        Sha1,
        Sha256,
        Base64,
        Hex,
        FromHex,
        UrlEncode,
        Upper,
        Concat,
        HmacMd5,
        HmacSha1,
        HmacSha256,
        Pbkdf2Sha256
    };
    Op op = Op::Template;
    std::string text;              // Template; Pbkdf2Sha256: the iterations' template
    std::vector<Expression> args;  // key, data / password, salt / the operands
    int length = 32;               // Pbkdf2Sha256
    std::string pointer;
};

// A value that a template names and that cannot be given (a capture not taken yet, a transform
// that fails): the step that needed it is not sent.
class MissingValue : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The values an operation knows: built-ins and captures by name, and the description's
// transforms, computed when named.
class Values {
  public:
    explicit Values(const std::map<std::string, Expression>* transforms = nullptr)
        : transforms_(transforms) {}
    void set(const std::string& name, const std::string& value) {
        known_[name] = value;
        typed_.erase(name);
    }
    // A value taken from a JSON reply: a JSON body's string that is just {NAME} posts it as the
    // device gave it (a number stays a number, true stays true).
    void setJson(const std::string& name, const nlohmann::json& value);
    bool has(const std::string& name) const { return known_.count(name) != 0; }
    void erase(const std::string& name) { known_.erase(name); }
    // The value of NAME; throws MissingValue.
    std::string get(const std::string& name) const;
    // The template with each {NAME} replaced (URL-encoded when `urlEncoded`); "{{" is a brace.
    std::string expand(const std::string& text, bool urlEncoded = false) const;
    std::string evaluate(const Expression& expression) const;
    // A JSON body: each string expanded.
    nlohmann::json expand(const nlohmann::json& body) const;

  private:
    std::string evaluate(const Expression& expression, int depth) const;
    const std::map<std::string, Expression>* transforms_;
    std::map<std::string, std::string> known_;
    std::map<std::string, nlohmann::json> typed_;  // values of other JSON types than string
};

// The names a template refers to, in order; false when a brace does not close.
bool namesInTemplate(const std::string& text, std::vector<std::string>& names);

}  // namespace krzdesc
