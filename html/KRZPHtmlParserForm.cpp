// Form extraction: the fields of one form, read from the cursor up to the form's end.
#include "html/KRZPHtmlParser.h"

#include "http/KRZPFormParams.h"

namespace {

bool isComment(const ci_string& tag) {
    return tag.size() >= 3 && ci_char_traits::compare(tag.data(), "!--", 3) == 0;
}

// Whether an input of this type contributes to the posted form (given its name is set).
bool inputCounts(const AttributeMap& attributes) {
    const ci_string type = [&] {
        const std::string& t = KRZPHtmlParser::getAttrib(attributes, "type");
        return ci_string(t.data(), t.size());
    }();
    if (type == "button" || type == "reset") {
        return false;
    }
    if (type == "checkbox" || type == "radio") {
        return attributes->find("checked") != attributes->end();
    }
    return true;
}

}  // namespace

boost::shared_ptr<KRZPFormParams> KRZPHtmlParser::parseFormParams(bool parseScripts) {
    boost::shared_ptr<KRZPFormParams> params(new KRZPFormParams());
    std::string selectName;
    ci_string tag;
    for (;;) {
        try {
            skipToNextTag(tag);
        } catch (const KRZPAPCException&) {
            return params;  // no further tag: the page ended the form
        }
        if (isComment(tag)) {
            skipPast("-->");
        } else if (tag == "/form") {
            return params;
        } else if (tag == "script") {
            if (!parseScripts) {
                skipPastTag("/script");
            }
        } else if (tag == "input") {
            const AttributeMap attributes = parseAttributes();
            const std::string& name = getName(attributes);
            if (!name.empty() && inputCounts(attributes)) {
                params->addParam(name, getValue(attributes));
            }
        } else if (tag == "select") {
            const AttributeMap attributes = parseAttributes();  // owns what getName refers to
            selectName = getName(attributes);
        } else if (tag == "/select") {
            selectName.clear();
        } else if (tag == "option" && !selectName.empty()) {
            const AttributeMap attributes = parseAttributes();
            if (attributes->find("selected") != attributes->end()) {
                std::string value = getValue(attributes);
                if (value.empty()) {
                    // No value attribute: the option's own text, as it stands.
                    skipPast(">");
                    value = grabTo("<");
                }
                params->addParam(selectName, value);
            }
        }
    }
}

boost::shared_ptr<std::map<std::string, std::string>> KRZPHtmlParser::parseForm(bool parseScripts) {
    return parseFormParams(parseScripts)->asFormData();
}
