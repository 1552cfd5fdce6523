// The web configurator against loopback devices reached through the fake network backend: the
// device addresses 10.9.8.x never leave the machine.

#include "FakeNetworkBackend.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "core/KRZPAPModule.h"
#include "webconf/KRZPHttpConfigurator.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using krztest::inAddr;
using krztest::thrownBy;

const char* const kMac = "00:11:22:33:44:55";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A device module as small as it gets; the send operations are made public for the tests.
class AcmeT1 : public KRZPHttpConfigurator {
  public:
    AcmeT1(const in_addr& address, const KRZMacAddress& mac) : KRZPHttpConfigurator(address, mac) {}
    AcmeT1(std::vector<KRZMacAddress> macs, const std::string& user, const std::string& pass)
        : KRZPHttpConfigurator(std::move(macs), user, pass) {}

    std::string getVendorName() const override { return "Acme"; }
    std::string getModelName() const override { return "T1"; }
    std::pair<std::string, std::string> getDefaultCredentials() const override {
        return {"admin", "admin"};
    }
    bool usesUsername() const override { return true; }
    int getMaxPasswordLen() const override { return 32; }
    std::pair<std::string, std::string> getCredentials() const override {
        return credentialsOverride.first.empty() ? KRZPHttpConfigurator::getCredentials()
                                                 : credentialsOverride;
    }

    std::pair<std::string, std::string> credentialsOverride;

    using KRZPHttpConfigurator::getAttrib;
    using KRZPHttpConfigurator::getCancel;
    using KRZPHttpConfigurator::getComm;
    using KRZPHttpConfigurator::getCredentialsChanged;
    using KRZPHttpConfigurator::getField;
    using KRZPHttpConfigurator::getName;
    using KRZPHttpConfigurator::getNewEncryptionMode;
    using KRZPHttpConfigurator::getNewKey;
    using KRZPHttpConfigurator::getNewPassword;
    using KRZPHttpConfigurator::getNewSecurityMode;
    using KRZPHttpConfigurator::getNewSsid;
    using KRZPHttpConfigurator::getNewUsername;
    using KRZPHttpConfigurator::getSecurityModeChanged;
    using KRZPHttpConfigurator::getSsidChanged;
    using KRZPHttpConfigurator::getValue;
    using KRZPHttpConfigurator::sendGetRequest;
    using KRZPHttpConfigurator::sendMultipartRequest;
    using KRZPHttpConfigurator::sendRequest;
    using KRZPHttpConfigurator::sendRequestBlind;
    using KRZPHttpConfigurator::setCancel;
    using KRZPHttpConfigurator::setupConnection;
    using KRZPHttpConfigurator::sleep;
    using KRZPHttpConfigurator::waitUntilBack;

  private:
    void _retrieveAttributes() override { setFirmwareRevision("1.2.3"); }
};

typedef std::map<std::string, std::string> Form;

class HttpConfiguratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        logPath = ::testing::TempDir() + "webconf_" + info->name() + ".log";
        std::remove(logPath.c_str());
        KRZPAPModule::setLogFile(std::wstring(logPath.begin(), logPath.end()), 0);
        KRZPAPModule::setLogLevel(KRZ_LOG_DUMP);
        backend.reset(new FakeNetworkBackend());
        backend->install();
    }

    void TearDown() override { FakeNetworkBackend::uninstall(); }

    // A device at `address` whose web server is `peer` (null: refuses connections).
    void addDevice(const std::string& address, ScriptedPeer* peer) {
        FakeNetworkBackend::Device d;
        d.address = address;
        d.mac = FakeNetworkBackend::mac(kMac);
        d.port = peer ? peer->port() : 0;
        d.refuses = peer == nullptr;
        backend->addDevice(d);
    }

    size_t attemptsTo(const std::string& address) const {
        size_t n = 0;
        for (const FakeNetworkBackend::ConnectAttempt& a : backend->connectAttempts()) {
            n += a.address == FakeNetworkBackend::ip(address) ? 1 : 0;
        }
        return n;
    }

    std::string logText() const { return krztest::fileText(logPath); }

    std::string logPath;
    boost::shared_ptr<FakeNetworkBackend> backend;
};

// Reads the request, answers with `page` and closes.
ScriptedPeer::Script answer(const std::string& page) {
    return ScriptedPeer::Script().awaitRequest().write(page);
}

// Reads the request, sends `start` and then nothing more, holding the connection open.
ScriptedPeer::Script stall(const std::string& start) {
    return ScriptedPeer::Script().awaitRequest().write(start).silent();
}

const char* const kOkPage =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>Settings saved</p>";
const char* const kUnauthorizedPage =
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"T1\"\r\n\r\n<p>Denied</p>";

TEST_F(HttpConfiguratorTest, LoginTestFollowsTheSpaced401Rule) {
    ScriptedPeer denying(answer(kUnauthorizedPage), 2);
    ScriptedPeer bare401(answer("HTTP/1.1 401\r\nContent-Length: 0\r\n\r\n"), 2);
    ScriptedPeer welcoming(answer(kOkPage));
    addDevice("10.9.8.1", &denying);
    addDevice("10.9.8.2", &bare401);
    addDevice("10.9.8.3", &welcoming);
    KRZMacAddress mac = FakeNetworkBackend::mac(kMac);

    AcmeT1 first(inAddr("10.9.8.1"), mac);
    EXPECT_FALSE(first.testLogin());
    EXPECT_EQ(KRZP_AP_LOGIN_FAILED, first.validate());

    // The status line ends right after the code: no " 401 " in the headers, so a login.
    AcmeT1 second(inAddr("10.9.8.2"), mac);
    EXPECT_TRUE(second.testLogin());
    EXPECT_EQ(KRZP_AP_OK, second.validate());

    AcmeT1 third(inAddr("10.9.8.3"), mac);
    EXPECT_EQ(KRZP_AP_OK, third.validate());
    EXPECT_EQ(0u, welcoming.received(0).find("GET / HTTP/1.1\r\n"));
}

TEST_F(HttpConfiguratorTest, ValidateMapsTransportFailures) {
    ScriptedPeer silent(stall(""));
    addDevice("10.9.8.4", nullptr);  // refuses
    addDevice("10.9.8.5", &silent);
    KRZMacAddress mac = FakeNetworkBackend::mac(kMac);

    AcmeT1 nowhere(inAddr("10.9.8.99"), mac);  // the backend answers 10065
    EXPECT_EQ(KRZP_AP_UNREACHABLE, nowhere.validate());

    AcmeT1 refusing(inAddr("10.9.8.4"), mac);
    EXPECT_EQ(KRZP_AP_UNREACHABLE, refusing.validate());

    AcmeT1 noAddress(std::vector<KRZMacAddress>{mac}, "admin", "secret");
    EXPECT_EQ(KRZP_AP_UNREACHABLE, noAddress.validate());
    EXPECT_EQ(KRZPAPC_NOT_CONNECTED, thrownBy([&] { noAddress.testLogin(); }).getAPCErrorCode());
    // The send operations need the connection object as well.
    EXPECT_EQ(KRZPAPC_NOT_CONNECTED,
              thrownBy([&] { noAddress.sendRequest("/a", Form(), "", 1); }).getAPCErrorCode());
    EXPECT_EQ(KRZPAPC_NOT_CONNECTED, thrownBy([&] {
                                         noAddress.sendGetRequest("/a", Form(), "", false);
                                     }).getAPCErrorCode());

    // A time-out is neither unreachable nor a failed login.
    AcmeT1 slow(inAddr("10.9.8.5"), mac);
    slow.getComm()->setTimeout(0);  // gives up after one poll pass
    EXPECT_EQ(KRZP_AP_ERROR, slow.validate());
}

TEST_F(HttpConfiguratorTest, RequestsCarryBasicAuthFromGetCredentialsAndFieldOrder) {
    ScriptedPeer device(answer(kOkPage), 5);
    addDevice("10.9.8.7", &device);
    AcmeT1 conf(std::vector<KRZMacAddress>{FakeNetworkBackend::mac(kMac)}, "admin", "secret");
    conf.setAddr(inAddr("10.9.8.7"));

    // Credentials reach the connection only through setupConnection.
    conf.sendRequest("/apply.cgi", Form{{"ssid", "Acme Net"}}, "Settings saved", 1);
    conf.setupConnection();
    conf.sendRequest("/apply.cgi", Form{{"ssid", "Acme Net"}}, "Settings saved", 1);
    conf.credentialsOverride = {"root", "hunter2"};
    conf.setupConnection();
    conf.sendGetRequest("/status.htm", Form(), "", false);

    // Field order, where given, reaches the request.
    std::vector<std::string> order{"b", "a"};
    conf.sendGetRequest("/s.htm", Form{{"a", "1"}, {"b", "2"}}, "", order, false);
    conf.sendRequestBlind("/s.cgi", Form{{"a", "1"}, {"b", "2"}}, "", order, 1);

    std::vector<std::string> requests;
    for (size_t i = 0; i < 5; ++i) {
        requests.push_back(device.received(i));
    }
    EXPECT_EQ(0u, requests[0].find("POST /apply.cgi HTTP/1.1\r\n"));
    EXPECT_EQ(std::string::npos, requests[0].find("Authorization:"));
    EXPECT_NE(std::string::npos, requests[0].find("\r\n\r\nssid=Acme+Net"));
    EXPECT_NE(std::string::npos, requests[1].find("Authorization: Basic YWRtaW46c2VjcmV0\r\n"));
    EXPECT_EQ(0u, requests[2].find("GET /status.htm HTTP/1.1\r\n"));
    EXPECT_NE(std::string::npos, requests[2].find("Authorization: Basic cm9vdDpodW50ZXIy\r\n"));
    EXPECT_EQ(0u, requests[3].find("GET /s.htm?b=2&a=1 HTTP/1.1\r\n"));
    EXPECT_NE(std::string::npos, requests[4].find("\r\n\r\nb=2&a=1"));
}

TEST_F(HttpConfiguratorTest, ConfirmationChecksStatusExpectedTextAndCancel) {
    ScriptedPeer denying(answer(kUnauthorizedPage), 4);
    ScriptedPeer saving(answer(kOkPage), 7);
    addDevice("10.9.8.1", &denying);
    addDevice("10.9.8.7", &saving);
    KRZMacAddress mac = FakeNetworkBackend::mac(kMac);

    AcmeT1 denied(inAddr("10.9.8.1"), mac);
    EXPECT_EQ(KRZPAPC_AUTH_ERROR,
              thrownBy([&] { denied.sendRequest("/a", Form(), "", 1); }).getAPCErrorCode());
    // A blind post that does get a reply has it checked like any other.
    EXPECT_EQ(KRZPAPC_AUTH_ERROR,
              thrownBy([&] { denied.sendRequestBlind("/a", Form(), "", 1); }).getAPCErrorCode());
    EXPECT_EQ(KRZPAPC_AUTH_ERROR,
              thrownBy([&] { denied.sendGetRequest("/a", Form(), "x", false); }).getAPCErrorCode());
    // Without an expected text a GET reply is not examined at all.
    denied.sendGetRequest("/a", Form(), "", false);

    AcmeT1 conf(inAddr("10.9.8.7"), mac);
    conf.sendRequest("/a", Form(), "Settings saved", 1);
    conf.sendRequestBlind("/a", Form(), "Settings saved", 1);
    conf.sendMultipartRequest("/upload", Form{{"f", "1"}}, "Settings saved", false);
    KRZPAPCException missing =
        thrownBy([&] { conf.sendRequest("/a", Form(), "settings saved", 1); });
    EXPECT_EQ(KRZPAPC_PARSE_ERROR, missing.getAPCErrorCode());
    EXPECT_EQ(KRZPAPC_PARSE_ERROR, thrownBy([&] {
                                       conf.sendRequestBlind("/a", Form(), "settings saved", 1);
                                   }).getAPCErrorCode());
    EXPECT_NE(std::string::npos,
              logText().find("Acme T1(10.9.8.7): Did not find expected string in response.\n"));

    // A pending cancel stops a POST before it is sent...
    size_t sent = saving.accepted();
    conf.setCancel(true);
    EXPECT_TRUE(conf.getCancel());
    for (int blind = 0; blind < 2; ++blind) {
        KRZPAPCException e = thrownBy([&] {
            if (blind) {
                conf.sendRequestBlind("/a", Form(), "", 1);
            } else {
                conf.sendRequest("/a", Form(), "", 1);
            }
        });
        EXPECT_EQ(KRZPAPC_CANCELLED, e.getAPCErrorCode());
        EXPECT_EQ(L"Operation canceled during sleep", e.getMessage());
    }
    EXPECT_EQ(sent, saving.accepted());
    // ...and fails the confirmation of a GET, which has no test of its own before sending.
    EXPECT_EQ(KRZPAPC_CANCELLED, thrownBy([&] {
                                     conf.sendGetRequest("/a", Form(), "Settings saved", false);
                                 }).getAPCErrorCode());
    EXPECT_NE(std::string::npos,
              logText().find(
                  "Acme T1(10.9.8.7): KRZPHttpConfigurator::sendRequest(): operation cancelled\n"));

    // setupConnection clears the cancel.
    conf.setupConnection();
    EXPECT_FALSE(conf.getCancel());
    conf.sendRequest("/a", Form(), "Settings saved", 1);
}

TEST_F(HttpConfiguratorTest, UnreachableHostIsRetriedAfterASleepThatCancelEnds) {
    AcmeT1 conf(inAddr("10.9.8.99"), FakeNetworkBackend::mac(kMac));
    conf.sleep(0);  // no cancel pending: returns

    // No attempt asked for: straight to the write, which fails.
    EXPECT_EQ(KRZPAPC_IO_ERROR,
              thrownBy([&] { conf.sendRequestBlind("/a", Form(), "", 0); }).getAPCErrorCode());
    EXPECT_EQ(0u, attemptsTo("10.9.8.99"));

    // A 2-second sleep follows each failed attempt; a cancel ends the one after the second.
    std::promise<void> attempted;
    std::future<void> secondAttempt = attempted.get_future();
    backend->setConnectHook([&](size_t count) {
        if (count == 2) {
            attempted.set_value();
        }
    });
    std::thread canceller([&] {
        secondAttempt.wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        conf.cancelOperation();
    });
    KRZPAPCException e = thrownBy([&] { conf.sendRequest("/a", Form(), "", 3); });
    canceller.join();
    EXPECT_EQ(KRZPAPC_CANCELLED, e.getAPCErrorCode());
    EXPECT_EQ(L"Canceled during or just before sleep", e.getMessage());
    const auto attempts = backend->connectAttempts();
    ASSERT_EQ(2u, attempts.size());
    EXPECT_GE(attempts[1].when - attempts[0].when, std::chrono::milliseconds(1900));

    // The cancel stays pending until reset.
    EXPECT_EQ(L"Canceled during or just before sleep",
              thrownBy([&] { conf.sleep(0); }).getMessage());
    conf.setCancel(false);
    conf.sleep(1);
}

TEST_F(HttpConfiguratorTest, OnlyUnreachableIsRetried) {
    addDevice("10.9.8.4", nullptr);
    AcmeT1 conf(inAddr("10.9.8.4"), FakeNetworkBackend::mac(kMac));
    EXPECT_EQ(KRZPAPC_CONNECT_ERROR,
              thrownBy([&] { conf.sendRequest("/a", Form(), "", 3); }).getAPCErrorCode());
    EXPECT_EQ(1u, attemptsTo("10.9.8.4"));
}

TEST_F(HttpConfiguratorTest, CancelFromAnotherThreadEndsASlowReply) {
    // The device starts its reply and then stalls.
    ScriptedPeer slow(stall("HTTP/1.1 200 OK\r\n"));
    addDevice("10.9.8.7", &slow);
    AcmeT1 conf(inAddr("10.9.8.7"), FakeNetworkBackend::mac(kMac));
    conf.retrieveAttributes();

    Clock::time_point cancelledAt;
    std::thread canceller([&] {
        if (slow.waitAccepted(1)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        cancelledAt = Clock::now();
        conf.cancelOperation();
    });
    KRZPAPCException e = thrownBy([&] { conf.testLogin(); });
    canceller.join();

    EXPECT_EQ(KRZPAPC_CANCELLED, e.getAPCErrorCode());
    EXPECT_EQ("1.2.3", e.getAPCFirmwareRevision());
    EXPECT_LT(secondsSince(cancelledAt), 2.0);  // not the 10-second reply time-out
    std::string log = logText();
    EXPECT_NE(std::string::npos, log.find("Acme T1(10.9.8.7): cancelOperation()\n"));
    EXPECT_NE(std::string::npos, log.find("Acme T1(10.9.8.7): testLogin(): Exception: "));
    EXPECT_EQ(std::string::npos, log.find("testLogin(): returning"));
}

TEST_F(HttpConfiguratorTest, ReplyTimeOutHandlingPerSendOperation) {
    // Part of a page, then nothing: every read below times out.
    ScriptedPeer stalling(stall("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n<p>Settings saved"),
                          5);
    addDevice("10.9.8.7", &stalling);
    AcmeT1 conf(inAddr("10.9.8.7"), FakeNetworkBackend::mac(kMac));
    conf.getComm()->setTimeout(1);

    // A POST is confirmed against what arrived before the time-out; the later reads need no data
    // and give up after one poll pass.
    conf.sendRequest("/a", Form(), "Settings saved", 1);
    conf.getComm()->setTimeout(0);
    EXPECT_EQ(KRZPAPC_PARSE_ERROR,
              thrownBy([&] { conf.sendRequest("/a", Form(), "Rebooting", 1); }).getAPCErrorCode());
    // A blind POST takes the silence as success.
    conf.sendRequestBlind("/a", Form(), "Rebooting", 1);
    // A GET returns unconfirmed when told to ignore the time-out, and fails otherwise.
    conf.sendGetRequest("/a", Form(), "Rebooting", true);
    EXPECT_EQ(KRZPAPC_TIMEOUT, thrownBy([&] {
                                   conf.sendGetRequest("/a", Form(), "Settings saved", false);
                               }).getAPCErrorCode());
    EXPECT_EQ(5u, stalling.accepted());
}

TEST_F(HttpConfiguratorTest, NewAddressGetsAFreshConnection) {
    ScriptedPeer second(answer(kOkPage));
    addDevice("10.9.8.2", &second);
    AcmeT1 conf(inAddr("10.9.8.1"), FakeNetworkBackend::mac(kMac));
    boost::shared_ptr<KRZPAPComm> old = conf.getComm();
    ASSERT_TRUE(old);
    old->setCookie("sid", "abc");
    old->setAuthInfo("u", "p");
    old->setTimeout(3);

    conf.setAddr(inAddr("10.9.8.1"));
    EXPECT_EQ(old, conf.getComm());

    conf.setAddr(inAddr("10.9.8.2"));
    boost::shared_ptr<KRZPAPComm> fresh = conf.getComm();
    ASSERT_TRUE(fresh);
    EXPECT_NE(old, fresh);
    EXPECT_EQ(FakeNetworkBackend::ip("10.9.8.2"), fresh->getAddr().s_addr);
    EXPECT_EQ("", fresh->getUsername());
    EXPECT_EQ(10, fresh->getTimeout());
    EXPECT_EQ("http://10.9.8.2/", conf.getAdminPageUrl());

    conf.sendGetRequest("/", Form(), "", false);
    std::string request = second.received(0);
    EXPECT_EQ(0u, request.find("GET / HTTP/1.1\r\n"));
    EXPECT_EQ(std::string::npos, request.find("Cookie"));
    EXPECT_EQ(std::string::npos, request.find("Authorization"));
}

TEST_F(HttpConfiguratorTest, ChangesAreRecordedNotApplied) {
    AcmeT1 conf(inAddr("10.9.8.1"), FakeNetworkBackend::mac(kMac));
    boost::shared_ptr<KRZPKey> key(new KRZPKey("passphrase"));

    EXPECT_TRUE(conf.startConfiguration());
    EXPECT_FALSE(conf.changeSSID(KRZSsid(std::string("Acme\0Net", 8))));
    EXPECT_FALSE(conf.changeCredentials("root", "pw"));
    EXPECT_FALSE(conf.changeSecurityMode(KRZP_SECURITY_WPA2_PSK, key, KRZP_ENCRYPTION_AES));
    EXPECT_TRUE(conf.getSsidChanged());
    EXPECT_EQ(std::string("Acme\0Net", 8), conf.getNewSsid());
    EXPECT_TRUE(conf.getCredentialsChanged());
    EXPECT_EQ("root", conf.getNewUsername());
    EXPECT_EQ("pw", conf.getNewPassword());
    EXPECT_TRUE(conf.getSecurityModeChanged());
    EXPECT_EQ(KRZP_SECURITY_WPA2_PSK, conf.getNewSecurityMode());
    EXPECT_EQ(key, conf.getNewKey());
    EXPECT_EQ(KRZP_ENCRYPTION_AES, conf.getNewEncryptionMode());

    // Dropping the changes clears the flags and keeps the values.
    conf.clearPendingChanges();
    EXPECT_FALSE(conf.getSsidChanged() || conf.getCredentialsChanged() ||
                 conf.getSecurityModeChanged());
    EXPECT_EQ("root", conf.getNewUsername());
}

// A restarting device is polled until it answers a real page: unreachable, refused or reset
// polls, empty replies, replies cut short and bytes without a status line mean it is still
// restarting; a page counts only once the device was seen away or the minimum delay passed; a
// refusal of the credentials or a cancel ends the wait at once.
TEST_F(HttpConfiguratorTest, WaitUntilBackPollsTheRestartingDevice) {
    enum Device { kAnswers, kUnreachable, kRefuses, kResets, kDenies, kEmpty, kCut, kNoStatus };
    struct Case {
        const char* address;
        Device device;        // how its first two connections are answered; the rest get a page
        size_t appearsAfter;  // polls that find nothing there before the device appears
        bool cancelled;
        int minimumMs;
        int code;  // 0: back
        const char* logged;
        size_t polls;
    };
    const char* const kBack3 = "the device is back after 3 ms";
    const char* const kGone = "the device did not come back after its restart";
    const Case cases[] = {
        {"10.9.7.1", kAnswers, 0, false, 0, 0, "the device is back after 1 ms", 1},
        {"10.9.7.2", kAnswers, 2, false, 0, 0, kBack3, 3},
        {"10.9.7.3", kUnreachable, 0, false, 0, KRZPAPC_CONNECT_ERROR, kGone, 3},
        {"10.9.7.4", kRefuses, 0, false, 0, KRZPAPC_CONNECT_ERROR, kGone, 3},
        {"10.9.7.7", kResets, 0, false, 0, 0, kBack3, 3},
        {"10.9.7.8", kEmpty, 0, false, 0, 0, kBack3, 3},
        {"10.9.7.9", kCut, 0, false, 0, 0, kBack3, 3},
        {"10.9.7.10", kNoStatus, 0, false, 0, 0, kBack3, 3},
        // Seen away: the page counts at once, however long the minimum delay.
        {"10.9.7.11", kEmpty, 0, false, 600000, 0, kBack3, 3},
        {"10.9.7.12", kAnswers, 2, false, 600000, 0, kBack3, 3},
        // Never seen away and the delay not over: the old pages do not count.
        {"10.9.7.13", kAnswers, 0, false, 600000, KRZPAPC_CONNECT_ERROR, kGone, 3},
        {"10.9.7.5", kDenies, 0, false, 0, KRZPAPC_AUTH_ERROR,
         "/: the device refused the credentials", 1},
        {"10.9.7.6", kAnswers, 0, true, 0, KRZPAPC_CANCELLED, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ScriptedPeer::Script away = ScriptedPeer::Script().awaitRequest().reset();
        if (c.device == kEmpty) {
            away = ScriptedPeer::Script().awaitRequest().close();
        } else if (c.device == kCut) {
            away = answer("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n<p>Sett").close();
        } else if (c.device == kNoStatus) {
            away = answer("<p>starting</p>").close();
        }
        ScriptedPeer::Script page = answer(c.device == kDenies ? kUnauthorizedPage : kOkPage);
        bool delayed = c.device != kAnswers && c.device != kDenies && c.device != kUnreachable &&
                       c.device != kRefuses;
        ScriptedPeer peer(
            std::vector<ScriptedPeer::Script>{delayed ? away : page, delayed ? away : page, page});
        ScriptedPeer* served = c.device == kRefuses ? nullptr : &peer;
        if (c.device != kUnreachable && c.appearsAfter == 0) {
            addDevice(c.address, served);
        }
        backend->setConnectHook([&](size_t) {
            if (c.appearsAfter > 0 && attemptsTo(c.address) == c.appearsAfter) {
                addDevice(c.address, served);
            }
        });
        const size_t logged = logText().size();
        AcmeT1 conf(inAddr(c.address), FakeNetworkBackend::mac(kMac));
        conf.setupConnection();
        conf.setCancel(c.cancelled);
        if (c.code == 0) {
            conf.waitUntilBack(3, 1, c.minimumMs);
        } else {
            EXPECT_EQ(c.code,
                      thrownBy([&] { conf.waitUntilBack(3, 1, c.minimumMs); }).getAPCErrorCode());
        }
        backend->setConnectHook(nullptr);
        EXPECT_EQ(c.polls, attemptsTo(c.address));
        EXPECT_NE(std::string::npos, logText().find(c.logged, logged)) << logText();
    }
}

TEST(HttpConfiguratorLookups, AttributesIgnoreCaseFormsDoNotAndBothStopAtNul) {
    AttributeMap attributes(new std::map<ci_string, std::string>());
    (*attributes)["VALUE"] = "v1";
    (*attributes)["Name"] = "n1";
    EXPECT_EQ("v1", AcmeT1::getValue(attributes));
    EXPECT_EQ("n1", AcmeT1::getName(attributes));
    EXPECT_EQ("v1", AcmeT1::getAttrib(attributes, "value"));
    EXPECT_EQ("v1", AcmeT1::getAttrib(attributes, "Value"));
    EXPECT_EQ("n1", AcmeT1::getAttrib(attributes, std::string("name\0zz", 7)));
    const std::string& missing = AcmeT1::getAttrib(attributes, "type");
    EXPECT_EQ("", missing);
    EXPECT_EQ(&missing, &AcmeT1::getAttrib(attributes, "valu"));
    EXPECT_EQ(1u, attributes->count("VALUE"));
    EXPECT_EQ(2u, attributes->size());  // lookups never insert

    boost::shared_ptr<std::map<std::string, std::string>> form(
        new std::map<std::string, std::string>{{"ssid", "net"}});
    EXPECT_EQ("net", AcmeT1::getField(form, "ssid"));
    EXPECT_EQ("net", AcmeT1::getField(form, std::string("ssid\0x", 6)));
    EXPECT_EQ(&missing, &AcmeT1::getField(form, "SSID"));
    EXPECT_EQ(1u, form->size());

    EXPECT_EQ(&missing, &AcmeT1::getValue(AttributeMap()));
    EXPECT_EQ(&missing,
              &AcmeT1::getField(boost::shared_ptr<std::map<std::string, std::string>>(), "ssid"));
}

}  // namespace
