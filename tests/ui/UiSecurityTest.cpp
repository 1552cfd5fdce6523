// krzpap ui on a shared machine: a real server on loopback, and one table of requests that another
// user, another web page in the same browser, or a DNS-rebinding page could send. Each must be
// refused, and every answer must carry the headers that keep the page to itself.
#include "testsupport/krzprograms.h"
#include "testsupport/krztlsserver.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using krztest::BackgroundProgram;

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A request as the table gives it: which of the page's credentials it carries.
struct Attack {
    const char* what;
    const char* method;
    std::string path;
    bool cookie;         // the session cookie the secret was exchanged for
    std::string host;    // empty: the address the server printed
    std::string origin;  // empty: none; "page": the page's own
    std::string token;   // empty: none; "page": the page's own
    int status;
};

class UiSecurityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        state = ::testing::TempDir() + "krzpap_ui_security_" + std::to_string(getpid());
        krztest::runProgram({"/bin/rm", "-rf", state}, {});
    }
    // Starts krzpap ui with the test's own state folder and `settings` (NAME=value).
    void startServer(const std::vector<std::string>& settings = {}) {
        std::vector<std::string> env;
        for (const std::string& entry : krztest::processEnvironment())
            if (entry.rfind("KRZ_", 0) != 0 && entry.rfind("XDG_STATE_HOME=", 0) != 0)
                env.push_back(entry);
        env.push_back("XDG_STATE_HOME=" + state);
        env.insert(env.end(), settings.begin(), settings.end());
        server = std::make_unique<BackgroundProgram>(
            std::vector<std::string>{KRZPAP_PROGRAM, "ui", "--no-open", "--port", "0"}, env);
        url = server->firstLine();
        const std::string prefix = "http://127.0.0.1:";
        ASSERT_EQ(0u, url.rfind(prefix, 0)) << url;
        port = std::stoi(url.substr(prefix.size()));
        host = "127.0.0.1:" + std::to_string(port);
        origin = "http://" + host;
        secretQuery = url.substr(url.find("/?") + 1);
        cookieName = "krzpap_" + std::to_string(port);
    }
    // Exchanges the secret for the cookie and the page's token, as the browser does.
    void openPage() {
        httplib::Result opened = send("GET", "/" + secretQuery, {{"Host", host}});
        ASSERT_TRUE(opened);
        ASSERT_EQ(303, opened->status);
        const std::string cookie = opened->get_header_value("Set-Cookie");
        ASSERT_EQ(0u, cookie.rfind(cookieName + "=", 0)) << cookie;
        session = cookie.substr(cookieName.size() + 1, cookie.find(';') - cookieName.size() - 1);
        const std::string location = opened->get_header_value("Location");
        ASSERT_EQ(0u, location.rfind("/#", 0)) << location;
        token = location.substr(2);
        ASSERT_EQ(32u, token.size()) << location;
    }
    std::string sessionCookie() const { return cookieName + "=" + session; }
    // What the page sends when it asks after its operation: cookie and token.
    httplib::Headers pageAsk() const {
        return {{"Host", host}, {"Cookie", sessionCookie()}, {"X-Krzpap-Token", token}};
    }
    // Polls the operation until it is done; its last answer.
    nlohmann::json waitForJob() {
        nlohmann::json job = nlohmann::json::object();
        for (int polls = 0; polls < 300 && !job.value("done", false); ++polls) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            httplib::Result res = send("GET", "/api/job", pageAsk());
            if (!res)
                break;
            job = nlohmann::json::parse(res->body);
        }
        return job;
    }
    void TearDown() override {
        server.reset();
        if (!HasFailure())
            krztest::runProgram({"/bin/rm", "-rf", state}, {});
    }

    httplib::Result send(const char* method, const std::string& path,
                         const httplib::Headers& headers, const std::string& body = "{}") {
        httplib::Client client("127.0.0.1", port);
        client.set_follow_location(false);
        if (std::string(method) == "GET")
            return client.Get(path, headers);
        return client.Post(path, headers, body, "application/json");
    }

    // What the page itself sends with a change: cookie, Origin and token.
    httplib::Headers pageChange() const {
        return {{"Host", host},
                {"Cookie", sessionCookie()},
                {"Origin", origin},
                {"X-Krzpap-Token", token}};
    }

    httplib::Headers headersFor(const Attack& a) const {
        httplib::Headers h = {{"Host", a.host.empty() ? host : a.host}};
        if (a.cookie)
            h.emplace("Cookie", sessionCookie());
        if (!a.origin.empty())
            h.emplace("Origin", a.origin == "page" ? origin : a.origin);
        if (!a.token.empty())
            h.emplace("X-Krzpap-Token", a.token == "page" ? token : a.token);
        return h;
    }

    std::string state;
    std::unique_ptr<BackgroundProgram> server;
    std::string url;
    int port = 0;
    std::string host;
    std::string origin;
    std::string secretQuery;  // "?secret=..."
    std::string cookieName;   // krzpap_PORT
    std::string session;
    std::string token;
};

void expectGuardHeaders(const httplib::Response& res, const std::string& what) {
    SCOPED_TRACE(what);
    const std::string csp = res.get_header_value("Content-Security-Policy");
    EXPECT_NE(std::string::npos, csp.find("default-src 'none'")) << csp;
    EXPECT_NE(std::string::npos, csp.find("script-src 'self'")) << csp;
    EXPECT_NE(std::string::npos, csp.find("frame-ancestors 'none'")) << csp;
    EXPECT_EQ("no-referrer", res.get_header_value("Referrer-Policy"));
    EXPECT_EQ("no-store", res.get_header_value("Cache-Control"));
}

TEST_F(UiSecurityTest, EveryRequestWithoutThePagesCredentialsIsRefused) {
    startServer();
    const std::string rebound = "attacker.example:" + std::to_string(port);
    const std::string localhost = "localhost:" + std::to_string(port);
    // Before the secret is exchanged: nothing opens the page but the secret at the right Host.
    const std::vector<Attack> before = {
        {"no secret", "GET", "/", false, "", "", "", 403},
        {"a wrong secret", "GET", "/?secret=00112233445566778899aabbccddeeff", false, "", "", "",
         403},
        {"the secret through a rebound name", "GET", "/" + secretQuery, false, rebound, "", "",
         403},
        {"the secret through another name of loopback", "GET", "/" + secretQuery, false, localhost,
         "", "", 403},
        {"the secret on another path", "GET", "/app.js" + secretQuery, false, "", "", "", 403},
        {"an operation without the cookie", "POST", "/api/scan", false, "", "page", "", 403},
    };
    for (const Attack& a : before) {
        httplib::Result res = send(a.method, a.path, headersFor(a));
        ASSERT_TRUE(res) << a.what;
        EXPECT_EQ(a.status, res->status) << a.what;
        expectGuardHeaders(*res, a.what);
    }

    // The exchange: a cookie that scripts cannot read and other sites cannot send, and the
    // secret off the address bar.
    httplib::Result opened = send("GET", "/" + secretQuery, {{"Host", host}});
    ASSERT_TRUE(opened);
    expectGuardHeaders(*opened, "the exchange");
    const std::string cookie = opened->get_header_value("Set-Cookie");
    EXPECT_NE(std::string::npos, cookie.find("; HttpOnly")) << cookie;
    EXPECT_NE(std::string::npos, cookie.find("; SameSite=Strict")) << cookie;
    {
        // The one exchange: the cookie named after the port, the token in the fragment only.
        ASSERT_EQ(0u, cookie.rfind(cookieName + "=", 0)) << cookie;
        session = cookie.substr(cookieName.size() + 1, cookie.find(';') - cookieName.size() - 1);
        const std::string location = opened->get_header_value("Location");
        ASSERT_EQ(0u, location.rfind("/#", 0)) << location;
        token = location.substr(2);
    }
    const std::string secret = url.substr(url.find('=') + 1);
    EXPECT_EQ(std::string::npos, session.find(secret));
    EXPECT_NE(session, token);
    // Each is 16 random bytes: every hex digit can come first in a byte (all three starting
    // below 8 happens once in 2^48).
    bool highFirst = false;
    for (const std::string* value : {&secret, static_cast<const std::string*>(&session),
                                     static_cast<const std::string*>(&token)}) {
        EXPECT_EQ(32u, value->size());
        for (size_t at = 0; at < value->size(); at += 2)
            highFirst =
                highFirst || std::string("89abcdef").find((*value)[at]) != std::string::npos;
    }
    EXPECT_TRUE(highFirst) << secret << " " << session << " " << token;

    // Another server on 127.0.0.1 that the browser sends the cookie to learns nothing from it:
    // the page's files carry no token, and every question to the page needs the token.
    httplib::Result page = send("GET", "/", {{"Host", host}, {"Cookie", sessionCookie()}});
    ASSERT_TRUE(page);
    ASSERT_EQ(200, page->status);
    expectGuardHeaders(*page, "the page");
    for (const char* file : {"/", "/app.js", "/app.css"}) {
        httplib::Result served = send("GET", file, {{"Host", host}, {"Cookie", sessionCookie()}});
        ASSERT_TRUE(served);
        EXPECT_EQ(200, served->status) << file;
        EXPECT_EQ(std::string::npos, served->body.find(token)) << file;
    }

    const std::vector<Attack> after = {
        {"the secret again", "GET", "/" + secretQuery, true, "", "", "", 403},
        {"the secret again, without the cookie", "GET", "/" + secretQuery, false, "", "", "", 403},
        {"the page without the cookie", "GET", "/", false, "", "", "", 403},
        {"the progress without the cookie", "GET", "/api/job", false, "", "", "", 403},
        {"the progress with the cookie alone", "GET", "/api/job", true, "", "", "", 403},
        {"the progress with a wrong token", "GET", "/api/job", true, "", "",
         "00112233445566778899aabbccddeeff", 403},
        {"the page through a rebound name", "GET", "/", true, rebound, "", "", 403},
        {"an operation through a rebound name", "POST", "/api/defaults", true, rebound, "page",
         "page", 403},
        {"an operation without Origin", "POST", "/api/defaults", true, "", "", "page", 403},
        {"an operation from another site", "POST", "/api/defaults", true, "",
         "http://attacker.example", "page", 403},
        {"an operation from an opaque origin", "POST", "/api/defaults", true, "", "null", "page",
         403},
        {"an operation from another port", "POST", "/api/defaults", true, "", "http://127.0.0.1:1",
         "page", 403},
        {"an operation without the token", "POST", "/api/defaults", true, "", "page", "", 403},
        {"an operation with a wrong token", "POST", "/api/defaults", true, "", "page",
         "00112233445566778899aabbccddeeff", 403},
        {"a cancel from another site", "POST", "/api/cancel", true, "", "http://attacker.example",
         "page", 403},
        // The page itself, with everything it has: served.
        {"the page's own operation", "POST", "/api/defaults", true, "", "page", "page", 200},
        {"the page's own progress", "GET", "/api/job", true, "", "", "page", 200},
        {"a file the page does not have", "GET", "/secrets.txt", true, "", "", "", 404},
    };
    for (const Attack& a : after) {
        httplib::Result res =
            send(a.method, a.path, headersFor(a), R"({"ssid":"x","bssid":"02:4b:5a:00:00:31"})");
        ASSERT_TRUE(res) << a.what;
        EXPECT_EQ(a.status, res->status) << a.what << ": " << res->body;
        expectGuardHeaders(*res, a.what);
    }

    // The session cookie among others counts; a look-alike or a changed one does not.
    const std::vector<std::pair<std::string, int>> cookies = {
        {"theme=dark; " + sessionCookie() + "; lang=en", 200},
        {"x" + sessionCookie(), 403},
        {sessionCookie() + "0", 403},
        {cookieName + "=", 403},
        {"krzpap_session=" + session, 403},
        {"krzpap_" + std::to_string(port + 1) + "=" + session, 403},
    };
    for (const auto& [sent, status] : cookies) {
        httplib::Result res =
            send("GET", "/api/job", {{"Host", host}, {"Cookie", sent}, {"X-Krzpap-Token", token}});
        ASSERT_TRUE(res) << sent;
        EXPECT_EQ(status, res->status) << sent;
    }
    // A body past the bound is not read, even from the page.
    httplib::Result huge = send("POST", "/api/defaults", pageChange(), std::string(100000, ' '));
    ASSERT_TRUE(huge);
    EXPECT_EQ(413, huge->status);
    // The HAR upload alone takes more, and only once its header passed every check.
    const std::string har = R"({"har":")" + std::string(200000, ' ') + R"("})";
    httplib::Result read = send("POST", "/api/har", pageChange(), har);
    ASSERT_TRUE(read);
    EXPECT_EQ(400, read->status) << read->body;  // read whole, and no HAR in it
    EXPECT_EQ("har", nlohmann::json::parse(read->body, nullptr, false).value("field", ""));
    httplib::Result unasked = send("POST", "/api/har", {{"Host", host}}, har);
    ASSERT_TRUE(unasked);
    EXPECT_EQ(403, unasked->status);

    // Loopback only: another loopback address has no listener.
    httplib::Client elsewhere("127.0.0.2", port);
    elsewhere.set_connection_timeout(1);
    EXPECT_FALSE(elsewhere.Get("/"));

    // Neither the secret nor the cookie reaches the log.
    const std::string log = fileText(state + "/krzpap/krzpap.log");
    EXPECT_EQ(std::string::npos, log.find(url.substr(url.find('=') + 1)));
    EXPECT_EQ(std::string::npos, log.find(session));
}

// A raw loopback connection to the server, for what no well-behaved client sends.
class RawConnection {
  public:
    explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<uint16_t>(port));
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    }
    ~RawConnection() { close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    bool connected() const { return connected_; }
    void sendText(const std::string& text) {
        ASSERT_EQ(static_cast<ssize_t>(text.size()), ::send(fd_, text.data(), text.size(), 0));
    }
    // What the server sends until it closes (or 20 s pass).
    std::string readAll() {
        timeval wait{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::string got;
        char chunk[4096];
        ssize_t n;
        while ((n = recv(fd_, chunk, sizeof chunk, 0)) > 0)
            got.append(chunk, static_cast<size_t>(n));
        closedByServer_ = n == 0;
        return got;
    }
    bool closedByServer() const { return closedByServer_; }
    // Whether the server has closed it, sending nothing, or does within `ms`.
    bool closedWithin(int ms) {
        pollfd wait = {fd_, POLLIN, 0};
        char byte;
        return poll(&wait, 1, ms) == 1 && recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
    }

  private:
    int fd_;
    bool connected_ = false;
    bool closedByServer_ = false;
};

// Connections that send slowly, send too much or send nonsense hold the page up only so long:
// the page's own requests are answered beside them, a body past the bound is refused however it
// is sent, and a connection that stops sending is closed.
TEST_F(UiSecurityTest, SlowLongOrBrokenRequestsDoNotHoldThePage) {
    startServer();
    openPage();
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 8; ++i) {
        slow.push_back(std::make_unique<RawConnection>(port));
        ASSERT_TRUE(slow.back()->connected());
        slow.back()->sendText("GET /api/job HTTP/1.1\r\nHost: " + host + "\r\n");
    }
    httplib::Result job = send("GET", "/api/job", pageAsk());
    ASSERT_TRUE(job) << "the page waits behind eight slow connections";
    EXPECT_EQ(200, job->status);

    // Past 32 open connections, a new one is closed at once: of 32 more beside the 8 slow ones,
    // the last 8 are.
    std::vector<std::unique_ptr<RawConnection>> crowd;
    for (int i = 0; i < 32; ++i) {
        crowd.push_back(std::make_unique<RawConnection>(port));
        ASSERT_TRUE(crowd.back()->connected());
    }
    int closedAtOnce = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (auto& c : crowd)
        closedAtOnce += c->closedWithin(0) ? 1 : 0;
    EXPECT_EQ(8, closedAtOnce);
    crowd.clear();

    // Chunked, the body's length is known only as it comes: the bound still holds.
    httplib::Client client("127.0.0.1", port);
    httplib::Result chunked = client.Post(
        "/api/defaults", pageChange(),
        [](size_t offset, httplib::DataSink& sink) {
            const std::string block(16 * 1024, ' ');
            if (offset < 1024 * 1024)
                sink.write(block.data(), block.size());
            else
                sink.done();
            return true;
        },
        "application/json");
    ASSERT_TRUE(chunked);
    EXPECT_EQ(413, chunked->status);
    expectGuardHeaders(*chunked, "a chunked body past the bound");

    const std::vector<std::pair<std::string, std::string>> broken = {
        {"not HTTP at all\r\n\r\n", "HTTP/1.1 400"},
        {"GET / HTTP/1.1\r\nHost: " + host + "\r\nX-Long: " + std::string(20000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431"},
        {"POST /api/defaults HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 99999999\r\n\r\n",
         "HTTP/1.1 413"},
        // Past the HAR reader's own bound, the one long route refuses it unread too.
        {"POST /api/har HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 200000000\r\n\r\n",
         "HTTP/1.1 413"},
    };
    for (const auto& [request, status] : broken) {
        RawConnection raw(port);
        ASSERT_TRUE(raw.connected());
        raw.sendText(request);
        const std::string answer = raw.readAll();
        EXPECT_EQ(0u, answer.rfind(status, 0)) << answer;
        EXPECT_NE(std::string::npos, answer.find("\r\nConnection: close\r\n")) << answer;
        EXPECT_TRUE(raw.closedByServer()) << status;
    }

    // The slow ones: closed by the server once their time is up (the one wait of this test).
    EXPECT_EQ("", slow.front()->readAll());
    EXPECT_TRUE(slow.front()->closedByServer());
}

// A scan's devices show as they are found, and a cancel ends it. A tab that closed without a word
// (it crashed, the computer slept) stops asking after its operation: the server cancels it.
TEST_F(UiSecurityTest, AnOperationWhosePageStopsAskingIsCancelled) {
    const std::string lab = state + ".lab.json";
    nlohmann::json description = nlohmann::json::parse(
        krztest::runProgram({KRZLAB_PROGRAM, "dump", "generated", "30"}, {}).out);
    // The first devices answer at once; the others a few bytes at a time, each holding one of
    // the scan's seven probes for its two seconds, so that the scan runs well past 3 s.
    for (size_t i = 9; i < description["devices"].size(); ++i) {
        description["devices"][i]["fault"] = "slow";
        description["devices"][i]["faultParam"] = 400;
    }
    std::ofstream(lab) << description.dump();
    startServer({"KRZ_LAB_FILE=" + lab});
    openPage();

    // Asked after, a scan shows each device as it is found, long before the slow one ends it;
    // a cancel then ends it as cancelled.
    ASSERT_EQ(200, send("POST", "/api/scan", pageChange())->status);
    nlohmann::json running = nlohmann::json::object();
    for (int polls = 0; polls < 200 && running["result"]["devices"].empty(); ++polls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        running = nlohmann::json::parse(send("GET", "/api/job", pageAsk())->body);
        ASSERT_FALSE(running.value("done", true)) << running.dump();
    }
    EXPECT_FALSE(running["result"]["devices"].empty()) << running.dump();
    EXPECT_EQ(nullptr, running["result"]["gateway"]) << "this lab names no router";
    ASSERT_EQ(200, send("POST", "/api/cancel", pageChange())->status);
    nlohmann::json cancelled = waitForJob();
    EXPECT_TRUE(cancelled.value("cancelled", false)) << cancelled.dump();
    EXPECT_EQ(6, cancelled.value("code", 0)) << cancelled.dump();
    EXPECT_EQ(0u, cancelled.value("error", "").rfind("cancelled", 0)) << cancelled.dump();

    httplib::Result started = send("POST", "/api/scan", pageChange());
    ASSERT_TRUE(started);
    ASSERT_EQ(200, started->status) << started->body;
    // Nobody asks; then, once the scan would have ended either way, what became of it.
    std::this_thread::sleep_for(std::chrono::seconds(8));
    httplib::Result job = send("GET", "/api/job", pageAsk());
    ASSERT_TRUE(job);
    EXPECT_NE(std::string::npos, job->body.find("\"cancelled\":true")) << job->body;
    EXPECT_NE(std::string::npos, job->body.find("\"done\":true")) << job->body;
    std::remove(lab.c_str());
}

}  // namespace

// A module whose recognizer throws is skipped by the scan; the page names it in its own terms.
TEST_F(UiSecurityTest, AScanNamesAModuleWhoseRecognizerFailed) {
    const std::string thrower = std::string(KRZ_TEST_MODULE_DIR) + "/krzrecogstd.dll";
    startServer({"KRZ_VORTAN_APMODULE_DLLS=krzpapmodulesu.dll;" + thrower});
    openPage();
    httplib::Result started = send("POST", "/api/scan", pageChange());
    ASSERT_TRUE(started);
    ASSERT_EQ(200, started->status) << started->body;
    nlohmann::json job = waitForJob();
    ASSERT_TRUE(job.value("done", false)) << job.dump();
    const std::string failed = job["result"].value("failedModules", "");
    EXPECT_NE(std::string::npos, failed.find("krzrecogstd.dll failed on")) << failed;
    EXPECT_NE(std::string::npos, failed.find("'krzpap ui --modules LIST'")) << failed;
    EXPECT_GT(job["result"].value("recognized", 0), 0) << "the other module still recognizes";
    EXPECT_EQ(0, job.value("code", -1)) << job.dump();
    EXPECT_EQ(nullptr, job["error"]) << job.dump();
}

std::string sha256Text(const std::vector<unsigned char>& der) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der.data(), der.size(), digest);
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : digest) {
        if (!text.empty())
            text += ':';
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

// A device whose certificate changed: the page hears both fingerprints beside the refusal, and
// its trust request pins the new one only while the device still shows it.
TEST_F(UiSecurityTest, AChangedCertificateIsAskedAboutAndTrustedOnRequest) {
    krztest::TlsServer device("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 3);
    const std::string address = "https://127.0.0.1:" + std::to_string(device.port());
    const std::string key = "127.0.0.1:" + std::to_string(device.port());
    const std::string old(95, 'A');  // what the store trusted before the device was reset
    krztest::runProgram({"/bin/mkdir", "-p", state + "/krzpap"}, {});
    std::ofstream(state + "/krzpap/tls-trusted.json") << nlohmann::json{
        {"version", 1},
        {"devices",
         {{key, {{"sha256", old}, {"firstSeen", "then"}}}}}}.dump();
    startServer();
    openPage();
    httplib::Result started =
        send("POST", "/api/show", pageChange(), nlohmann::json{{"address", address}}.dump());
    ASSERT_TRUE(started);
    ASSERT_EQ(200, started->status) << started->body;
    nlohmann::json job = waitForJob();
    ASSERT_TRUE(job["certificate"].is_object()) << job.dump();
    const std::string shown = sha256Text(device.certificate());
    EXPECT_EQ(address, job["certificate"]["address"]);
    EXPECT_EQ(old, job["certificate"]["trusted"]);
    EXPECT_EQ(shown, job["certificate"]["shown"]);
    EXPECT_NE(nullptr, job["error"]);

    struct Ask {
        std::string sha256;
        int status;  // the operation's exit code; -1: the request is refused
    };
    for (const Ask& ask : {Ask{"short", -1}, Ask{std::string(95, 'B'), 1}, Ask{shown, 0}}) {
        SCOPED_TRACE(ask.sha256);
        httplib::Result trusted =
            send("POST", "/api/trust", pageChange(),
                 nlohmann::json{{"address", address}, {"sha256", ask.sha256}}.dump());
        ASSERT_TRUE(trusted);
        if (ask.status < 0) {  // refused before any work, naming the field
            EXPECT_EQ(400, trusted->status) << trusted->body;
            continue;
        }
        ASSERT_EQ(200, trusted->status) << trusted->body;
        nlohmann::json done = waitForJob();
        EXPECT_EQ(ask.status, done.value("code", -1)) << done.dump();
        if (ask.status == 0) {
            EXPECT_EQ(shown, done["result"]["sha256"]);
            EXPECT_EQ(old, done["result"]["replaced"]);
        }
    }
    std::ifstream store(state + "/krzpap/tls-trusted.json");
    nlohmann::json pinned = nlohmann::json::parse(store);
    EXPECT_EQ(shown, pinned["devices"][key]["sha256"]) << pinned.dump();
    EXPECT_EQ(std::string::npos, device.received().find("GET")) << "nothing before the trust";
}

// Every field of every operation is checked for its type and range before any work starts: the
// answer is 400 naming the field, and no operation runs.
TEST_F(UiSecurityTest, RequestsOfTheWrongTypeAreRefusedNamingTheField) {
    startServer();
    openPage();
    struct Case {
        const char* path;
        const char* body;
        const char* field;  // "": refused as a whole; nullptr: accepted
    };
    const std::vector<Case> cases = {
        {"/api/defaults", R"({"channel":"6"})", "channel"},
        {"/api/defaults", R"({"channel":1e300})", "channel"},
        {"/api/defaults", R"({"channel":6.5})", "channel"},
        {"/api/defaults", R"({"channel":-1})", "channel"},
        {"/api/defaults", R"({"channel":234})", "channel"},
        {"/api/defaults", R"({"ssid":42})", "ssid"},
        {"/api/defaults", R"({"bssid":["02:4b:5a:00:00:31"]})", "bssid"},
        {"/api/defaults", R"({"rsn":"WPA3"})", "rsn"},
        {"/api/defaults", R"({"rsn":true})", "rsn"},
        {"/api/defaults", R"({"colour":"blue"})", "colour"},
        {"/api/defaults", R"([1,2])", ""},
        {"/api/defaults", R"(not json)", ""},
        {"/api/configure", R"({"address":"192.168.77.10","ssid":123})", "ssid"},
        {"/api/configure", R"({"address":"192.168.77.10","security":"wpa9"})", "security"},
        {"/api/configure", R"({"address":"192.168.77.10","security":"unknown"})", "security"},
        {"/api/configure", R"({"address":"192.168.77.10","encryption":"rot13"})", "encryption"},
        {"/api/configure", R"({"address":"192.168.77.10","key":null})", "key"},
        {"/api/configure", R"({"address":"192.168.77.10","newUser":false})", "newUser"},
        {"/api/configure", R"({"address":"192.168.77.10","newPassword":{}})", "newPassword"},
        {"/api/configure", R"({"ssid":"x"})", "address"},
        {"/api/show", R"({"address":3232255242})", "address"},
        {"/api/show", R"({"address":"192.168.77.10","mac":7})", "mac"},
        {"/api/show", R"({"address":"192.168.77.10","user":[]})", "user"},
        {"/api/show", R"({"address":"192.168.77.10","password":1})", "password"},
        {"/api/show", R"({"address":"192.168.77.10","ssid":"x"})", "ssid"},
        {"/api/find", R"({"macs":"02:4b:5a:00:00:31"})", "macs"},
        {"/api/find", R"({"macs":[]})", "macs"},
        {"/api/find", R"({"macs":[2]})", "macs"},
        {"/api/find", R"({})", "macs"},
        {"/api/scan", R"({"all":true})", "all"},
        {"/api/har", R"({"har":42})", "har"},
        {"/api/har", R"({})", "har"},
        {"/api/har", R"({"har":"{}","password":1})", "password"},
        {"/api/har", R"({"har":"{}","colour":"x"})", "colour"},
        {"/api/har", R"([1])", ""},
        {"/api/har/save", R"({"name":"../x","description":"{\"format\":2}"})", "name"},
        {"/api/har/save", R"({"name":"x","description":"[]"})", "description"},
        {"/api/har/save", R"({"name":"x"})", "description"},
        // Well-formed: accepted (the defaults check asks no device).
        {"/api/defaults", R"({"ssid":"x","bssid":"","channel":233,"rsn":"WPA2"})", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.body);
        httplib::Result res = send("POST", c.path, pageChange(), c.body);
        ASSERT_TRUE(res);
        if (c.field == nullptr) {
            EXPECT_EQ(200, res->status) << res->body;
            continue;
        }
        EXPECT_EQ(400, res->status) << res->body;
        nlohmann::json answer = nlohmann::json::parse(res->body, nullptr, false);
        ASSERT_TRUE(answer.is_object()) << res->body;
        EXPECT_EQ(*c.field == 0 ? nlohmann::json() : nlohmann::json(c.field), answer["field"]);
        const std::string error = answer.value("error", "");
        EXPECT_NE(std::string::npos, error.find(*c.field == 0 ? "JSON" : c.field)) << error;
        EXPECT_EQ(std::string::npos, error.find("exception")) << error;
    }
    // Nothing refused started an operation: the one that ran is the accepted one.
    nlohmann::json job = waitForJob();
    EXPECT_EQ(1, job.value("id", 0)) << job.dump();
    EXPECT_EQ("defaults", job.value("kind", "")) << job.dump();
}

// A finished operation's keys and passwords are told once, to the page, then dropped: a second
// look, or a tab opened later with the same cookie and token, sees null.
TEST_F(UiSecurityTest, SecretsOfAResultAreToldOnce) {
    startServer();
    openPage();
    const std::string newKey = "a passphrase told once";
    const std::string newPassword = "told-once-9";
    const nlohmann::json asked = {{"address", "192.168.77.10"}, {"password", "gatekeeper"},
                                  {"security", "wpa2-psk"},     {"key", newKey},
                                  {"newUser", "owner"},         {"newPassword", newPassword}};
    httplib::Result started = send("POST", "/api/configure", pageChange(), asked.dump());
    ASSERT_TRUE(started);
    ASSERT_EQ(200, started->status) << started->body;
    nlohmann::json job = waitForJob();
    ASSERT_TRUE(job.value("done", false)) << job.dump();
    ASSERT_EQ(nullptr, job["error"]) << job.dump();
    EXPECT_EQ(newKey, job["result"]["device"]["key"]) << job.dump();
    std::map<std::string, nlohmann::json> told;
    for (const auto& change : job["result"]["changes"])
        told[change["setting"]] = change["value"];
    EXPECT_EQ(newKey, told["key"]);
    EXPECT_EQ(newPassword, told["password"]);
    EXPECT_EQ("wpa2-psk", told["security"]);
    EXPECT_EQ("owner", told["username"]);

    for (int look = 0; look < 2; ++look) {
        httplib::Result again = send("GET", "/api/job", pageAsk());
        ASSERT_TRUE(again);
        EXPECT_EQ(std::string::npos, again->body.find(newKey)) << again->body;
        EXPECT_EQ(std::string::npos, again->body.find(newPassword)) << again->body;
        nlohmann::json later = nlohmann::json::parse(again->body);
        EXPECT_EQ(nullptr, later["result"]["device"]["key"]);
        EXPECT_EQ(later["result"]["changes"].size(), job["result"]["changes"].size());
        for (const auto& change : later["result"]["changes"]) {
            if (change["setting"] == "security") {
                EXPECT_EQ("wpa2-psk", change["value"]) << "only secrets are dropped";
            }
        }
    }
    // The device holds the change: the new password opens it and shows the key, once again.
    httplib::Result shown = send(
        "POST", "/api/show", pageChange(),
        nlohmann::json{{"address", "192.168.77.10"}, {"user", "owner"}, {"password", newPassword}}
            .dump());
    ASSERT_TRUE(shown);
    ASSERT_EQ(200, shown->status) << shown->body;
    job = waitForJob();
    EXPECT_EQ(newKey, job["result"]["device"]["key"]) << job.dump();
    EXPECT_EQ(std::string::npos, send("GET", "/api/job", pageAsk())->body.find(newKey));
}

// A refusal by the device's own rules names the field it concerns (the sentence stays the
// command's), and nothing is written.
TEST_F(UiSecurityTest, ARefusalNamesItsField) {
    startServer();
    openPage();
    struct Case {
        nlohmann::json change;
        const char* field;
    };
    const std::vector<Case> cases = {
        {{{"ssid", std::string(33, 's')}}, "ssid"},
        {{{"ssid", "HomeNet"}, {"security", "wpa2-psk"}, {"key", "short"}}, "key"},
        {{{"ssid", "HomeNet"}, {"key", "a long enough passphrase"}}, "security"},
        {{{"ssid", "HomeNet"}, {"newPassword", std::string(200, 'p')}}, "newPassword"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change.dump());
        nlohmann::json body = c.change;
        body["address"] = "192.168.77.10";
        body["password"] = "gatekeeper";
        httplib::Result started = send("POST", "/api/configure", pageChange(), body.dump());
        ASSERT_TRUE(started);
        ASSERT_EQ(200, started->status) << started->body;
        nlohmann::json job = waitForJob();
        EXPECT_EQ(c.field, job.value("field", "")) << job.dump();
        EXPECT_NE(nullptr, job["error"]) << job.dump();
    }
}

// Two servers side by side: each has its own cookie (named after its port) and session; neither's
// opens the other, the first tab stays logged in, a port in use is refused with the sentence that
// says so, and Ctrl-C ends a run as cancelled (with or without an operation going).
TEST_F(UiSecurityTest, TwoServersKeepTheirSessionsAndPortsApart) {
    startServer();
    openPage();
    std::unique_ptr<BackgroundProgram> first = std::move(server);
    const int firstPort = port;
    const std::string firstHost = host, firstCookie = sessionCookie(), firstToken = token;

    krztest::ProgramOutcome taken = krztest::runProgram(
        {KRZPAP_PROGRAM, "ui", "--no-open", "--port", std::to_string(firstPort)},
        {"XDG_STATE_HOME=" + state});
    EXPECT_EQ(5, taken.status) << taken.err;
    EXPECT_NE(std::string::npos,
              taken.err.find("cannot listen on 127.0.0.1:" + std::to_string(firstPort)))
        << taken.err;

    startServer();
    openPage();
    ASSERT_NE(firstPort, port);
    const std::string both = firstCookie + "; " + sessionCookie();
    struct Ask {
        const char* what;
        std::string host, cookie, token;
        int status;
    };
    const std::vector<Ask> asks = {
        {"the first tab, with both cookies", firstHost, both, firstToken, 200},
        {"the second tab, with both cookies", host, both, token, 200},
        {"the first's cookie and token at the second", host, firstCookie, firstToken, 403},
        {"the first's session under the second's name", host,
         cookieName + "=" + firstCookie.substr(firstCookie.find('=') + 1), firstToken, 403},
        {"the second's token with the first's cookie", host, firstCookie, token, 403},
    };
    for (const Ask& a : asks) {
        httplib::Client client("127.0.0.1", std::stoi(a.host.substr(a.host.find(':') + 1)));
        httplib::Result res = client.Get(
            "/api/job", {{"Host", a.host}, {"Cookie", a.cookie}, {"X-Krzpap-Token", a.token}});
        ASSERT_TRUE(res) << a.what;
        EXPECT_EQ(a.status, res->status) << a.what;
    }

    httplib::Result started = send("POST", "/api/scan", pageChange());
    ASSERT_TRUE(started);
    ASSERT_EQ(200, started->status) << started->body;
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(6, server->stop()) << "Ctrl-C during a scan";
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - stopping);
    RecordProperty("stop_during_scan_ms", static_cast<int>(took.count()));
    server.reset();
    EXPECT_EQ(6, first->stop()) << "Ctrl-C with nothing going";
}
