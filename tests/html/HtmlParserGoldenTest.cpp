// Real-looking administration pages with their expected fields beside them (golden/*.fields,
// one name=value per line).
#include "HtmlTestSupport.h"
#include "TestSupport.h"

#include "http/KRZPFormParams.h"

#include <sstream>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> Pairs;

std::string readFile(const std::string& name) {
    return krztest::fileText(std::string(KRZ_HTML_GOLDEN_DIR) + "/" + name);
}

// "\n", "\t" and "\\" in a value stand for a line feed, a tab and a backslash.
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c);
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

Pairs readPairs(const std::string& name) {
    std::istringstream lines(readFile(name));
    Pairs pairs;
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (line.empty() || eq == std::string::npos) {
            continue;
        }
        pairs.emplace_back(line.substr(0, eq), unescape(line.substr(eq + 1)));
    }
    return pairs;
}

struct GoldenPage {
    const char* name;
    bool toBody;  // start at the body (the head holds a decoy); else at the first form tag
    bool parseScripts;
};

const GoldenPage kPages[] = {
    {"acme_login", true, false},
    {"borealis_wireless", false, false},
    {"corvid_status", true, false},
    {"dynamo_scripted", false, true},
};

TEST(HtmlGolden, FormFieldsMatchTheExpectedLists) {
    for (const GoldenPage& page : kPages) {
        SCOPED_TRACE(page.name);
        const std::string html = readFile(std::string(page.name) + ".html");
        const Pairs expected = readPairs(std::string(page.name) + ".fields");
        ASSERT_FALSE(expected.empty());
        KRZPHtmlParser p(html);
        if (page.toBody) {
            p.skipToBody();
        } else {
            p.skipToTag("form");
        }
        EXPECT_EQ(expected, p.parseFormParams(page.parseScripts)->getParams());
    }
}

TEST(HtmlGolden, JavaScriptSettingsReadWithGrabJs) {
    const std::string html = readFile("corvid_status.html");
    const Pairs expected = readPairs("corvid_status.jsvars");
    ASSERT_EQ(8u, expected.size());
    KRZPHtmlParser p(html);
    for (const auto& var : expected) {
        SCOPED_TRACE(var.first);
        p.skipPast("var " + var.first + " = ");
        const char quote = p.getData()[p.getPosition()];
        p.skipPast(std::string(1, quote));
        EXPECT_EQ(var.second, p.grabJs(quote));
        EXPECT_EQ(quote, p.getData()[p.getPosition()]);
    }
    // After the last literal the walk carries on to the form.
    p.skipToTag("FORM");
    const AttributeMap form = p.parseAttributes();
    EXPECT_EQ("statusform", KRZPHtmlParser::getName(form));
}

// Every prefix of every page through the form reader and a tag walk: only the parse error may
// come out, and the sanitizer build catches any read past the text.
TEST(HtmlGolden, TruncatedPagesFailCleanly) {
    for (const GoldenPage& page : kPages) {
        const std::string html = readFile(std::string(page.name) + ".html");
        for (size_t n = 0; n <= html.size(); ++n) {
            const std::string prefix = html.substr(0, n);
            for (bool scripts : {false, true}) {
                KRZPHtmlParser p(prefix);
                try {
                    p.parseFormParams(scripts);
                } catch (const KRZPAPCException& e) {
                    ASSERT_EQ(KRZPAPC_PARSE_ERROR, e.getAPCErrorCode());
                }
            }
            KRZPHtmlParser walk(prefix);
            ci_string tag;
            try {
                for (;;) {
                    walk.skipToNextTag(tag);
                    walk.parseAttributes();
                }
            } catch (const KRZPAPCException& e) {
                ASSERT_EQ(KRZPAPC_PARSE_ERROR, e.getAPCErrorCode());
            }
        }
    }
}

}  // namespace
