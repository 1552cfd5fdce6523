// Reading the values a page's script fills into its forms, without running the script: a
// variable's string literal (var NAME = '...'), a member of a script object (var NAME = {m:
// '...'}), what the script assigns an element's or field's value, and a value of a JSON reply the
// page fetches. Every read is one linear pass over the page, whatever the page holds. Header-only:
// the description module and krzpap's recorder share it without a new export of the library.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <string>

namespace krzscript {

inline bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

inline bool isQuote(char c) {
    return c == '\'' || c == '"';
}

inline size_t skipSpace(const std::string& text, size_t at) {
    while (at < text.size() && isSpace(text[at]))
        ++at;
    return at;
}

// The string literal whose opening quote is at `open`, read as KRZPHtmlParser::grabJs reads one
// ("\n" and "\t" decoded, any other escaped character taken as itself); the position after its
// closing quote, or npos when it does not close.
inline size_t stringLiteral(const std::string& text, size_t open, std::string& value) {
    char quote = text[open];
    value.clear();
    for (size_t i = open + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == quote)
            return i + 1;
        if (c == '\\' && ++i < text.size())
            c = text[i] == 'n' ? '\n' : text[i] == 't' ? '\t' : text[i];
        value.push_back(c);
    }
    return std::string::npos;
}

// The expression at `at` up to ',', '}', ';' or a line end: a string literal's value, or else the
// bare text (a number, a word, a member path such as cfg.ssid). The position after it, or npos.
inline size_t expression(const std::string& text, size_t at, std::string& value, bool& literal) {
    literal = at < text.size() && isQuote(text[at]);
    if (literal)
        return stringLiteral(text, at, value);
    size_t end = text.find_first_of(",};\r\n", at);
    if (end == std::string::npos)
        end = text.size();
    if (end == at)
        return std::string::npos;
    value = text.substr(at, end - at);
    while (!value.empty() && isSpace(value.back()))
        value.pop_back();
    return end;
}

// Where `var NAME = ` ends in the page, or else a statement `NAME = ` that assigns a global
// (firmware pages write `nvram = {...};`); npos when the script has neither.
inline size_t variableStart(const std::string& text, const std::string& name) {
    std::string start = "var " + name + " = ";
    size_t at = text.find(start);
    if (at != std::string::npos)
        return at + start.size();
    start = name + " = ";
    for (at = text.find(start); at != std::string::npos; at = text.find(start, at + 1))
        if (at == 0 || isSpace(text[at - 1]) || text[at - 1] == ';')
            return at + start.size();
    return std::string::npos;
}

// var NAME = '...': the literal.
inline bool variable(const std::string& text, const std::string& name, std::string& value) {
    size_t at = variableStart(text, name);
    return at < text.size() && isQuote(text[at]) &&
           stringLiteral(text, at, value) != std::string::npos;
}

// var NAME = {member: '...', ...}: the member's value, in one pass over the members.
inline bool objectMember(const std::string& text, const std::string& name,
                         const std::string& member, std::string& value) {
    size_t at = variableStart(text, name);
    if (at >= text.size() || text[at] != '{')
        return false;
    ++at;
    std::string key;
    bool literal = false;
    for (;;) {
        at = skipSpace(text, at);
        if (at >= text.size() || text[at] == '}')
            return false;
        if (isQuote(text[at])) {
            at = stringLiteral(text, at, key);
        } else {
            size_t end = text.find_first_of(": \t\r\n", at);
            key = end == std::string::npos ? std::string() : text.substr(at, end - at);
            at = end;
        }
        at = at == std::string::npos ? at : skipSpace(text, at);
        if (at >= text.size() || text[at] != ':')
            return false;
        at = expression(text, skipSpace(text, at + 1), value, literal);
        if (at == std::string::npos)
            return false;
        if (key == member)
            return true;
        at = skipSpace(text, at);
        if (at >= text.size() || text[at] != ',')
            return false;
        ++at;
    }
}

// Each assignment the page's script makes to the value of element or field `name`: by id
// (getElementById('NAME').value = ...), by form field (.NAME.value = ...) or by index
// (['NAME'].value = ...). `take` gets the position of the assigned expression; the walk stops
// when it returns true, and the result says whether it did.
inline bool eachAssignment(const std::string& text, const std::string& name,
                           const std::function<bool(size_t)>& take) {
    const std::string forms[] = {"getElementById('" + name + "').value",
                                 "getElementById(\"" + name + "\").value", "." + name + ".value",
                                 "['" + name + "'].value", "[\"" + name + "\"].value"};
    for (const std::string& form : forms)
        for (size_t at = text.find(form); at != std::string::npos; at = text.find(form, at + 1)) {
            size_t behind = skipSpace(text, at + form.size());
            if (behind < text.size() && text[behind] == '=' &&
                (behind + 1 >= text.size() || text[behind + 1] != '=') &&
                take(skipSpace(text, behind + 1)))
                return true;
        }
    return false;
}

// Whether the page's script sets the value of element or field `name`.
inline bool scriptSets(const std::string& text, const std::string& name) {
    return eachAssignment(text, name, [](size_t) { return true; });
}

// The string literal the script last assigns to element or field `name`.
inline bool elementValue(const std::string& text, const std::string& name, std::string& value) {
    bool found = false;
    eachAssignment(text, name, [&](size_t at) {
        std::string assigned;
        bool literal = false;
        if (expression(text, at, assigned, literal) != std::string::npos && literal) {
            value = assigned;
            found = true;
        }
        return false;
    });
    return found;
}

// The single value (string, number or boolean) at JSON pointer `pointer` of a JSON text.
inline bool jsonValue(const std::string& text, const std::string& pointer, std::string& value) {
    nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
    if (reply.is_discarded())
        return false;
    try {
        const nlohmann::json& found = reply.at(nlohmann::json::json_pointer(pointer));
        if (found.is_object() || found.is_array() || found.is_null())
            return false;
        value = found.is_string() ? found.get<std::string>() : found.dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// What a browser's form field `name` holds once the page's script ran, where the script fills it:
// a literal, a variable, an object's member, or a member path of the JSON reply of the page's
// fetch('URL') (read through `fetchJson`). Unscripted: the field is not filled by the script;
// Unknown: it is, and its value cannot be read.
enum class Filled { Unscripted, Known, Unknown };
inline Filled filledValue(const std::string& page, const std::string& name,
                          const std::function<std::string(const std::string&)>& fetchJson,
                          std::string& value) {
    Filled result = Filled::Unscripted;
    eachAssignment(page, name, [&](size_t at) {
        result = Filled::Unknown;
        std::string assigned;
        bool literal = false;
        if (expression(page, at, assigned, literal) == std::string::npos)
            return false;
        if (literal) {
            value = assigned;
            result = Filled::Known;
            return false;
        }
        size_t dot = assigned.find('.');
        std::string head = assigned.substr(0, dot);
        bool known = dot == std::string::npos
                         ? variable(page, head, value)
                         : objectMember(page, head, assigned.substr(dot + 1), value);
        if (!known && dot != std::string::npos) {
            // A path into the reply of the page's fetch: d.wireless.ssid is /wireless/ssid.
            size_t call = page.find("fetch(");
            std::string url;
            if (call != std::string::npos && call + 6 < page.size() && isQuote(page[call + 6]) &&
                stringLiteral(page, call + 6, url) != std::string::npos) {
                std::string pointer = "/" + assigned.substr(dot + 1);
                for (char& c : pointer)
                    c = c == '.' ? '/' : c;
                known = jsonValue(fetchJson(url), pointer, value);
            }
        }
        result = known ? Filled::Known : Filled::Unknown;
        return false;
    });
    return result;
}

}  // namespace krzscript
