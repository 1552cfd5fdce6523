// The descriptions' matcher against std::regex's ECMAScript grammar (fine on short texts), the
// patterns it refuses, and texts that make a backtracking matcher blow up.
#include "KRZPMatcher.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

using krzdesc::Matcher;

// What std::regex finds, written as "begin,end|begin,end|-" per group (- : no part in the match),
// or "none".
std::string expected(const std::string& pattern, const std::string& text) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern, std::regex::ECMAScript)))
        return "none";
    std::string out;
    for (size_t g = 0; g < m.size(); ++g) {
        out += g ? "|" : "";
        out += m[g].matched ? std::to_string(m.position(g)) + "," +
                                  std::to_string(m.position(g) + m.length(g))
                            : "-";
    }
    return out;
}

std::string actual(const Matcher& matcher, const std::string& text) {
    std::vector<Matcher::Span> spans;
    if (!matcher.search(text, spans))
        return "none";
    std::string out;
    for (size_t g = 0; g < spans.size(); ++g) {
        out += g ? "|" : "";
        out += spans[g].matched()
                   ? std::to_string(spans[g].begin) + "," + std::to_string(spans[g].end)
                   : "-";
    }
    return out;
}

TEST(MatcherTest, findsWhatEcmaScriptFinds) {
    const std::vector<std::string> texts = {
        "",
        "a",
        "b",
        "ab",
        "aab",
        "abab",
        "aaa",
        "xyz",
        "a1b2",
        "A_z9",
        " \t\n",
        "a.b",
        "<title>Acme AP-100 - Setup</title>",
        "realm=\"Acme WX 7\"",
        "Firmware v1.2.3<",
        "\"wl0_auth_mode_x\" : \"psk2\",\"wl0_wep_x\":\"0\"",
        "line1\nline2\r",
        "{x}",
        "a-b]c",
        "aaaaaaaaab",
        "abcabcabc",
        "x\x01\x7f\xc3\xa9y",
        "0123456789abcdefABCDEF",
    };
    const std::vector<std::string> patterns = {
        "a",
        "ab",
        "a|b",
        "(a|b)",
        "(a)|(b)",
        "a*",
        "a+",
        "a?",
        "a*?",
        "a+?",
        "a??",
        "(a*)b",
        "(a*?)b",
        "(a+)(a*)",
        "(a+?)(a*)",
        "(a|ab)(c|bcd)?",
        "(ab|a)(b*)",
        "^a",
        "a$",
        "^$",
        "^(a*)$",
        ".",
        ".+",
        "(.*)b",
        "(.*?)b",
        "\\d+",
        "\\D+",
        "\\w+",
        "\\W+",
        "\\s+",
        "\\S+",
        "[abc]+",
        "[^abc]+",
        "[a-c0-2]+",
        "[^a-z]",
        "[\\d.]+",
        "[\\w-]+",
        "[-a]+",
        "[a-]+",
        "\\.",
        "\\(",
        "a\\|b",
        "\\[x\\]",
        "\\{x\\}",
        "[\\]]",
        "\\x41",
        "\\t|\\n",
        "a{2}",
        "a{2,}",
        "a{1,3}",
        "a{0,2}?",
        "(a{1,2}){2}",
        "(?:ab)+",
        "(?:a|b)*?b",
        "()",
        "a(b|c)*d",
        "<title>Acme (.+?) - ",
        "realm=\"Acme ([^\"]+)\"",
        "Firmware v([^<]+)<",
        "\"wl0_auth_mode_x\"\\s*:\\s*\"(psk2|psk|pskpsk2|open)\"",
        "(\\w)(\\w)?(\\w)?",
        "line\\d$",
        "^line",
        "[\\s\\S]+",
        "[^]",
        "a{0}",
        "(a){0,1}b",
        "(?:a{2})*",
        "[]a]",
        "(ab)*c|abab",
        "b+|(a+)",
        "(\\d{1,2})\\.(\\d+)",
        "[\\x00-\\x1f]",
        "[0-9A-F]{2,4}",
        "[a-ab-b]+",
    };
    for (const std::string& p : patterns) {
        Matcher m(p);
        for (const std::string& t : texts)
            EXPECT_EQ(expected(p, t), actual(m, t)) << "pattern " << p << " on \"" << t << '"';
    }
}

// Where libstdc++ parts from ECMAScript: a repeated group keeps no value from an earlier round, and
// a round that matches nothing ends the repetition.
TEST(MatcherTest, repeatedGroupsAsEcmaScriptDefinesThem) {
    const struct {
        const char* pattern;
        const char* text;
        const char* spans;
    } cases[] = {
        {"((a)|(b))+", "ab", "0,2|1,2|-|1,2"},
        {"(a|(b))+", "ba", "0,2|1,2|-"},
        {"(?:(a)|b)*", "ab", "0,2|-"},
        {"(a(b)?)+", "aba", "0,3|2,3|-"},
        {"(a*)*b", "b", "0,1|-"},
        {"(a*)*b", "aab", "0,3|0,2"},
        {"(a*)+b", "ab", "0,2|0,1"},
        {"(a|)+b", "aab", "0,3|1,2"},
        {"(|a)+", "a", "0,1|0,1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.spans, actual(Matcher(c.pattern), c.text)) << c.pattern << " on " << c.text;
}

TEST(MatcherTest, refusesWhatItCannotRunLinearlyOrDoesNotKnow) {
    const struct {
        const char* pattern;
        const char* why;
    } cases[] = {
        {"(a)\\1", "back-references"},
        {"a(?=b)", "lookaround"},
        {"a(?!b)", "lookaround"},
        {"(?<=a)b", "lookaround"},
        {"(?<n>a)", "lookaround"},
        {"\\bword", "word boundaries"},
        {"a\\B", "word boundaries"},
        {"\\q", "unknown escape"},
        {"\\u00e9", "unknown escape"},
        {"\\x4", "hexadecimal"},
        {"a\\", "end of the pattern"},
        {"(a", "never closed"},
        {"a)", "closes no group"},
        {"[ab", "never closed"},
        {"[b-a]", "backwards"},
        {"[\\d-z]", "range"},
        {"*a", "nothing to repeat"},
        {"a|?", "nothing to repeat"},
        {"a**", "quantifier after a quantifier"},
        {"a{2}{3}", "quantifier after a quantifier"},
        {"^*", "after ^ or $"},
        {"a{", "count"},
        {"a{x}", "count"},
        {"{2}", "count"},
        {"a{3,2}", "below"},
        {"a{256}", "count above"},
        {"(?:a{200}){200}", "too large"},
    };
    for (const auto& c : cases) {
        try {
            Matcher m(c.pattern);
            ADD_FAILURE() << c.pattern << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos)
                << c.pattern << ": " << e.what();
        }
    }
    EXPECT_THROW(Matcher(std::string(Matcher::kMaxPattern + 1, 'a')), std::invalid_argument);
    EXPECT_NO_THROW(Matcher(std::string(Matcher::kMaxPattern / 2, 'a')));
    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep = "(" + deep + ")";
    EXPECT_THROW(Matcher{deep}, std::invalid_argument);
}

// A backtracking matcher takes time exponential in the text on these, or recurses once per
// character; here each is one pass.
TEST(MatcherTest, hostileTextsEndInOnePass) {
    const std::string as(100 * 1024, 'a');
    for (const char* p : {"(a*)*b", "(a|a)*b", "(a+)+$x", "(?:a?){100}a{100}b"}) {
        std::vector<Matcher::Span> spans;
        EXPECT_FALSE(Matcher(p).search(as, spans)) << p;
    }
    const std::string title = "<title>" + std::string(1024 * 1024, 'x') + "</title>";
    std::vector<Matcher::Span> spans;
    ASSERT_TRUE(Matcher("<title>([^<]+)<").search(title, spans));
    EXPECT_EQ(7u, spans[1].begin);
    EXPECT_EQ(title.size() - 8, spans[1].end);
}

// Random patterns from the supported grammar over a two-letter alphabet, against std::regex: only
// single characters repeat in loops, where libstdc++ follows ECMAScript.
std::string randomPattern(std::mt19937& rng, int depth) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    static const char* const atoms[] = {"a", "b", ".", "[ab]", "[^a]", "\\w", "^", "$"};
    static const char* const quantifiers[] = {"",   "",   "*",   "+",     "?",      "*?",
                                              "+?", "??", "{2}", "{1,2}", "{0,2}?", "{1,}"};
    std::string out;
    for (int i = 1 + pick(3); i > 0; --i) {
        const int kind = depth > 0 ? 0 : pick(4);
        if (kind == 0) {
            const int a = pick(8);
            out += std::string(atoms[a]) + (a < 6 ? quantifiers[pick(12)] : "");
        } else {
            out += std::string(kind == 1 ? "(?:" : "(") + randomPattern(rng, depth + 1) +
                   (kind == 3 ? "|" + randomPattern(rng, depth + 1) : "") + ")" +
                   (pick(3) ? "" : "?");
        }
    }
    return out;
}

TEST(MatcherTest, randomPatternsFindWhatEcmaScriptFinds) {
    std::mt19937 rng(20261207);
    int compared = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string p = randomPattern(rng, 0);
        const Matcher m(p);
        for (int j = 0; j < 4; ++j) {
            std::string t;
            for (unsigned n = rng() % 7; n > 0; --n)
                t += "ab"[rng() % 2];
            EXPECT_EQ(expected(p, t), actual(m, t)) << "pattern " << p << " on \"" << t << '"';
            ++compared;
        }
    }
    EXPECT_EQ(1200, compared);
}

}  // namespace
