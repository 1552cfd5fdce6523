#include <gtest/gtest.h>

#include "DeviceProbe.h"
#include "lab/devices/FormCoding.h"
#include "lab/devices/HttpExchange.h"

using namespace krzlab;

TEST(FormCoding, MultipartFromBrowsersAndFromTheLibrarysClosingLine) {
    // A browser-style body, closed with "--boundary--".
    std::string browser =
        "--XyZ\r\nContent-Disposition: form-data; name=\"ssid\"\r\n\r\nMy Net\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"key\"; filename=\"\"\r\n"
        "Content-Type: text/plain\r\n\r\nline1\r\nline2\r\n--XyZ--\r\n";
    FormFields a = parseMultipart("multipart/form-data; boundary=XyZ", browser);
    EXPECT_EQ(a["ssid"], "My Net");
    EXPECT_EQ(a["key"], "line1\r\nline2");

    // A boundary that itself ends in "--", closed without a further "--".
    std::string library =
        "--KRZB1F1F--\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
        "--KRZB1F1F--\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n\r\n"
        "--KRZB1F1F--\r\n\r\n";
    FormFields b = parseMultipart("multipart/form-data; boundary=KRZB1F1F--", library);
    EXPECT_EQ(b.size(), 2u);
    EXPECT_EQ(b["a"], "1");
    EXPECT_EQ(b["b"], "");

    EXPECT_TRUE(parseMultipart("multipart/form-data", browser).empty());
    EXPECT_TRUE(parseMultipart("multipart/form-data; boundary=\"XyZ\"", "--XyZ\r\nbroken").empty());
}

TEST(FormCoding, UrlEncodedFieldsKeepTheFirstOfARepeatedName) {
    FormFields f = parseUrlEncoded("user=a+b&bad=%G1&flag&user=second");
    EXPECT_EQ(f.size(), 3u);
    EXPECT_EQ(f["user"], "a b");
    EXPECT_EQ(f["bad"], "%G1");
    EXPECT_EQ(f.count("flag"), 1u);
}

TEST(FormCoding, EscapesForPagesAndScripts) {
    EXPECT_EQ(htmlEscape("<a href=\"x\">Tom's & co</a>"),
              "&lt;a href=&quot;x&quot;&gt;Tom&#39;s &amp; co&lt;/a&gt;");
    EXPECT_EQ(jsEscape("My'Net\\\"\n\t</script>"), "My\\'Net\\\\\\\"\\n\\t<\\/script>");
    std::string user, pass;
    std::string header = "Basic " + std::string("OnNlY3JldA==");  // ":secret"
    ASSERT_TRUE(basicCredentials(&header, user, pass));
    EXPECT_EQ(user, "");
    EXPECT_EQ(pass, "secret");
    std::string colonInPassword = "basic YWRtaW46YTpi";  // "admin:a:b"
    ASSERT_TRUE(basicCredentials(&colonInPassword, user, pass));
    EXPECT_EQ(user, "admin");
    EXPECT_EQ(pass, "a:b");
    std::string other = "Digest abc";
    std::string bare = "Basic ";
    EXPECT_FALSE(basicCredentials(&other, user, pass));
    EXPECT_FALSE(basicCredentials(&bare, user, pass));
    EXPECT_FALSE(basicCredentials(nullptr, user, pass));
}

TEST(HttpExchange, RequestParsesTheSameForEverySplit) {
    std::string request =
        "POST /goform/wireless?x=1 HTTP/1.1\r\nConnection: Close\r\nHost: 10.0.0.2\r\n"
        "Content-length: 11\r\n\r\nssid=a&b=cd";
    for (std::size_t cut = 0; cut < request.size(); ++cut) {
        HttpRequest partial;
        ASSERT_EQ(parseRequest(request.substr(0, cut), partial), ParseResult::NeedMore) << cut;
    }
    HttpRequest r;
    ASSERT_EQ(parseRequest(request, r), ParseResult::Complete);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/goform/wireless");
    EXPECT_EQ(r.query, "x=1");
    ASSERT_NE(r.header("CONTENT-LENGTH"), nullptr);
    EXPECT_EQ(r.body, "ssid=a&b=cd");

    EXPECT_EQ(parseRequest("\x16\x03\x01 hello\r\n\r\n", r), ParseResult::Bad);
    EXPECT_EQ(parseRequest("GET / HTTP/1.1\r\nno colon here\r\n\r\n", r), ParseResult::Bad);
    EXPECT_EQ(parseRequest("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", r), ParseResult::Bad);
    EXPECT_EQ(parseRequest(std::string(70000, 'a'), r), ParseResult::Bad);
}

TEST(HttpExchange, ChunkingVariesSizesCarriesExtensionsAndDecodesBack) {
    std::string body;
    for (int i = 0; i < 3000; ++i) {
        body += i % 50 == 0 ? '\n' : static_cast<char>('a' + i % 26);
    }
    std::string chunked = chunkBody(body);
    std::string decoded;
    ASSERT_TRUE(krztest::dechunk(chunked, decoded));
    EXPECT_EQ(decoded, body);
    EXPECT_NE(chunked.find(";seq="), std::string::npos);
    EXPECT_EQ(chunked.compare(0, 4, "d3\r\n"), 0);            // 211, lower case
    EXPECT_NE(chunked.find("\r\n1\r\n"), std::string::npos);  // a one-byte chunk
    EXPECT_NE(chunked.find("\r\n5dc;seq=2\r\n"), std::string::npos);
    EXPECT_NE(chunked.find("\r\n2DD;seq=5\r\n"), std::string::npos);  // upper case too
    EXPECT_EQ(chunkBody(""), "0\r\n\r\n");

    HttpReply bare;
    bare.framing = Framing::Bare;
    bare.body = "<html>x</html>";
    EXPECT_EQ(encodeReply(bare), "<html>x</html>");
    EXPECT_EQ(bodyOffset(encodeReply(bare)), 0u);
}
