#include "KRZPSteps.h"

#include "KRZPDescription.h"

#include "html/KRZPHtmlParser.h"
#include "html/KRZPScriptValues.h"
#include "krzutil/KRZBuf.h"
#include "krzutil/KRZCryptoUtil.h"
#include "krzutil/KRZTextCoding.h"

#include <algorithm>
#include <cctype>

namespace krzdesc {

namespace {

std::string lowered(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Each header line's name and value, the status line left out.
template <typename Take>
void eachHeader(const std::string& headers, Take take) {
    size_t at = headers.find('\n');
    while (at != std::string::npos && at + 1 < headers.size()) {
        size_t start = at + 1;
        size_t end = headers.find('\n', start);
        std::string line = headers.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t value = line.find_first_not_of(" \t", colon + 1);
            if (take(line.substr(0, colon),
                     value == std::string::npos ? std::string() : line.substr(value)))
                return;
        }
        at = end;
    }
}

// The digest or HMAC algorithm of an operation.
KRZCryptoUtil::Digest digestOf(Expression::Op op) {
    switch (op) {
        case Expression::Op::Md5:
        case Expression::Op::HmacMd5:
            return KRZCryptoUtil::Digest::MD5;
        case Expression::Op::Sha1:
        case Expression::Op::HmacSha1:
            return KRZCryptoUtil::Digest::SHA1;
        default:
            return KRZCryptoUtil::Digest::SHA256;
    }
}

std::string hexOf(const std::string& bytes) {
    return KRZBuf(bytes).toUtf8HexString();
}

std::string fromHex(const std::string& text, const std::string& pointer) {
    std::string out;
    if (text.size() % 2 != 0)
        throw MissingValue(pointer + ": \"" + text + "\" is not hexadecimal");
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = krzHexDigitValue(text[i]), low = krzHexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            throw MissingValue(pointer + ": \"" + text + "\" is not hexadecimal");
        out += static_cast<char>(high << 4 | low);
    }
    return out;
}

// A transform refers to others by name; a chain this deep is a loop the loader missed.
const int kMaxDepth = 32;

}  // namespace

bool headerValue(const std::string& headers, const std::string& name, std::string& value) {
    bool found = false;
    std::string wanted = lowered(name);
    eachHeader(headers, [&](const std::string& key, const std::string& text) {
        if (lowered(key) != wanted)
            return false;
        value = text;
        found = true;
        return true;
    });
    return found;
}

std::vector<std::pair<std::string, std::string>> setCookies(const std::string& headers) {
    std::vector<std::pair<std::string, std::string>> out;
    eachHeader(headers, [&](const std::string& key, const std::string& text) {
        size_t equals = text.find('=');
        if (lowered(key) == "set-cookie" && equals != std::string::npos && equals > 0) {
            size_t end = text.find(';', equals);
            out.emplace_back(text.substr(0, equals),
                             text.substr(equals + 1, end == std::string::npos ? std::string::npos
                                                                              : end - equals - 1));
        }
        return false;
    });
    return out;
}

bool bodyCookie(const std::string& body, const std::string& name, std::string& value) {
    const std::string assignment = "document.cookie";
    for (size_t at = body.find(assignment); at != std::string::npos;
         at = body.find(assignment, at + 1)) {
        size_t equals = krzscript::skipSpace(body, at + assignment.size());
        if (equals >= body.size() || body[equals] != '=')
            continue;
        size_t open = krzscript::skipSpace(body, equals + 1);
        std::string literal;
        if (open >= body.size() || !krzscript::isQuote(body[open]) ||
            krzscript::stringLiteral(body, open, literal) == std::string::npos)
            continue;
        if (literal.compare(0, name.size() + 1, name + "=") != 0)
            continue;
        size_t end = literal.find(';');
        value =
            literal.substr(name.size() + 1, end == std::string::npos ? end : end - name.size() - 1);
        return true;
    }
    return false;
}

bool Answer::heldBy(const Reply& reply, std::string& why) const {
    if (!statuses.empty() &&
        std::find(statuses.begin(), statuses.end(), reply.status) == statuses.end()) {
        why = "status " + std::to_string(reply.status);
        return false;
    }
    std::string ignored;
    if (!header.empty() && !headerValue(reply.headers, header, ignored)) {
        why = "no header " + header;
        return false;
    }
    if (!text.empty() && reply.body.find(text) == std::string::npos) {
        why = "no \"" + text + "\" in the reply";
        return false;
    }
    if (!json.empty()) {
        nlohmann::json document = nlohmann::json::parse(reply.body, nullptr, false);
        for (const auto& expected : json) {
            bool holds = false;
            try {
                holds =
                    !document.is_discarded() &&
                    document.at(nlohmann::json::json_pointer(expected.first)) == expected.second;
            } catch (const nlohmann::json::exception&) {
            }
            if (!holds) {
                why = "not " + expected.second.dump() + " at " + expected.first;
                return false;
            }
        }
    }
    return true;
}

bool Capture::take(const Reply& reply, std::string& value, std::string& why) const {
    bool found = false;
    switch (kind) {
        case CaptureKind::Header:
            why = "no header " + what;
            found = headerValue(reply.headers, what, value);
            break;
        case CaptureKind::Cookie:
            why = "no cookie " + what + " set";
            for (const auto& cookie : setCookies(reply.headers))
                if (cookie.first == what) {
                    value = cookie.second;
                    found = true;
                }
            break;
        case CaptureKind::BodyCookie:
            why = "no cookie " + what + " set by the page's script";
            found = bodyCookie(reply.body, what, value);
            break;
        case CaptureKind::Field: {
            why = "no field \"" + what + "\"";
            KRZPHtmlParser parser(reply.body);
            std::vector<KRZPBrowserForm> forms = parser.browserForms();
            for (size_t i = 0; i < forms.size() && !found; ++i) {
                const AttributeMap& attributes = forms[i].attributes;
                bool chosen = formName.empty()
                                  ? formIndex < 0 || static_cast<int>(i) == formIndex
                                  : KRZPHtmlParser::getAttrib(attributes, "name") == formName ||
                                        KRZPHtmlParser::getAttrib(attributes, "id") == formName;
                for (const KRZPBrowserField& field : forms[i].fields)
                    if (chosen && !found && field.name == what) {
                        value = field.value;
                        found = true;
                    }
            }
            break;
        }
        case CaptureKind::Script:
            why = member.empty() ? "no script value \"" + what + "\""
                                 : "no member \"" + member + "\" of the script's \"" + what + "\"";
            found = member.empty() ? krzscript::variable(reply.body, what, value)
                                   : krzscript::objectMember(reply.body, what, member, value);
            break;
        case CaptureKind::Element:
            why = "no script value for element \"" + what + "\"";
            found = krzscript::elementValue(reply.body, what, value);
            break;
        case CaptureKind::Json:
            why = "no single JSON value at \"" + what + "\"";
            found = krzscript::jsonValue(reply.body, what, value);
            break;
        case CaptureKind::Pattern:
            why = "no text matches \"" + pattern->source + "\"";
            found = pattern->find(reply.headers, reply.body, value);
            if (found && value.size() > max) {
                why = "the text matching \"" + pattern->source + "\" is longer than " +
                      std::to_string(max) + " characters";
                found = false;
            }
            break;
    }
    return found;
}

bool Capture::takeInto(const Reply& reply, Values& values, std::string& why) const {
    std::string value;
    if (!take(reply, value, why))
        return false;
    if (kind == CaptureKind::Json)
        values.setJson(name,
                       nlohmann::json::parse(reply.body).at(nlohmann::json::json_pointer(what)));
    else
        values.set(name, value);
    return true;
}

bool namesInTemplate(const std::string& text, std::vector<std::string>& names) {
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '{')
            continue;
        if (at + 1 < text.size() && text[at + 1] == '{') {
            ++at;
            continue;
        }
        size_t close = text.find('}', at);
        if (close == std::string::npos)
            return false;
        names.push_back(text.substr(at + 1, close - at - 1));
        at = close;
    }
    return true;
}

std::string Values::get(const std::string& name) const {
    auto known = known_.find(name);
    if (known != known_.end())
        return known->second;
    if (transforms_) {
        auto transform = transforms_->find(name);
        if (transform != transforms_->end())
            return evaluate(transform->second, 0);
    }
    throw MissingValue("no value {" + name + "} yet");
}

std::string Values::expand(const std::string& text, bool urlEncoded) const {
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '{') {
            out += text[at];
            continue;
        }
        if (at + 1 < text.size() && text[at + 1] == '{') {
            out += '{';
            ++at;
            continue;
        }
        size_t close = text.find('}', at);
        if (close == std::string::npos)
            throw MissingValue("a brace that does not close in \"" + text + "\"");
        std::string value = get(text.substr(at + 1, close - at - 1));
        out += urlEncoded ? krzPercentEncode(value) : value;
        at = close;
    }
    return out;
}

void Values::setJson(const std::string& name, const nlohmann::json& value) {
    set(name, value.is_string() ? value.get<std::string>() : value.dump());
    if (!value.is_string())
        typed_[name] = value;
}

nlohmann::json Values::expand(const nlohmann::json& body) const {
    if (body.is_string()) {
        const std::string& text = body.get_ref<const std::string&>();
        auto typed = text.size() > 2 && text.front() == '{' && text.back() == '}' &&
                             text.find_first_of("{}", 1) == text.size() - 1
                         ? typed_.find(text.substr(1, text.size() - 2))
                         : typed_.end();
        return typed != typed_.end() ? typed->second : nlohmann::json(expand(text));
    }
    if (!body.is_structured())
        return body;
    nlohmann::json out = body;
    for (auto it = out.begin(); it != out.end(); ++it)
        *it = expand(*it);
    return out;
}

std::string Values::evaluate(const Expression& expression) const {
    return evaluate(expression, 0);
}

std::string Values::evaluate(const Expression& e, int depth) const {
    using Op = Expression::Op;
    if (depth > kMaxDepth)
        throw MissingValue(e.pointer + ": transforms nested too deep");
    auto arg = [&](size_t i) { return evaluate(e.args.at(i), depth + 1); };
    switch (e.op) {
        case Op::Template:
            return expand(e.text);
        case Op::Md5:
        case Op::Sha1:
        case Op::Sha256:
            return KRZCryptoUtil::hash(digestOf(e.op), KRZBuf(arg(0))).toUtf8HexString();
        case Op::Base64:
            return krzBase64Encode(arg(0));
        case Op::Hex:
            return hexOf(arg(0));
        case Op::FromHex:
            return fromHex(arg(0), e.pointer);
        case Op::UrlEncode:
            return krzPercentEncode(arg(0));
        case Op::Upper: {
            std::string text = arg(0);
            for (char& c : text)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return text;
        }
        case Op::Concat: {
            std::string out;
            for (size_t i = 0; i < e.args.size(); ++i)
                out += arg(i);
            return out;
        }
        case Op::HmacMd5:
        case Op::HmacSha1:
        case Op::HmacSha256:
            return KRZCryptoUtil::hmac(digestOf(e.op), KRZBuf(arg(0)), KRZBuf(arg(1)))
                .toUtf8HexString();
        case Op::Pbkdf2Sha256: {
            std::string count = expand(e.text);
            bool digits = !count.empty() && count.size() <= 7 &&
                          std::all_of(count.begin(), count.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
            long iterations = digits ? std::stol(count) : 0;
            if (iterations < 1 || iterations > 1000000)
                throw MissingValue(e.pointer + ": \"" + count +
                                   "\" is not a count of iterations from 1 to 1000000");
            KRZBuf key = KRZCryptoUtil::pbkdf2Sha256(KRZBuf(arg(0)), KRZBuf(arg(1)),
                                                     static_cast<unsigned>(iterations),
                                                     static_cast<size_t>(e.length));
            return key.toUtf8HexString();
        }
    }
    return std::string();
}

}  // namespace krzdesc
