#include "lab/devices/FormCoding.h"

#include "lab/devices/HttpExchange.h"

namespace krzlab {

namespace {

// The value of a parameter such as boundary=... in a header value, unquoted.
std::string headerParameter(const std::string& value, const std::string& name) {
    std::size_t at = findCaseless(value, name + "=");
    if (at == std::string::npos) {
        return std::string();
    }
    std::size_t begin = at + name.size() + 1;
    if (begin < value.size() && value[begin] == '"') {
        std::size_t close = value.find('"', begin + 1);
        return value.substr(begin + 1,
                            close == std::string::npos ? std::string::npos : close - begin - 1);
    }
    std::size_t end = value.find_first_of("; \t", begin);
    return value.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// Adds the field of one multipart part (headers, blank line, value) to `fields`.
void addPart(const std::string& part, FormFields& fields) {
    std::size_t split = part.find("\r\n\r\n");
    if (split == std::string::npos) {
        return;
    }
    std::string head = part.substr(0, split);
    std::size_t disposition = findCaseless(head, "content-disposition:");
    if (disposition == std::string::npos) {
        return;
    }
    std::size_t lineEnd = head.find("\r\n", disposition);
    std::string name = headerParameter(head.substr(disposition, lineEnd - disposition), "name");
    if (!name.empty()) {
        fields.emplace(name, part.substr(split + 4));
    }
}

}  // namespace

std::string formField(const FormFields& form, const char* name) {
    auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
}

FormFields parseUrlEncoded(const std::string& text) {
    FormFields fields;
    for (auto& pair : parseUrlEncodedPairs(text))
        fields.emplace(std::move(pair.first), std::move(pair.second));
    return fields;
}

FormFields parseMultipart(const std::string& contentType, const std::string& body) {
    FormFields fields;
    std::string boundary = headerParameter(contentType, "boundary");
    if (boundary.empty()) {
        return fields;
    }
    const std::string delimiter = "--" + boundary;
    std::size_t pos = body.find(delimiter);
    while (pos != std::string::npos) {
        std::size_t partStart = pos + delimiter.size();
        if (body.compare(partStart, 2, "\r\n") != 0) {
            break;  // "--" after the delimiter, or garbage: the end
        }
        partStart += 2;
        std::size_t next = body.find("\r\n" + delimiter, partStart);
        if (next == std::string::npos) {
            break;
        }
        addPart(body.substr(partStart, next - partStart), fields);
        pos = next + 2;
    }
    return fields;
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string jsEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\'':
                out += "\\'";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '/':
                out += "\\/";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool basicCredentials(const std::string* header, std::string& user, std::string& password) {
    if (header == nullptr || header->size() < 6 ||
        !equalsCaseless(header->substr(0, 6), "Basic ")) {
        return false;
    }
    std::size_t start = header->find_first_not_of(' ', 6);
    std::string decoded =
        start == std::string::npos ? std::string() : base64Decode(header->substr(start));
    std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

std::string pathOf(const std::string& target) {
    return target.substr(0, target.find('?'));
}

std::string cookieValue(const std::string* header, const std::string& name) {
    if (header == nullptr) {
        return std::string();
    }
    std::size_t pos = 0;
    while (pos < header->size()) {
        std::size_t end = header->find(';', pos);
        if (end == std::string::npos) {
            end = header->size();
        }
        std::string pair = header->substr(pos, end - pos);
        std::size_t start = pair.find_first_not_of(' ');
        if (start != std::string::npos && pair.compare(start, name.size() + 1, name + "=") == 0) {
            return pair.substr(start + name.size() + 1);
        }
        pos = end + 1;
    }
    return std::string();
}

}  // namespace krzlab
