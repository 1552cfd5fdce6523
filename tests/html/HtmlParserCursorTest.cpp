#include "HtmlTestSupport.h"

namespace {

std::string missingMessage(const std::string& s, size_t pos) {
    return "KRZPHtmlParser::skipTo(\"" + s +
           "\"): couldn't find string. currentPosition = " + std::to_string(pos);
}

TEST(HtmlCursor, EveryOperationThrowsAtEndAndStaysThere) {
    KRZPHtmlParser p("abc");
    EXPECT_PARSE_ERROR(p.skipPast("c"));
    ASSERT_EQ(kAtEnd, p.getPosition());
    ci_string tag;
    const std::function<void()> ops[] = {
        [&] { p.skipTo("a"); },           [&] { p.skipPast("a"); },
        [&] { p.caselessSkipPast("a"); }, [&] { p.grabTo("a"); },
        [&] { p.skipPastWhitespace(); },  [&] { p.skipToWhitespace(); },
        [&] { p.grabToWhitespace(); },    [&] { p.grabJs('\''); },
        [&] { p.skipToTag("a"); },        [&] { p.skipPastTag("a"); },
        [&] { p.skipToBody(); },          [&] { p.skipToNextTag(tag); },
        [&] { p.parseAttributes(); },     [&] { p.parseAttributeValue(); },
    };
    for (const auto& op : ops) {
        EXPECT_EQ("", parseErrorOf(op));
        EXPECT_EQ(kAtEnd, p.getPosition());
    }
    p.reset();
    p.skipTo("b");
    EXPECT_EQ(1u, p.getPosition());
}

TEST(HtmlCursor, SkipToAndGrabToLeaveCursorOnMatchOrUnchanged) {
    KRZPHtmlParser p("abc");
    p.skipTo("b");
    EXPECT_EQ(1u, p.getPosition());
    EXPECT_EQ(missingMessage("x", 1), parseErrorOf([&] { p.skipTo("x"); }));
    EXPECT_EQ(1u, p.getPosition());
    EXPECT_EQ(missingMessage("x", 1), parseErrorOf([&] { p.grabTo("x"); }));
    EXPECT_EQ(1u, p.getPosition());
    // Case-sensitive: "B" is not "b".
    p.reset();
    EXPECT_EQ(missingMessage("B", 0), parseErrorOf([&] { p.skipTo("B"); }));
    EXPECT_EQ("ab", p.grabTo("c"));
    EXPECT_EQ(2u, p.getPosition());
    EXPECT_EQ("", p.grabTo("c"));  // already on it
    EXPECT_EQ(2u, p.getPosition());
}

TEST(HtmlCursor, SkipPastAndCaselessSkipPastAtTheEndOfThePage) {
    const std::string page = "<html><body>x</body></html>";
    KRZPHtmlParser p(page);
    EXPECT_PARSE_ERROR(p.skipPast("</html>"));
    EXPECT_EQ(kAtEnd, p.getPosition());

    p.reset();
    p.caselessSkipPast("</HTML>");  // found, ends the text: no exception
    EXPECT_EQ(kAtEnd, p.getPosition());

    p.reset();
    p.caselessSkipPast("<BODY>");
    EXPECT_EQ(12u, p.getPosition());
    p.skipPast("</body>");
    EXPECT_EQ(20u, p.getPosition());
    EXPECT_EQ(missingMessage("<body>", 20), parseErrorOf([&] { p.skipPast("<body>"); }));
    EXPECT_EQ(20u, p.getPosition());
    EXPECT_PARSE_ERROR(p.caselessSkipPast("<BODY>"));
    EXPECT_EQ(kAtEnd, p.getPosition());

    // Caseless matching ignores only ASCII letter case; other bytes must be equal.
    KRZPHtmlParser q("A\xC9Z a\xE9z");
    q.caselessSkipPast("a\xE9Z");
    EXPECT_EQ(kAtEnd, q.getPosition());
    q.setData("xhely");  // replaces the caseless copy too
    EXPECT_EQ(0u, q.getPosition());
    EXPECT_PARSE_ERROR(q.caselessSkipPast("Z A"));
}

TEST(HtmlCursor, WhitespaceOperations) {
    KRZPHtmlParser p(
        "ab \t\r\ncd\x0B"
        "e");
    EXPECT_EQ("ab", p.grabToWhitespace());
    EXPECT_EQ(2u, p.getPosition());
    p.skipToWhitespace();  // already on whitespace
    EXPECT_EQ(2u, p.getPosition());
    p.skipPastWhitespace();
    EXPECT_EQ(6u, p.getPosition());
    p.skipPastWhitespace();  // already on non-whitespace
    EXPECT_EQ(6u, p.getPosition());
    // A vertical tab is not whitespace here.
    EXPECT_PARSE_ERROR(p.skipToWhitespace());
    EXPECT_EQ(kAtEnd, p.getPosition());

    KRZPHtmlParser q("x  \n");
    q.skipPast("x");
    EXPECT_PARSE_ERROR(q.skipPastWhitespace());
    EXPECT_EQ(kAtEnd, q.getPosition());
    KRZPHtmlParser r("xyz");
    EXPECT_PARSE_ERROR(r.grabToWhitespace());
    EXPECT_EQ(kAtEnd, r.getPosition());
}

TEST(HtmlCursor, GrabJsEscapesAndTermination) {
    KRZPHtmlParser p("var s='ab\\'c\\nd';");
    p.skipPast("'");
    EXPECT_EQ("ab'c\nd", p.grabJs('\''));
    EXPECT_EQ(15u, p.getPosition());
    EXPECT_EQ('\'', p.getData()[p.getPosition()]);

    KRZPHtmlParser q("\"t\\tx\\\\y\\q\\\"z\"");
    q.skipPast("\"");
    EXPECT_EQ("t\tx\\yq\"z", q.grabJs('"'));
    EXPECT_EQ(q.getData().size() - 1, q.getPosition());

    // The other quote does not end the literal.
    KRZPHtmlParser other("'it\"s'");
    other.skipPast("'");
    EXPECT_EQ("it\"s", other.grabJs('\''));

    // Unterminated: what was read, cursor just behind the text (not at end).
    KRZPHtmlParser open("x='abc");
    open.skipPast("'");
    EXPECT_EQ("abc", open.grabJs('\''));
    EXPECT_EQ(6u, open.getPosition());
    EXPECT_EQ("", open.grabJs('\''));  // behind the text: empty, cursor stays
    EXPECT_EQ(6u, open.getPosition());
    EXPECT_EQ(missingMessage("'", 6), parseErrorOf([&] { open.skipPast("'"); }));
    EXPECT_EQ(6u, open.getPosition());
    EXPECT_PARSE_ERROR(open.skipPastWhitespace());
    EXPECT_EQ(kAtEnd, open.getPosition());

    // A trailing backslash is dropped.
    KRZPHtmlParser slash("'ab\\");
    slash.skipPast("'");
    EXPECT_EQ("ab", slash.grabJs('\''));
    EXPECT_EQ(4u, slash.getPosition());
}

TEST(HtmlCursor, SkipToTagMatchesWholeNamesCaselessly) {
    KRZPHtmlParser p("<tdx><TD class=a>");
    p.skipToTag("td");
    EXPECT_EQ(8u, p.getPosition());
    EXPECT_EQ(' ', p.getData()[p.getPosition()]);

    KRZPHtmlParser spaced("x< \n body>y");
    spaced.skipToTag("BODY");
    EXPECT_EQ(9u, spaced.getPosition());
    EXPECT_EQ('>', spaced.getData()[9]);

    KRZPHtmlParser closing("<script>a<b</script >c");
    closing.skipPastTag("/SCRIPT");
    EXPECT_EQ("c", closing.getData().substr(closing.getPosition()));

    KRZPHtmlParser body("<html><bodyx><body bgcolor=white>Hi");
    body.skipToBody();
    EXPECT_EQ("Hi", body.getData().substr(body.getPosition()));

    // Not found: the failing skipPast("<") names where it stopped searching.
    KRZPHtmlParser none("<a><b>c");
    EXPECT_EQ(missingMessage("<", 4), parseErrorOf([&] { none.skipToTag("p"); }));
    EXPECT_EQ(4u, none.getPosition());

    // The name runs to the end of the text.
    KRZPHtmlParser cut("<p><body");
    EXPECT_PARSE_ERROR(cut.skipToTag("body"));
    EXPECT_EQ(kAtEnd, cut.getPosition());
    // A text ending inside a shorter candidate is a mismatch, then no more '<'.
    KRZPHtmlParser shortTail("<bo");
    EXPECT_EQ(missingMessage("<", 1), parseErrorOf([&] { shortTail.skipToTag("body"); }));
    // A '<' that is the last character: skipPast goes to end.
    KRZPHtmlParser lastLess("<a><");
    EXPECT_PARSE_ERROR(lastLess.skipToTag("b"));
    EXPECT_EQ(kAtEnd, lastLess.getPosition());
}

TEST(HtmlCursor, SkipToNextTagTakesNameUpToDelimiter) {
    ci_string name;
    KRZPHtmlParser p("<  /FORM>");
    p.skipToNextTag(name);
    EXPECT_EQ("/FORM", std::string(name.data(), name.size()));
    EXPECT_TRUE(name == "/form");
    EXPECT_EQ(8u, p.getPosition());

    KRZPHtmlParser q("<!--x--><br/>\n<Input\tname=a>");
    q.skipToNextTag(name);
    EXPECT_EQ("!--x--", std::string(name.data(), name.size()));
    q.skipToNextTag(name);
    EXPECT_EQ("br/", std::string(name.data(), name.size()));
    q.skipToNextTag(name);
    EXPECT_EQ("Input", std::string(name.data(), name.size()));  // the page's spelling
    EXPECT_EQ('\t', q.getData()[q.getPosition()]);

    KRZPHtmlParser open("<p>< tail");
    open.skipToNextTag(name);
    EXPECT_PARSE_ERROR(open.skipToNextTag(name));
    EXPECT_EQ(5u, open.getPosition());  // on the name's first character
    EXPECT_EQ("p", std::string(name.data(), name.size()));
    KRZPHtmlParser blank("<   ");
    EXPECT_PARSE_ERROR(blank.skipToNextTag(name));
    EXPECT_EQ(kAtEnd, blank.getPosition());
}

std::string value(const AttributeMap& m, const char* name) {
    return KRZPHtmlParser::getAttrib(m, name);
}

TEST(HtmlCursor, ParseAttributesNamesValuesAndQuotes) {
    KRZPHtmlParser p(" a=1 b = \"x&amp;y\" c d='q'>rest");
    AttributeMap m = p.parseAttributes();
    EXPECT_EQ(4u, m->size());
    EXPECT_EQ("1", value(m, "a"));
    EXPECT_EQ("x&y", value(m, "B"));
    EXPECT_EQ(1u, m->count("c"));
    EXPECT_EQ("", value(m, "c"));
    EXPECT_EQ("q", value(m, "d"));
    EXPECT_EQ('>', p.getData()[p.getPosition()]);

    KRZPHtmlParser raw(" a=x&amp;y>");
    EXPECT_EQ("x&amp;y", value(raw.parseAttributes(), "a"));

    KRZPHtmlParser under(" data_x=1>");
    m = under.parseAttributes();
    ASSERT_EQ(2u, m->size());
    EXPECT_EQ("", value(m, "data"));
    EXPECT_EQ("1", value(m, "x"));

    KRZPHtmlParser first("<input name='a' NAME='b' type=checkbox checked/>");
    first.skipToTag("input");
    m = first.parseAttributes();
    EXPECT_EQ("a", KRZPHtmlParser::getName(m));
    EXPECT_EQ("checkbox", value(m, "TYPE"));
    EXPECT_EQ(1u, m->count("checked"));
    // The key keeps the page's spelling of its first occurrence.
    KRZPHtmlParser spelled(" NaMe=1 name=2>");
    m = spelled.parseAttributes();
    ASSERT_EQ(1u, m->size());
    EXPECT_EQ("NaMe", std::string(m->begin()->first.data(), m->begin()->first.size()));
    EXPECT_EQ("1", m->begin()->second);

    KRZPHtmlParser dashed("<meta http-equiv=Refresh x.y=2 ns:attr=3>");
    dashed.skipToTag("meta");
    m = dashed.parseAttributes();
    EXPECT_EQ("Refresh", value(m, "HTTP-EQUIV"));
    EXPECT_EQ("2", value(m, "x.y"));
    EXPECT_EQ("3", value(m, "attr"));
    EXPECT_EQ(1u, m->count("ns"));

    KRZPHtmlParser empty(">");
    EXPECT_TRUE(empty.parseAttributes()->empty());
    EXPECT_EQ(0u, empty.getPosition());
}

TEST(HtmlCursor, ParseAttributesFailuresAtTheEndOfTheText) {
    // Each text and where the cursor is left: at the end, except inside an unclosed quote.
    const std::pair<const char*, size_t> cases[] = {
        {" a=1 selected", kAtEnd}, {" a ", kAtEnd}, {" a=", kAtEnd},
        {" a='1'", kAtEnd},        {" a='1>", 3u},  {" /", kAtEnd},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        KRZPHtmlParser p(c.first);
        EXPECT_PARSE_ERROR(p.parseAttributes());
        EXPECT_EQ(c.second, p.getPosition());
    }
}

TEST(HtmlCursor, ParseAttributeValueForms) {
    KRZPHtmlParser p("'abc");
    EXPECT_PARSE_ERROR(p.parseAttributeValue());
    EXPECT_EQ(0u, p.getPosition());

    KRZPHtmlParser q("  \"a 'b' &lt;\" next");
    EXPECT_EQ("a 'b' <", q.parseAttributeValue());
    EXPECT_EQ(' ', q.getData()[q.getPosition()]);

    KRZPHtmlParser last("'v'");
    EXPECT_EQ("v", last.parseAttributeValue());  // closing quote ends the text: no error
    EXPECT_EQ(kAtEnd, last.getPosition());

    KRZPHtmlParser bare(std::string("ab&lt;c\0d", 9));
    EXPECT_EQ("ab&lt;c", bare.parseAttributeValue());
    EXPECT_EQ(7u, bare.getPosition());
    KRZPHtmlParser gt("v1>");
    EXPECT_EQ("v1", gt.parseAttributeValue());
    EXPECT_EQ(2u, gt.getPosition());
    KRZPHtmlParser none(">");
    EXPECT_EQ("", none.parseAttributeValue());
    EXPECT_EQ(0u, none.getPosition());
    KRZPHtmlParser runs("value");
    EXPECT_PARSE_ERROR(runs.parseAttributeValue());
    EXPECT_EQ(kAtEnd, runs.getPosition());
}

TEST(HtmlCursor, GetAttribMissesShareOneEmptyString) {
    AttributeMap m(new std::map<ci_string, std::string>());
    (*m)["Name"] = "n";
    EXPECT_EQ("n", KRZPHtmlParser::getName(m));
    const std::string& miss1 = KRZPHtmlParser::getValue(m);
    const std::string& miss2 = KRZPHtmlParser::getAttrib(m, "other");
    EXPECT_EQ("", miss1);
    EXPECT_EQ(&miss1, &miss2);
    EXPECT_EQ(1u, m->size());  // a lookup never inserts
    EXPECT_EQ(&miss1, &KRZPHtmlParser::getAttrib(AttributeMap(), "x"));
}

TEST(HtmlCursor, CiStringComparesAndOrdersLikeStrnicmp) {
    EXPECT_TRUE(ci_string("Input") == ci_string("INPUT"));
    EXPECT_TRUE(ci_string("abc") < ci_string("ABCD"));  // shorter first
    EXPECT_TRUE(ci_string("ABC") < ci_string("abd"));
    EXPECT_TRUE(ci_string("_") < ci_string("a"));          // '_' sorts before letters lowered
    EXPECT_TRUE(ci_string("_") < ci_string("A"));          // lowered, not uppered
    EXPECT_TRUE(ci_string("a\x7F") < ci_string("A\x80"));  // bytes compare unsigned
    EXPECT_FALSE(ci_string("\xC9") == ci_string("\xE9"));  // only ASCII letters fold
    EXPECT_TRUE(ci_char_traits::ne('a', 'B'));
    EXPECT_FALSE(ci_char_traits::ne('q', 'Q'));
    EXPECT_EQ(2u, ci_string("xyZz").find("zZ"));
    EXPECT_EQ(ci_string::npos, ci_string("xyz").find('['));
}

}  // namespace
