// Forms read as a browser submits them. The table (golden/browser_forms.json) gives each page the
// body a browser posts for it; it was checked against headless Chromium submitting every page to
// a local echo server.
#include "HtmlTestSupport.h"
#include "TestSupport.h"

#include "http/KRZPFormParams.h"

#include <nlohmann/json.hpp>

#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> Pairs;

// application/x-www-form-urlencoded as browsers write it.
std::string urlencoded(const std::vector<KRZPBrowserField>& fields) {
    static const char kHex[] = "0123456789ABCDEF";
    const auto encode = [](const std::string& text, std::string& out) {
        for (const char ch : text) {
            const unsigned char c = static_cast<unsigned char>(ch);
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '*' || c == '-' || c == '.' || c == '_') {
                out.push_back(ch);
            } else if (c == ' ') {
                out.push_back('+');
            } else {
                out += {'%', kHex[c >> 4], kHex[c & 15]};
            }
        }
    };
    std::string body;
    for (const KRZPBrowserField& f : fields) {
        if (!body.empty()) {
            body.push_back('&');
        }
        encode(f.name, body);
        body.push_back('=');
        encode(f.value, body);
    }
    return body;
}

TEST(HtmlBrowserForm, SendsWhatABrowserSends) {
    const nlohmann::json table = nlohmann::json::parse(
        krztest::fileText(std::string(KRZ_HTML_GOLDEN_DIR) + "/browser_forms.json"));
    ASSERT_GE(table.size(), 30u);
    for (const nlohmann::json& row : table) {
        const std::string page = row["page"];
        const std::string submit = row.value("submit", "");
        const size_t form = row.value("form", 0);
        SCOPED_TRACE(row["case"].get<std::string>());
        const std::vector<KRZPBrowserForm> forms = KRZPHtmlParser(page).browserForms(submit);
        ASSERT_LT(form, forms.size());
        EXPECT_EQ(row["sends"].get<std::string>(), urlencoded(forms[form].fields));
        // Read from the first form's tag on, the form gives the same pairs (a field that names
        // its form from outside it is beyond the reach of that reading).
        if (form == 0 && page.find(" form=") == std::string::npos) {
            KRZPHtmlParser parser(page);
            parser.skipToTag("form");
            EXPECT_EQ(row["sends"].get<std::string>(), urlencoded(parser.parseBrowserForm(submit)));
        }
    }
}

TEST(HtmlBrowserForm, EachFieldCarriesItsControlType) {
    const std::string page =
        "<form><input name=a><input type=PassWord name=b><input type=hidden name=c>"
        "<input type=checkbox name=d checked><input type=radio name=e checked>"
        "<select name=f><option>1</select><select name=g multiple><option selected>2</select>"
        "<textarea name=h></textarea><button name=i>x</button><input type=submit name=j>"
        "<input type=image name=k><input type=file name=l><input type=email name=m>"
        "<input type=bogus name=n></form>";
    Pairs types;
    for (const std::string submitter : {"i", "j", "k"}) {
        KRZPHtmlParser parser(page);
        for (const KRZPBrowserField& f : parser.parseBrowserForm(submitter)) {
            types.emplace_back(f.name, f.type);
        }
    }
    const Pairs expected = {
        {"a", "text"},   {"b", "password"},   {"c", "hidden"},          {"d", "checkbox"},
        {"e", "radio"},  {"f", "select-one"}, {"g", "select-multiple"}, {"h", "textarea"},
        {"i", "submit"}, {"l", "file"},       {"m", "email"},           {"n", "text"}};
    // The three readings differ only in the pressed button.
    ASSERT_EQ(37u, types.size());
    EXPECT_EQ(expected, Pairs(types.begin(), types.begin() + 12));
    EXPECT_EQ(Pairs({{"j", "submit"}}), Pairs(types.begin() + 20, types.begin() + 21));
    EXPECT_EQ(Pairs({{"k.x", "image"}, {"k.y", "image"}}),
              Pairs(types.begin() + 32, types.begin() + 34));
}

TEST(HtmlBrowserForm, CursorMovesFormByForm) {
    const std::string page =
        "<p><form id=one action=/a><input name=a value=1></FORM>"
        "<form><input name=b value=2><input name=c value=3></form>";
    KRZPHtmlParser parser(page);
    parser.skipToTag("form");
    EXPECT_EQ("a=1", urlencoded(parser.parseBrowserForm()));
    EXPECT_EQ(page.find("<form>"), parser.getPosition());
    // From before the next form's tag: the tag is passed over.
    EXPECT_EQ("b=2&c=3", urlencoded(parser.parseBrowserForm()));
    EXPECT_EQ(kAtEnd, parser.getPosition());  // "</form>" ends the text
    EXPECT_PARSE_ERROR(parser.parseBrowserForm());
    // A page that ends the form leaves the cursor at end; the pairs are ready to send.
    KRZPHtmlParser open("<form><input name=x value='a b'><textarea name=t>1\n2");
    EXPECT_EQ((Pairs{{"x", "a b"}, {"t", "1\r\n2"}}), open.parseBrowserFormParams()->getParams());
    EXPECT_EQ(kAtEnd, open.getPosition());
    // The form's own attributes, and nothing of a page without a form.
    const std::vector<KRZPBrowserForm> forms = KRZPHtmlParser(page).browserForms();
    ASSERT_EQ(2u, forms.size());
    EXPECT_EQ("/a", KRZPHtmlParser::getAttrib(forms[0].attributes, "ACTION"));
    EXPECT_TRUE(KRZPHtmlParser("<input name=a value=1>").browserForms().empty());
}

// Pages built to make a reading that compares every pair of something take minutes: a tag with
// 200,000 attributes, 100,000 radio groups, 20,000 forms named by fields after them all.
TEST(HtmlBrowserForm, HostilePagesReadInOnePass) {
    std::string tag = "<form><input";
    for (int i = 0; i < 200000; ++i) {
        tag += " a" + std::to_string(i);
    }
    tag += " name=x value=1></form>";
    EXPECT_EQ("x=1", urlencoded(KRZPHtmlParser(tag).browserForms()[0].fields));

    std::string radios = "<form>";
    for (int i = 0; i < 100000; ++i) {
        radios += "<input type=radio checked name=r" + std::to_string(i) + ">";
    }
    EXPECT_EQ(100000u, KRZPHtmlParser(radios).browserForms()[0].fields.size());

    std::string named;
    for (int i = 0; i < 20000; ++i) {
        named += "<form id=f" + std::to_string(i) + "></form>";
    }
    for (int i = 0; i < 20000; ++i) {
        named += "<input form=f" + std::to_string(i) + " name=n value=" + std::to_string(i) + ">";
    }
    const std::vector<KRZPBrowserForm> forms = KRZPHtmlParser(named).browserForms();
    ASSERT_EQ(20000u, forms.size());
    EXPECT_EQ("n=19999", urlencoded(forms[19999].fields));
}

TEST(HtmlBrowserForm, EveryPrefixOfEveryPageReads) {
    const nlohmann::json table = nlohmann::json::parse(
        krztest::fileText(std::string(KRZ_HTML_GOLDEN_DIR) + "/browser_forms.json"));
    for (const nlohmann::json& row : table) {
        const std::string page = row["page"];
        for (size_t n = 0; n <= page.size(); ++n) {
            KRZPHtmlParser parser(page.substr(0, n));
            EXPECT_NO_THROW(parser.browserForms("go"));
            if (n > 0) {
                EXPECT_NO_THROW(parser.parseBrowserForm("go")) << page.substr(0, n);
            }
        }
    }
}

}  // namespace
