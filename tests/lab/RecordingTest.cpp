// The recording format: what is written reads back the same and matches the published schema,
// what is malformed is refused with its place named, and secrets leave no trace in any spelling.
#include "recording/Recording.h"

#include "testsupport/krzprograms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <fstream>
#include <unistd.h>

using krzlab::Exchange;
using krzlab::Recording;
using krzlab::SecretScrubber;
using nlohmann::json;

namespace {

Recording sample() {
    Recording r;
    r.address = "192.168.77.10";
    r.mac = "02:4B:5A:00:00:10";
    r.recorded = "2026-12-06T15:00:00Z";
    r.complete = false;
    r.stopReason = "interrupted";
    r.login = {"form", "root", "northwind", "/login.html", "/login.cgi", "uname", "upass"};
    Exchange page;
    page.request = {"GET", "/status.html?x=1", {{"Cookie", "BRSID=abc123"}}, {}, false, true, {}};
    page.reply.headers = {{"Server", "BorealisHTTPD/2.2"}, {"Set-Cookie", "BRSID=abc123"}};
    page.reply.body = "<p>caf\xc3\xa9</p>";
    Exchange logo;
    logo.request = {"POST", "/login.cgi", {}, {{"uname", "root"}, {"upass", "northwind"}},
                    true,   false,        {}};
    logo.reply.version = "HTTP/1.0";
    logo.reply.status = 0;
    logo.reply.reason = "";
    logo.reply.body = std::string("GIF89a\x00\xff\x80", 9);
    logo.reply.cutShort = true;
    r.exchanges = {page, logo};
    return r;
}

TEST(Recording, WrittenDocumentReadsBackTheSameAndMatchesTheSchema) {
    Recording r = sample();
    std::string text = r.toText();
    json written = json::parse(text);
    // Text bodies stay readable; bytes that are not UTF-8 go as base64.
    EXPECT_EQ("<p>caf\xc3\xa9</p>", written["exchanges"][0]["reply"]["body"]);
    EXPECT_FALSE(written["exchanges"][1]["reply"].contains("body"));
    EXPECT_EQ("R0lGODlhAP+A", written["exchanges"][1]["reply"]["bodyBase64"]);
    Recording back = Recording::fromText(text);
    EXPECT_EQ(written, back.toJson());
    EXPECT_EQ(std::string("GIF89a\x00\xff\x80", 9), back.exchanges[1].reply.body);
    EXPECT_EQ(0, back.exchanges[1].reply.status);
    EXPECT_TRUE(back.exchanges[1].reply.cutShort);
    EXPECT_TRUE(back.exchanges[1].request.multipart);
    EXPECT_EQ("upass", back.login.passwordField);

    std::string path = testing::TempDir() + "recording-" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << text;
    krztest::ProgramOutcome valid =
        krztest::runProgram({"/usr/bin/jsonschema", "-i", path, KRZ_RECORDING_SCHEMA}, {});
    EXPECT_EQ(0, valid.status) << valid.out << valid.err;
    EXPECT_EQ(written, Recording::fromFile(path).toJson());
    std::remove(path.c_str());
}

TEST(Recording, MalformedDocumentsAreRefusedNamingThePlace) {
    struct Case {
        const char* what;
        std::function<void(json&)> spoil;
        const char* place;
    };
    const Case cases[] = {
        {"another format", [](json& j) { j["format"] = "har"; }, "at /format: "},
        {"a later version", [](json& j) { j["version"] = 2; }, "at /version: "},
        {"no address", [](json& j) { j.erase("address"); }, "address"},
        {"unknown login kind", [](json& j) { j["login"]["kind"] = "digest"; }, "at /login/kind: "},
        {"status as text", [](json& j) { j["exchanges"][1]["reply"]["status"] = "200"; },
         "at /exchanges/1/reply/status: "},
        {"status too large", [](json& j) { j["exchanges"][0]["reply"]["status"] = 1000; },
         "at /exchanges/0/reply/status: "},
        {"two bodies", [](json& j) { j["exchanges"][0]["reply"]["bodyBase64"] = ""; },
         "at /exchanges/0/reply: "},
        {"target without slash",
         [](json& j) { j["exchanges"][0]["request"]["target"] = "status.html"; },
         "at /exchanges/0/request/target: "},
        {"header not a pair",
         [](json& j) { j["exchanges"][0]["request"]["headers"][0] = json::array({"Cookie"}); },
         "at /exchanges/0/request/headers/0: "},
        {"flag as text", [](json& j) { j["exchanges"][1]["reply"]["cutShort"] = "yes"; },
         "at /exchanges/1/reply/cutShort: "},
        {"no exchanges", [](json& j) { j.erase("exchanges"); }, "exchanges"},
        {"empty method", [](json& j) { j["exchanges"][0]["request"]["method"] = ""; },
         "at /exchanges/0/request/method: "},
        // What the schema cannot see: bytes given as base64 are checked once decoded.
        {"empty method as base64",
         [](json& j) {
             j["exchanges"][1]["request"]["method"] = {{"base64", ""}};
         },
         "at /exchanges/1/request/method: empty"},
        {"target as base64 without slash",
         [](json& j) {
             j["exchanges"][0]["request"]["target"] = {{"base64", "eA=="}};
         },
         "at /exchanges/0/request/target: does not start with '/'"},
        {"unknown member", [](json& j) { j["exchanges"][0]["reply"]["extra"] = 1; },
         "at /exchanges/0/reply: "},
        {"not an object", [](json& j) { j = json::array(); }, "at its top: "},
        {"a body that is no base64",
         [](json& j) {
             j["exchanges"][0]["reply"].erase("body");
             j["exchanges"][0]["reply"]["bodyBase64"] = "QQ=*";
         },
         "at /exchanges/0/reply/bodyBase64: not base64"},
        {"a header name that is no base64",
         [](json& j) {
             j["exchanges"][0]["request"]["headers"][0][0] = {{"base64", "Q Q"}};
         },
         "at /exchanges/0/request/headers/0/0/base64: not base64"},
    };
    for (const Case& c : cases) {
        json j = sample().toJson();
        c.spoil(j);
        try {
            Recording::fromJson(j);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find(c.place))
                << c.what << ": " << e.what();
        }
    }
    json highest = sample().toJson();
    highest["exchanges"][0]["reply"]["status"] = 999;  // the last three-digit code is a status
    EXPECT_EQ(999, Recording::fromJson(highest).exchanges[0].reply.status);
    EXPECT_THROW(Recording::fromText("{"), std::invalid_argument);
    EXPECT_THROW(Recording::fromFile("/nonexistent/recording.json"), std::invalid_argument);
    // Padding, and the bytes of a large body that is no text, read back whole.
    json padded = sample().toJson();
    padded["exchanges"][0]["reply"].erase("body");
    padded["exchanges"][0]["reply"]["bodyBase64"] = "QUI=";
    EXPECT_EQ("AB", Recording::fromJson(padded).exchanges[0].reply.body);
    Recording big = sample();
    big.exchanges[0].reply.body = std::string(1 << 20, '\xff');
    EXPECT_EQ(big.exchanges[0].reply.body,
              Recording::fromText(big.toText()).exchanges[0].reply.body);
}

TEST(Recording, ScrubberReplacesEverySpellingOfASecretWithOnePlaceholder) {
    Recording r = sample();
    const std::string key = "a&b c'd/e>";
    r.exchanges[0].reply.body =
        "<input value=\"a&amp;b c&#39;d/e&gt;\"><script>var k = 'a&b c\\'d\\/e>';"
        "</script><a href=\"/x?k=a%26b+c%27d%2Fe%3E\">mac 02-4b-5a-00-00-10"
        "</a>";
    r.exchanges[0].request.target = "/wl?k=a%26b%20c%27d%2Fe%3E";
    SecretScrubber scrubber;
    std::string pw = scrubber.add("northwind", "password");
    std::string cookie = scrubber.add("abc123", "cookie");
    std::string k = scrubber.add(key, "key");
    EXPECT_EQ(pw, scrubber.add("northwind", "password"));  // the same value, the same placeholder
    EXPECT_EQ("PW-0001", pw);
    EXPECT_EQ("COOKIE-0001", cookie);
    EXPECT_EQ("KEY-0001", k);
    EXPECT_EQ("", scrubber.add("", "password"));
    std::string mac = scrubber.addMac("02:4B:5A:00:00:10");
    EXPECT_EQ("02:00:00:00:00:01", mac);
    EXPECT_EQ(mac, scrubber.addMac("02-4b-5a-00-00-10"));
    scrubber.apply(r);
    std::string text = r.toText();
    for (const char* secret :
         {"northwind", "abc123", "a&amp;b", "a%26b", "a&b", "c\\'d", "4B:5A", "4b-5a"})
        EXPECT_EQ(std::string::npos, text.find(secret)) << secret;
    EXPECT_EQ(3, std::count(r.exchanges[0].reply.body.begin(), r.exchanges[0].reply.body.end(),
                            'K'));  // three spellings of the key, one placeholder each
    EXPECT_NE(std::string::npos, r.exchanges[0].reply.body.find("02-00-00-00-00-01"));
    EXPECT_EQ("PW-0001", r.login.password);
    EXPECT_EQ("root", r.login.user);
    EXPECT_EQ("BRSID=COOKIE-0001", r.exchanges[0].request.headers[0].second);
    ASSERT_EQ(4u, r.placeholders.size());
    EXPECT_EQ("mac", r.placeholders[3].kind);
}

// A device's bytes that are not UTF-8 (a Latin-1 field name), wherever they stand, read back as
// they were recorded and never as U+FFFD; the document still matches the schema.
TEST(Recording, EveryTextKeepsTheDevicesBytes) {
    const std::string latin = "us\xe9r";
    const std::function<std::string&(Recording&)> places[] = {
        [](Recording& r) -> std::string& { return r.exchanges[0].request.target; },
        [](Recording& r) -> std::string& { return r.exchanges[0].request.headers[0].second; },
        [](Recording& r) -> std::string& { return r.exchanges[1].request.form[0].first; },
        [](Recording& r) -> std::string& { return r.exchanges[1].request.form[1].second; },
        [](Recording& r) -> std::string& { return r.exchanges[0].reply.headers[0].first; },
        [](Recording& r) -> std::string& { return r.exchanges[0].reply.reason; },
        [](Recording& r) -> std::string& { return r.login.userField; },
        [](Recording& r) -> std::string& { return r.login.user; },
    };
    Recording all = sample();
    for (size_t i = 0; i < std::size(places); ++i) {
        Recording r = sample();
        std::string& text = places[i](r);
        text = (i == 0 ? "/" : "") + latin;
        places[i](all) = text;
        std::string written = r.toText();
        EXPECT_EQ(std::string::npos, written.find("\\ufffd")) << i;
        EXPECT_EQ(std::string::npos, written.find("\xef\xbf\xbd")) << i;
        Recording back = Recording::fromText(written);
        EXPECT_EQ(text, places[i](back)) << i;
    }
    std::string path = testing::TempDir() + "latin-" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << all.toText();
    krztest::ProgramOutcome valid =
        krztest::runProgram({"/usr/bin/jsonschema", "-i", path, KRZ_RECORDING_SCHEMA}, {});
    EXPECT_EQ(0, valid.status) << valid.out << valid.err;
    std::remove(path.c_str());
    json bad = sample().toJson();
    bad["exchanges"][0]["request"]["headers"][0][1] = {{"base64", "QQ=="}, {"more", 1}};
    EXPECT_THROW(Recording::fromJson(bad), std::invalid_argument);
}

// Each way a page may spell a key: the scrubber leaves none of its letters.
TEST(Recording, ScrubberFindsTheKeyInEachEncoding) {
    const std::string key = "Qz7W'&\"<x y/Jm4R";
    const char* const pages[] = {
        "<input value=\"Qz7W&#39;&amp;&quot;&lt;x y/Jm4R\">",
        "<input value='Qz7W&#x27;&amp;&quot;&lt;x y/Jm4R'>",
        "<input value='Qz7W&apos;&amp;&quot;&lt;x y/Jm4R'>",
        "<input value='Qz7W&#39;&#38;&#34;&#60;x&#32;y&#47;Jm4R'>",
        "<input value='Qz7W&#x27;&#x26;&#x22;&#x3C;x&#x20;y&#x2F;Jm4R'>",
        "var k = 'Qz7W\\'&\"<x y/Jm4R';",
        "var k = \"Qz7W'&\\\"<x y/Jm4R\";",
        "{\"k\": \"Qz7W'&\\\"<x y\\/Jm4R\"}",
        "var k = 'Qz7W\\x27\\x26\\x22\\x3Cx y\\x2FJm4R';",
        "var k = 'Qz7W\\x27\\x26\\x22\\x3cx y\\x2fJm4R';",
        "var k = 'Qz7W\\u0027\\u0026\\u0022\\u003Cx y\\u002FJm4R';",
        "var k = 'Qz7W\\u0027\\u0026\\u0022\\u003cx y\\u002fJm4R';",
        "/a?k=Qz7W%27%26%22%3Cx+y%2FJm4R",
        "/a?k=Qz7W%27%26%22%3Cx%20y%2FJm4R",
        "/a?k=Qz7W%27%26%22%3cx%20y%2fJm4R",
    };
    for (const char* page : pages) {
        Recording r = sample();
        r.exchanges[0].reply.body = page;
        SecretScrubber scrubber;
        scrubber.add(key, "key");
        scrubber.apply(r);
        const std::string& body = r.exchanges[0].reply.body;
        EXPECT_EQ(std::string::npos, body.find("Qz7W")) << page << " -> " << body;
        EXPECT_NE(std::string::npos, body.find("KEY-0001")) << page;
    }
    // Many occurrences in a long page, and values that start alike: the longest wins.
    SecretScrubber scrubber;
    scrubber.add("abc", "key");
    scrubber.add("abcdef", "password");
    EXPECT_EQ("KEY-0001 PW-0001 ab", scrubber.replaceIn("abc abcdef ab"));
    std::string many;
    for (int i = 0; i < 100000; ++i)
        many += "abc.";
    std::string replaced = scrubber.replaceIn(many);
    EXPECT_EQ(std::string::npos, replaced.find("abc"));
    EXPECT_EQ(100000, std::count(replaced.begin(), replaced.end(), '.'));
}

TEST(Recording, Base64AndUtf8Checks) {
    for (const std::string& bytes : {std::string(), std::string("a"), std::string("ab"),
                                     std::string("abc"), std::string("\x00\xff\x10\x80", 4)})
        EXPECT_EQ(bytes, krzlab::base64Decode(krzlab::base64Encode(bytes)));
    struct {
        const char* bytes;
        bool valid;
    } const cases[] = {{"plain", true},
                       {"caf\xc3\xa9", true},
                       {"\xc3", false},
                       {"\xc0\xaf", false},
                       {"\xed\xa0\x80", false},
                       {"\xf4\x90\x80\x80", false},
                       {"\xe2\x82\xac", true},
                       {"\x80", false},
                       {"\xed\xbf\xbf", false},
                       {"\xf8\x88\x80\x80\x80", false},
                       {"\xff\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80", false}};
    for (const auto& c : cases)
        EXPECT_EQ(c.valid, krzlab::validUtf8(c.bytes)) << c.bytes;
    std::string grown = "a-a";
    krzlab::replaceAll(grown, "a", "aa");  // a replacement holding what it replaces is not redone
    EXPECT_EQ("aa-aa", grown);
    std::string same = "abc";
    krzlab::replaceAll(same, "", "x");  // nothing to find: the text stays
    EXPECT_EQ("abc", same);
}

TEST(Recording, LinksResolveToTargetsOnTheSameDeviceOnly) {
    struct {
        const char* base;
        const char* link;
        const char* target;  // "" = not this device's, or not a page
    } const cases[] = {
        {"/a/b.htm", "c.htm", "/a/c.htm"},
        {"/a/b.htm?x=1", "?y=2", "/a/b.htm?y=2"},
        {"/index.htm", "/st.htm", "/st.htm"},
        {"/", "status.cgi?t=10:20", "/status.cgi?t=10:20"},
        {"/", "/clock?at=10:20", "/clock?at=10:20"},
        {"/", "http://192.168.1.1/x.htm", "/x.htm"},
        {"/", "HTTP://192.168.1.1:80", "/"},
        {"/", "http://192.168.1.2/x.htm", ""},
        {"/", "//192.168.1.1/x.htm", ""},
        {"/", "javascript:go()", ""},
        {"/", "mailto:a@b", ""},
        {"/", "https://192.168.1.1/", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.target, krzlab::resolveTarget(c.base, c.link, "192.168.1.1")) << c.link;
}

}  // namespace
