// What the recorder reads out of a page: the links it follows, the values scripts give fields,
// the secrets in every shape a page holds them; and a hostile page read in one pass.
#include "PageReading.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace krzpap;

namespace {

bool holds(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

TEST(PageReading, LinksAreTheOnesABrowserFollows) {
    const std::string page =
        "<A HREF='st.htm'>s</A><img src=/logo.gif><link rel=x href=\"/s.css\">"
        "<iframe  src = \"frame.htm\"></iframe><a href=\"/logout.cgi\">out</a>"
        "<a href=\"http://10.0.0.9/far.htm\">far</a><div href=\"/no.htm\"></div>"
        "<a name=x href=\"/x.htm?a=1&amp;b=2\">x</a><a href=\"/reboot.htm\">r</a>"
        "<button onclick=\"location.href='/b.htm'\">b</button>"
        "<script>window.location = \"/w.htm\"; // location = '/commented.htm'\n"
        "top.location.href='/t.htm';</script><p>location = '/text.htm'</p>";
    std::vector<std::string> links = linksOf("/dir/index.htm", page, "10.0.0.1");
    const std::vector<std::string> expected = {"/dir/st.htm",    "/logo.gif",      "/s.css",
                                               "/dir/frame.htm", "/x.htm?a=1&b=2", "/w.htm",
                                               "/t.htm",         "/b.htm"};
    EXPECT_EQ(expected, links);
    EXPECT_TRUE(harmful("/cgi/LogOut.cgi?x=1"));
    EXPECT_FALSE(harmful("/status.htm?next=logout"));
}

TEST(PageReading, ScriptsFillFieldsInEachShape) {
    struct Case {
        const char* script;
        const char* field;  // a name, or "#id"
        const char* value;
    } const cases[] = {
        {"var wlSsid = 'Home \\'net\\''; f.wl_ssid.value = wlSsid;", "wl_ssid", "Home 'net'"},
        {"var cfg = {ssid: 'A', key: \"B\\x41\\u00e9\"}; f.wl_key.value = cfg.key;", "wl_key",
         "BA\xc3\xa9"},
        {"var cfg = {wl: {\"key\": 'deep'}}; pick(f.wl_key, cfg.wl.key);", "wl_key", "deep"},
        {"document.getElementById('k').value = 'byid';", "#k", "byid"},
        {"var v = 'x'; document.getElementById(\"k\").value = v;", "#k", "x"},
        {"f.wl_ch.value = '6';", "wl_ch", "6"},
        {"f.wl_ch.value = unknown;", "wl_ch", ""},
        {"var a = 'first'; var a = 'second'; f.n.value = a;", "n", "first"},
        {"/* f.n.value = 'no'; */ f.n.value = 'yes';", "n", "yes"},
        {"var s = \"\\ud83d\\ude00\"; f.n.value = s;", "n", "\xf0\x9f\x98\x80"},
        {"f.n.value = '\\x7f\\u0080\\u07ff\\u0800\\uffff';", "n",
         "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
    };
    for (const Case& c : cases) {
        ScriptValues values(std::string("<p>don't</p>\n<script>") + c.script + "</script>");
        std::string field = c.field;
        EXPECT_EQ(c.value,
                  field[0] == '#' ? values.valueById(field.substr(1)) : values.valueOf(field))
            << c.script;
    }
    // A JSON reply is read whole; describe names only a plain variable's.
    EXPECT_EQ("K", ScriptValues("{\"wl\": {\"key\": \"K\"}}").literals().at("wl.key"));
    EXPECT_EQ("wlSsid", ScriptValues("<script>var wlSsid = 'x'; f.ssid.value = wlSsid;</script>")
                            .variableOf("ssid"));
    EXPECT_EQ(
        "",
        ScriptValues("<script>var c = {s: 'x'}; f.ssid.value = c.s;</script>").variableOf("ssid"));
    EXPECT_EQ("",
              ScriptValues("<script>var s = \"x\"; f.ssid.value = s;</script>").variableOf("ssid"));
}

TEST(PageReading, SecretsInEveryShapeAndNothingElse) {
    struct Case {
        const char* page;
        const char* secret;  // "" = none
    } const cases[] = {
        {"<input type=password name=pw value=\"a&amp;b9\">", "a&b9"},
        {"<input type=PASSWORD name=wl_key><script>var wlKey = 'K1x'; f.wl_key.value = wlKey;"
         "</script>",
         "K1x"},
        {"<input type=password id=k name=x><script>document.getElementById('k').value = "
         "'byid';</script>",
         "byid"},
        {"<script>var cfg = {ssid: 'net', wpaKey: 'objkey'};</script>", "objkey"},
        {"{\"wl_psk\": \"jsonkey\", \"wl_key_mode\": \"psk2\"}", "jsonkey"},
        {"<input type=hidden name=wpa_passphrase value=hiddenkey>", "hiddenkey"},
        {"<a href=\"/set.cgi?ssid=n&amp;wl_key=url%20key\">", "url key"},
        {"<script>var keyIndex = '1234'; var adminPass = 'abc';</script>", ""},
        {"<input name=ssid value=MyNetwork><script>var mode = 'wpa2-psk';</script>", ""},
        {"<input type=hidden name=pptp_passthrough value=enable><script>var wlKey = 'Enabled';"
         "</script>",
         ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> found = secretsOf(c.page);
        if (*c.secret)
            EXPECT_TRUE(holds(found, c.secret)) << c.page;
        else
            EXPECT_TRUE(found.empty()) << c.page << ": " << found.front();
        EXPECT_FALSE(holds(found, "")) << c.page;
    }
    EXPECT_EQ(std::vector<std::string>{"p w"}, secretsOfTarget("/a?x=1&pass=p+w;y=2"));
    EXPECT_EQ(std::vector<std::string>{"%zz"}, secretsOfTarget("/a?key=%zz"));
    EXPECT_TRUE(secretsOfTarget("/a/key=1").empty());
    for (const char* name : {"wl_key", "wpa_psk", "adminPwd", "Password", "cfg.secret"})
        EXPECT_TRUE(secretName(name)) << name;
    for (const char* name :
         {"wl_key_mode", "keyIndex", "ssid", "key_len", "pskType", "ipsecPassThrough"})
        EXPECT_FALSE(secretName(name)) << name;
}

TEST(PageReading, SerialNumbersAcrossCells) {
    const std::string page =
        "<td>Serial Number:</td> <td>SN-123456</td> serial_no='ab12' serialnum=xy serial: "
        "<th>Z9Z9Z9</th>";
    const std::vector<std::string> expected = {"SN-123456", "ab12", "Z9Z9Z9"};
    EXPECT_EQ(expected, serialsOf(page));
}

// A MAC address is six pairs with one separator throughout, and a word of its own.
TEST(PageReading, MacAddressesStandingAsWords) {
    const struct {
        std::string text;
        std::vector<std::string> macs;
    } cases[] = {
        {"MAC: 00:1A:2b:3C:4d:5E<br>", {"00:1A:2b:3C:4d:5E"}},
        {"00-11-22-33-44-55", {"00-11-22-33-44-55"}},
        {"00:11-22:33:44:55", {}},                        // two separators
        {"00:11:22:33:44:5G", {}},                        // not hexadecimal
        {"x00:11:22:33:44:55", {}},                       // inside a word
        {"00:11:22:33:44:55a", {}},                       // inside a word
        {"00:11:22:33:44:55_", {}},                       // '_' belongs to a word
        {"-00:11:22:33:44:55:", {"00:11:22:33:44:55"}},   // separators around it are no word
        {"00:11:22:33:44:55:66", {"00:11:22:33:44:55"}},  // its first six pairs
        {"a=00:11:22:33:44:55,b=66:77:88:99:AA:BB", {"00:11:22:33:44:55", "66:77:88:99:AA:BB"}},
        {"00:11:22:33:44", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(macsOf(c.text), c.macs) << c.text;
}

// What a hostile device may send: a megabyte in one attribute, name or literal, unterminated
// markup and literals, deep nesting. Each is read without a crash and what follows still counts.
TEST(PageReading, HostilePagesAreReadInOnePass) {
    const std::string mib(1 << 20, 'a');
    const std::string tail = "<a href=\"/after.htm\">";
    const std::string cases[] = {
        "<a href=\"/" + mib + "\">" + tail,
        "<img src=" + mib + " alt='x>'>" + tail,
        "<script>location = '/" + mib + "';</script>" + tail,
        "<script>var " + mib + " = '" + mib + "'; f." + mib + ".value = " + mib + ";</script>" +
            tail,
        "<script>var k = {" + std::string(100000, '{') + "}</script>" + tail,
        std::string(100000, '<') + tail,
        "<script>'\\" + std::string(100000, 'u') + "</script>" + tail,
        "<input type=password value='" + mib + "'>" + tail,
    };
    for (const std::string& page : cases) {
        std::vector<std::string> links = linksOf("/", page, "10.0.0.1");
        EXPECT_TRUE(holds(links, "/after.htm")) << page.substr(0, 40);
        secretsOf(page);
        serialsOf("serial " + page);
    }
}

}  // namespace
