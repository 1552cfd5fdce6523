#include "HtmlTestSupport.h"

#include "http/KRZPFormParams.h"

#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> Pairs;

Pairs formOf(const std::string& page, bool parseScripts = false) {
    KRZPHtmlParser p(page);
    return p.parseFormParams(parseScripts)->getParams();
}

TEST(HtmlForm, FieldKindsInPageOrder) {
    const std::string page =
        "<form action=/x><input type=text name=t value=T><input type=HIDDEN name=h value=H>"
        "<input type=checkbox name=cb value=1><input type=Radio name=r value=R checked>"
        "<input type=reset name=rs value=RS><input type=button name=b value=B>"
        "<input type=submit name=s value=S><input type=image name=i>"
        "<input type=file name=f value=F><input name=notype value=N><input value=noname>"
        "<input type=checkbox name=cb2 checked></form><input name=after>";
    const Pairs expected = {{"t", "T"}, {"h", "H"}, {"r", "R"},      {"s", "S"},
                            {"i", ""},  {"f", "F"}, {"notype", "N"}, {"cb2", ""}};
    EXPECT_EQ(expected, formOf(page));
}

TEST(HtmlForm, CommentsAreSkippedAndFormEndsAtCloseTag) {
    KRZPHtmlParser p(
        "<input name=a value=1><!-- <input name=b value=2> --><input name=c></FORM><input "
        "name=d>");
    EXPECT_EQ((Pairs{{"a", "1"}, {"c", ""}}), p.parseFormParams(false)->getParams());
    EXPECT_EQ('>', p.getData()[p.getPosition()]);
    EXPECT_EQ(p.getData().find("></FORM>") + 7, p.getPosition());
    // "/formx" is not the end of the form.
    EXPECT_EQ((Pairs{{"a", ""}, {"b", ""}}), formOf("<input name=a></formx><input name=b>"));
}

TEST(HtmlForm, SelectAndOptions) {
    EXPECT_EQ((Pairs{{"s", "Two words "}}),
              formOf("<select name=s><option>One</option><option selected>Two words "
                     "</option></select>"));
    EXPECT_EQ((Pairs{{"s", "2"}}),
              formOf("<select name=s><option value=1>One<option value=2 selected>Two</select>"));
    // Option text is raw page text: no entity decoding, no trimming.
    EXPECT_EQ((Pairs{{"s", " A&amp;B\n"}}),
              formOf("<SELECT NAME=s><OPTION SELECTED> A&amp;B\n</OPTION></SELECT>"));
    // No selected option, options outside a select, an unnamed select: nothing.
    EXPECT_EQ(Pairs{}, formOf("<select name=s><option value=1>1</option></select>"
                              "<option value=2 selected>2</option>"
                              "<select><option value=3 selected></select>"));
    // A multiple select reports every selected option.
    EXPECT_EQ((Pairs{{"m", "1"}, {"m", "3"}}),
              formOf("<select name=m multiple><option value=1 selected><option value=2>"
                     "<option value=3 selected></select>"));
    // The select name is forgotten at </select>.
    EXPECT_EQ((Pairs{{"s", "1"}}), formOf("<select name=s><option selected value=1></select>"
                                          "<option selected value=2>"));
}

TEST(HtmlForm, RepeatedNamesAndParseForm) {
    const std::string page = "<input name=x value=1><input name=y><input name=x value=2>";
    EXPECT_EQ((Pairs{{"x", "1"}, {"y", ""}, {"x", "2"}}), formOf(page));
    KRZPHtmlParser p(page);
    const auto map = p.parseForm(false);
    EXPECT_EQ((std::map<std::string, std::string>{{"x", "1"}, {"y", ""}}), *map);
}

TEST(HtmlForm, ScriptsAreSkippedUnlessAsked) {
    const std::string page =
        "<input name=a><script>document.write('<input name=\"b\" value=\"1\">');</SCRIPT >"
        "<input name=c></form>";
    EXPECT_EQ((Pairs{{"a", ""}, {"c", ""}}), formOf(page, false));
    EXPECT_EQ((Pairs{{"a", ""}, {"b", "1"}, {"c", ""}}), formOf(page, true));
}

TEST(HtmlForm, EndOfPageAndFailures) {
    // Running out of tags ends the form normally.
    EXPECT_EQ((Pairs{{"a", "1"}}), formOf("<input name=a value=1> trailing text"));
    EXPECT_EQ(Pairs{}, formOf(""));
    EXPECT_EQ((Pairs{{"a", "1"}}), formOf("<input name=a value=1><"));
    EXPECT_EQ((Pairs{{"a", "1"}}), formOf("<input name=a value=1><p"));

    // Everything else propagates, with the cursor where the failing step left it.
    KRZPHtmlParser unclosed("<input name=a><!-- never closed <input name=b></form>");
    EXPECT_NE(std::string::npos,
              parseErrorOf([&] { unclosed.parseFormParams(false); }).find("(\"-->\")"));
    KRZPHtmlParser commentAtEnd("<input name=a><!-- x -->");
    EXPECT_PARSE_ERROR(commentAtEnd.parseFormParams(false));
    EXPECT_EQ(kAtEnd, commentAtEnd.getPosition());

    KRZPHtmlParser script("<input name=a><script>var x = 1;");
    EXPECT_NE(std::string::npos,
              parseErrorOf([&] { script.parseFormParams(false); }).find("(\"<\")"));
    KRZPHtmlParser scriptOk("<script>var x = 1;<input name=a>");
    EXPECT_EQ((Pairs{{"a", ""}}), scriptOk.parseFormParams(true)->getParams());
    // skipPastTag("/script") consumes the page's last '>' and so fails.
    KRZPHtmlParser scriptLast("<input name=a><script>x</script>");
    EXPECT_PARSE_ERROR(scriptLast.parseFormParams(false));

    KRZPHtmlParser inTag("<input name=a value=1><input name=b");
    EXPECT_PARSE_ERROR(inTag.parseFormParams(false));
    EXPECT_EQ(kAtEnd, inTag.getPosition());
    KRZPHtmlParser inSelect("<select name=s");
    EXPECT_PARSE_ERROR(inSelect.parseFormParams(false));
    KRZPHtmlParser inOption("<select name=s><option selected");
    EXPECT_PARSE_ERROR(inOption.parseFormParams(false));
    KRZPHtmlParser optionText("<select name=s><option selected>tail text");
    EXPECT_NE(std::string::npos,
              parseErrorOf([&] { optionText.parseFormParams(false); }).find("(\"<\")"));
    EXPECT_EQ(optionText.getData().size() - 9, optionText.getPosition());
    KRZPHtmlParser optionLast("<select name=s><option selected>");
    EXPECT_PARSE_ERROR(optionLast.parseFormParams(false));
    EXPECT_EQ(kAtEnd, optionLast.getPosition());
    // An unselected option that ends the page is never read.
    EXPECT_EQ(Pairs{}, formOf("<select name=s><option value=1>"));
}

}  // namespace
