// The helpers a host uses beside Application, through the installed header alone.
#include <gtest/gtest.h>

#include "app/KRZPAppHelpers.h"
#include "platform/krzplatform.h"  // in_addr defined

#include <functional>
#include <string>
#include <vector>

using krzpapp::Advice;
using krzpapp::ErrorKind;

namespace {

// The kind of the Error that `f` throws; Other when it throws none.
ErrorKind thrownKind(const std::function<void()>& f) {
    try {
        f();
    } catch (const krzpapp::Error& e) {
        return e.kind();
    }
    return ErrorKind::Other;
}

TEST(AppHelpers, DeviceUrlsTakenApart) {
    struct Case {
        const char* text;
        bool url;
        const char* host;
        int port;
        const char* path;
        bool https;
    };
    const Case cases[] = {
        {"192.168.1.1", false, "", -1, "", false},
        {"ftp://10.0.0.1/", false, "", -1, "", false},
        {"http://10.0.0.1", true, "10.0.0.1", 0, "/", false},
        {"http://10.0.0.1:1/a", true, "10.0.0.1", 1, "/a", false},
        {"https://router.lan:65535/x/y?z", true, "router.lan", 65535, "/x/y?z", true},
        {"https://10.0.0.1", true, "10.0.0.1", 0, "/", true},
    };
    for (const Case& c : cases) {
        std::string host = "", path = "";
        int port = -1;
        bool https = false;
        EXPECT_EQ(krzpapp::splitDeviceUrl(c.text, host, port, path, https), c.url) << c.text;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
        EXPECT_EQ(path, c.path) << c.text;
        EXPECT_EQ(https, c.https) << c.text;
    }
    for (const char* bad : {"http://h:", "http://h:0", "http://h:65536", "http://h:123456",
                            "http://h:8a/", "https://h:-1"}) {
        std::string host, path;
        int port = 0;
        bool https = false;
        EXPECT_EQ(thrownKind([&] { krzpapp::splitDeviceUrl(bad, host, port, path, https); }),
                  ErrorKind::BadRequest)
            << bad;
    }
}

TEST(AppHelpers, DeviceAddressesAsUsersWriteThem) {
    for (const char* given : {"192.168.77.10", "http://192.168.77.10", "http://192.168.77.10/"}) {
        std::string address = given;
        EXPECT_EQ(krzpapp::dotted(krzpapp::takeDeviceAddress(address, 0)), "192.168.77.10");
        EXPECT_EQ(address, "192.168.77.10");
    }
    for (const char* bad : {"", "0.0.0.0", "255.255.255.255", "192.168.77", "router.lan",
                            "http://192.168.77.10/wireless.html", "192.168.77.10 "}) {
        std::string address = bad;
        EXPECT_EQ(thrownKind([&] { krzpapp::takeDeviceAddress(address, 0); }),
                  ErrorKind::BadRequest)
            << bad;
    }
    std::string twoPorts = "http://192.168.77.10:81";
    EXPECT_EQ(thrownKind([&] { krzpapp::takeDeviceAddress(twoPorts, 82); }), ErrorKind::BadRequest);
}

TEST(AppHelpers, TextForATerminalLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text", "plain text"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {std::string("\0\x01\x1f\x7f", 4), "\\x00\\x01\\x1F\\x7F"},
        {"\xC2\x80|\xC2\x9F", "\\x80|\\x9F"},      // C1 controls
        {"\xC2\xA0\xC3\xA9", "\xC2\xA0\xC3\xA9"},  // a no-break space and an e-acute stay
        {"end\xC2", "end\xC2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(krzpapp::escapeText(c.first), c.second) << c.second;
    EXPECT_EQ(krzpapp::narrow(L"Gr\u00FC\u00DFe \u20AC"),
              "Gr\xC3\xBC\xC3\x9F"
              "e \xE2\x82\xAC");
    EXPECT_EQ(krzpapp::widen("Gr\xC3\xBC\xC3\x9F"
                             "e"),
              L"Gr\u00FC\u00DFe");
    EXPECT_EQ(krzpapp::widen("caf\xE9"), L"caf\u00E9");  // not UTF-8: read as Latin-1
}

TEST(AppHelpers, ModeNamesBothWays) {
    const std::vector<std::pair<_KRZPSecurityMode, const char*>> security = {
        {KRZP_SECURITY_UNSET, "unknown"},     {KRZP_SECURITY_NONE, "none"},
        {KRZP_SECURITY_WEP, "wep"},           {KRZP_SECURITY_WPA_PSK, "wpa-psk"},
        {KRZP_SECURITY_WPA2_PSK, "wpa2-psk"}, {KRZP_SECURITY_WPA_WPA2_PSK, "wpa-wpa2-psk"}};
    for (const auto& m : security) {
        EXPECT_EQ(krzpapp::securityModeName(m.first), m.second);
        EXPECT_EQ(krzpapp::securityModeFromName(m.second), m.first);
    }
    const std::vector<std::pair<_KRZPEncryptionMode, const char*>> encryption = {
        {KRZP_ENCRYPTION_UNSET, "unknown"},    {KRZP_ENCRYPTION_NONE, "none"},
        {KRZP_ENCRYPTION_WEP64, "wep64"},      {KRZP_ENCRYPTION_WEP128, "wep128"},
        {KRZP_ENCRYPTION_TKIP, "tkip"},        {KRZP_ENCRYPTION_AES, "aes"},
        {KRZP_ENCRYPTION_TKIP_AES, "tkip-aes"}};
    for (const auto& m : encryption) {
        EXPECT_EQ(krzpapp::encryptionModeName(m.first), m.second);
        EXPECT_EQ(krzpapp::encryptionModeFromName(m.second), m.first);
    }
    for (const char* bad : {"WEP", "wpa", "", "aes "}) {
        EXPECT_EQ(thrownKind([&] { krzpapp::securityModeFromName(bad); }), ErrorKind::BadRequest);
        EXPECT_EQ(thrownKind([&] { krzpapp::encryptionModeFromName(bad); }), ErrorKind::BadRequest);
    }
}

TEST(AppHelpers, LibraryFailuresInTheLayersWords) {
    struct Case {
        KRZPAPCErrorCode code;
        const char* message;
        ErrorKind kind;
        const char* says;
        const char* field;
        Advice advice;
    };
    const Case cases[] = {
        {KRZPAPC_NO_ROUTE, "", ErrorKind::Unreachable, "nothing answers", "", Advice::None},
        {KRZPAPC_CONNECT_ERROR, "", ErrorKind::Unreachable, "cannot be reached", "", Advice::None},
        {KRZPAPC_CONNECT_ERROR, "the certificate changed", ErrorKind::Unreachable,
         "failed: the certificate changed", "", Advice::None},
        {KRZPAPC_IO_ERROR, "", ErrorKind::Unreachable, "broke off", "", Advice::None},
        {KRZPAPC_NOT_CONNECTED, "Reply refused: more than 8 MiB", ErrorKind::DeviceFailed,
         "too large (more than 8 MiB", "", Advice::None},
        {KRZPAPC_NO_CONNECTIVITY, "", ErrorKind::Unreachable, "no usable network adapter", "",
         Advice::None},
        {KRZPAPC_TIMEOUT, "", ErrorKind::Unreachable, "did not answer in time", "",
         Advice::TryLonger},
        {KRZPAPC_AUTH_ERROR, "", ErrorKind::LoginRefused, "refused the credentials", "password",
         Advice::GiveCredentials},
        {KRZPAPC_PARSE_ERROR, "", ErrorKind::DeviceFailed, "not what its module", "", Advice::None},
        {KRZPAPC_CANCELLED, "", ErrorKind::Cancelled, "was cancelled", "", Advice::None},
        {KRZPAPC_SCAN_IN_PROGRESS, "", ErrorKind::Other, "another scan", "", Advice::None},
        {KRZPAPC_SOCKET_ERROR, "", ErrorKind::Other, "could not open", "", Advice::None},
        {KRZPAPC_INTERNAL_ERROR, "", ErrorKind::Other, "unexpectedly", "", Advice::None},
    };
    for (const Case& c : cases) {
        KRZPAPCException e(const_cast<char*>("HelperTest"), 1, c.message, c.code);
        krzpapp::Error said = krzpapp::describeFailure(e, "reading the settings");
        SCOPED_TRACE(said.what());
        EXPECT_EQ(said.kind(), c.kind);
        EXPECT_EQ(std::string(said.what()).rfind("reading the settings ", 0), 0u);
        EXPECT_NE(std::string(said.what()).find(c.says), std::string::npos);
        EXPECT_EQ(said.field(), c.field);
        EXPECT_EQ(said.advice(), c.advice);
    }
    // A device that refuses logins for now said so in the log: its words, once.
    krzpapp::noteLogLine(L"Acme AP-100(10.0.0.1): login locked: wait 5 minutes\r\n");
    KRZPAPCException refused(const_cast<char*>("HelperTest"), 1, "", KRZPAPC_AUTH_ERROR);
    krzpapp::Error locked = krzpapp::describeFailure(refused, "logging in");
    EXPECT_EQ(locked.kind(), ErrorKind::LoginLocked);
    EXPECT_EQ(locked.deviceWords, "login locked: wait 5 minutes");
    EXPECT_EQ(krzpapp::describeFailure(refused, "logging in").kind(), ErrorKind::LoginRefused);
}

}  // namespace
