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

// How close the text before a control must end to label it.
const size_t kLabelReachForTest = 400;

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

// What a person sees of a form: its buttons (any kind, any attribute order), a select's options
// and each control's label. The table (golden/page_forms.json) was checked against headless
// Chromium with golden/page_forms_chromium.py.
TEST(HtmlPageForm, ButtonsOptionsAndLabelsAsABrowserShowsThem) {
    const nlohmann::json table = nlohmann::json::parse(
        krztest::fileText(std::string(KRZ_HTML_GOLDEN_DIR) + "/page_forms.json"));
    for (const nlohmann::json& row : table) {
        const std::string name = row["case"];
        const std::vector<KRZPPageForm> forms =
            KRZPHtmlParser(row["page"].get<std::string>()).pageForms();
        ASSERT_FALSE(forms.empty()) << name;
        const KRZPPageForm& form = forms[0];
        // The submission is browserForms()'s, with no button pressed.
        EXPECT_EQ(
            urlencoded(form.fields),
            urlencoded(KRZPHtmlParser(row["page"].get<std::string>()).browserForms()[0].fields))
            << name;
        if (row.contains("buttons")) {
            nlohmann::json buttons = nlohmann::json::array();
            for (const KRZPPageControl& b : form.buttons)
                buttons.push_back({b.type, b.name, b.label});
            EXPECT_EQ(buttons, row["buttons"]) << name;
        }
        nlohmann::json options = nlohmann::json::object();
        nlohmann::json labels = nlohmann::json::object();
        for (const KRZPPageControl& c : form.controls) {
            if (c.type.rfind("select", 0) == 0) {
                options[c.name] = nlohmann::json::array();
                for (const KRZPPageOption& o : c.options)
                    options[c.name].push_back({o.value, o.label});
            }
            if (!c.label.empty())
                labels[c.name] = c.label;
        }
        if (row.contains("options")) {
            EXPECT_EQ(options, row["options"]) << name;
        }
        if (row.contains("labels")) {
            EXPECT_EQ(labels, row["labels"]) << name;
        }
    }
}

// Beyond what a browser shows: a control without a label element is labelled by the text just
// before it (a table cell's), when that text ends close to it; the markup's own facts (selected,
// disabled, attributes, the value of a button element) are kept; what comes from outside every
// form belongs to none.
TEST(HtmlPageForm, TextBeforeAControlAndTheMarkupsOwnFacts) {
    const std::string distant(kLabelReachForTest, 'x');
    const std::string page =
        "<p>Outside</p><form name=w><table><tr><td>SSID &amp; name</td><td><input name=ssid "
        "maxlength=32></td></tr><tr><td>  </td><td><input type=hidden name=h value=1>"
        "<input type=checkbox name=off></td></tr></table>Gap<span title='" +
        distant +
        "'></span><textarea name=t>x</textarea><select name=s disabled><optgroup disabled><option "
        "value=a>A</optgroup><option selected value=b>B</select><button name=go value=1 "
        "type=submit>Go</button></form><input name=stray>";
    const std::vector<KRZPPageForm> forms = KRZPHtmlParser(page).pageForms();
    ASSERT_EQ(forms.size(), 1u);
    const KRZPPageForm& f = forms[0];
    EXPECT_EQ(KRZPHtmlParser::getAttrib(f.attributes, "name"), "w");
    std::vector<std::vector<std::string>> controls;
    for (const KRZPPageControl& c : f.controls)
        controls.push_back({c.name, c.type, c.value, c.label});
    EXPECT_EQ(controls,
              (std::vector<std::vector<std::string>>{{"ssid", "text", "", "SSID & name"},
                                                     {"h", "hidden", "1", "SSID & name"},
                                                     {"off", "checkbox", "", "SSID & name"},
                                                     {"t", "textarea", "", ""},
                                                     {"s", "select-one", "", ""}}));
    EXPECT_EQ(KRZPHtmlParser::getAttrib(f.controls[0].attributes, "maxlength"), "32");
    ASSERT_EQ(f.controls[4].options.size(), 2u);
    EXPECT_TRUE(f.controls[4].options[0].disabled);
    EXPECT_FALSE(f.controls[4].options[0].selected);
    EXPECT_FALSE(f.controls[4].options[1].disabled);
    EXPECT_TRUE(f.controls[4].options[1].selected);
    ASSERT_EQ(f.buttons.size(), 1u);
    EXPECT_EQ(f.buttons[0].value, "1");
    EXPECT_EQ(f.buttons[0].label, "Go");
    EXPECT_EQ(urlencoded(f.fields), "ssid=&h=1&t=x");
}

// A hostile page: labels, buttons and controls stay bounded and the read stays one pass.
TEST(HtmlPageForm, HostilePagesStayBounded) {
    std::string labels = "<form><label for=a>";
    labels += std::string(1 << 20, 'x') + "</label><input id=a name=a>";
    for (int i = 0; i < 20000; ++i)
        labels += "<input name=n>";
    const std::vector<KRZPPageForm> forms = KRZPHtmlParser(labels).pageForms();
    ASSERT_EQ(forms.size(), 1u);
    EXPECT_EQ(forms[0].controls[0].label, std::string(256, 'x'));
    EXPECT_EQ(forms[0].controls.size(), 4096u);
    EXPECT_EQ(forms[0].fields.size(), 20001u);
    // A label cut inside a character ends before it.
    const std::string accented = "<form><label>" + std::string(255, 'a') +
                                 "\xc3\xa9</label>"
                                 "<input name=e></form>";
    EXPECT_EQ(KRZPHtmlParser(accented).pageForms()[0].controls[0].label, std::string(255, 'a'));
}

}  // namespace

// Start tags as a browser's tokenizer splits them: "name attr=value ..." per tag, "|" between.
TEST(HtmlPageTags, ReadsStartTagsAsABrowserDoes) {
    const struct {
        const char* page;
        const char* tags;
    } cases[] = {
        {"<a HREF='/x?a=1&amp;b=2'>x</a>", "a href=/x?a=1&b=2"},
        {"<A href=/u onClick=\"go()\" href=/v>", "a href=/u onclick=go()"},
        {"<!-- <a href=/hidden> --><img src=i.png>", "img src=i.png"},
        {"<script src=s.js>document.write('<a href=/w>')</script><p>", "script src=s.js|p"},
        {"<title><a href=/t></title><textarea><a href=/u></textarea>", "title|textarea"},
        {"<frame src=f.htm/><iframe src=g.htm></iframe>", "frame src=f.htm/|iframe src=g.htm"},
        {"<a href=\"/never closed>", ""},
        {"< a href=/x> <1 src=y> <br/>", "br"},
    };
    for (const auto& c : cases) {
        std::string got;
        for (const KRZPPageTag& tag : KRZPHtmlParser(c.page).pageTags()) {
            got += (got.empty() ? "" : "|") + tag.name;
            for (const auto& a : tag.attributes)
                got += " " + a.first + "=" + a.second;
        }
        EXPECT_EQ(c.tags, got) << c.page;
    }
    const KRZPPageTag tag = KRZPHtmlParser("<a id=1 href=/h>").pageTags().at(0);
    ASSERT_NE(nullptr, tag.attribute("href"));
    EXPECT_EQ("/h", *tag.attribute("href"));
    EXPECT_EQ(nullptr, tag.attribute("src"));
}
