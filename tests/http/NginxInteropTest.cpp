// Requests and replies exchanged with Debian's nginx on loopback: a static file (content length), a
// filtered file (chunked, and without framing, read to the close), an echo of request bodies, and
// the request headers as nginx parsed them.
//
// nginx runs in the foreground as a child process with a private prefix and configuration. It takes
// over a listening socket that the test has already bound to 127.0.0.1:0 (nginx's socket
// inheritance through the NGINX environment variable), so no port is guessed and connections
// queue until nginx accepts them: there is nothing to wait for.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "http/KRZPAPComm.h"
#include "http/KRZPFormParams.h"
#include "http/KRZPMultipartParams.h"
#include "testsupport/krzchild.h"
#include "testsupport/krzprograms.h"
#include "platform/krzplatform.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

const char* const NGINX = "/usr/sbin/nginx";
const char* const ECHO_MODULE = "/usr/lib/nginx/modules/ngx_http_echo_module.so";

std::string pageText() {
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + std::to_string(i) + " MARK text\n";
    return text;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

class NginxInterop : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!std::filesystem::exists(NGINX))
            return;
        std::error_code error;
        dir_ = ::testing::TempDir() + "krzpap-nginx-" + std::to_string(std::random_device()());
        if (!std::filesystem::create_directory(dir_, error)) {
            dir_.clear();
            return;
        }
        hasEcho_ = std::filesystem::exists(ECHO_MODULE);

        SOCKET listening = static_cast<SOCKET>(krztest::boundLoopbackSocket());
        listen(listening, 64);
        port_ = krztest::boundPort(static_cast<int>(listening));

        std::ofstream(dir_ + "/page.html") << pageText();
        std::string user = krztest::userName();
        std::ofstream conf(dir_ + "/nginx.conf");
        if (hasEcho_)
            conf << "load_module " << ECHO_MODULE << ";\n";
        conf << "daemon off;\nworker_processes 1;\n"
             << "user " << (user.empty() ? "nobody" : user) << ";\n"
             << "pid " << dir_ << "/nginx.pid;\nerror_log " << dir_ << "/error.log;\n"
             << "events { worker_connections 64; }\n"
             << "http {\n access_log " << dir_ << "/access.log;\n";
        for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
            conf << " " << temp << "_temp_path " << dir_ << "/" << temp << ";\n";
        }
        conf << " server {\n  listen 127.0.0.1:" << port_ << ";\n  root " << dir_ << ";\n"
             << "  location /filtered/ { alias " << dir_ << "/; sub_filter MARK mark; "
             << "sub_filter_once off; sub_filter_types *; }\n"
             << "  location /unframed/ { alias " << dir_ << "/; sub_filter MARK mark; "
             << "sub_filter_once off; sub_filter_types *; chunked_transfer_encoding off; }\n"
             << "  location /headers { return 200 "
             << "\"$http_authorization|$http_cookie|$http_referer|$host|$http_connection\"; }\n";
        if (hasEcho_) {
            conf << "  location /echo { echo_read_request_body; "
                 << "echo \"$request_method|$http_content_type|$content_length\"; "
                 << "echo_request_body; }\n";
        }
        conf << " }\n}\n";
        conf.close();

        pid_ = krztest::startWithListeningSocket(
            {NGINX, "-p", dir_, "-c", dir_ + "/nginx.conf", "-e", dir_ + "/error.log"},
            static_cast<unsigned int>(listening), "NGINX");
    }

    static void TearDownTestSuite() {
        if (pid_ > 0) {
            krztest::stopProgram(pid_);
        }
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }

    void SetUp() override {
        if (pid_ <= 0)
            GTEST_SKIP() << "nginx (" << NGINX << ") is not installed";
    }

    // One request on a fresh connection, read whole.
    template <typename Write>
    KRZPAPComm exchange(Write write, const std::string& user = "") {
        KRZPAPComm comm(std::string("127.0.0.1"));
        if (!user.empty())
            comm.setAuthInfo(user, "secret");
        comm.setCookie("Cookie", "session=abc");
        comm.openConnection(port_, false);
        write(comm);
        comm.readResponseSynchronous();
        return comm;
    }

    static std::string dir_;
    static bool hasEcho_;
    static unsigned short port_;
    static int pid_;
};

std::string NginxInterop::dir_;
bool NginxInterop::hasEcho_ = false;
unsigned short NginxInterop::port_ = 0;
int NginxInterop::pid_ = -1;

TEST_F(NginxInterop, StaticFileWithContentLength) {
    KRZPAPComm comm = exchange([](KRZPAPComm& c) { c.writeGetRequest("/page.html"); });
    EXPECT_EQ(comm.getResponseHeaders().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(comm.getResponseHeaders().find(
                  "Content-Length: " + std::to_string(pageText().size()) + "\r\n"),
              std::string::npos);
    EXPECT_TRUE(comm.getResponseBody() == pageText());
}

TEST_F(NginxInterop, FilteredFileIsChunked) {
    KRZPAPComm comm = exchange([](KRZPAPComm& c) { c.writeGetRequest("/filtered/page.html"); });
    EXPECT_NE(comm.getResponseHeaders().find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    std::string expected = replaceAll(pageText(), "MARK", "mark");
    EXPECT_EQ(comm.getResponseBody().size(), expected.size());
    EXPECT_TRUE(comm.getResponseBody() == expected);

    // curl reads the same body from the same server.
    if (std::filesystem::exists("/usr/bin/curl")) {
        int status = -1;
        std::string viaCurl =
            krztest::run({"/usr/bin/curl", "-s", "--max-time", "10",
                          "http://127.0.0.1:" + std::to_string(port_) + "/filtered/page.html"},
                         status);
        if (status == 0) {
            EXPECT_TRUE(viaCurl == comm.getResponseBody());
        }
    }
}

TEST_F(NginxInterop, UnframedReplyReadToTheClose) {
    KRZPAPComm comm = exchange([](KRZPAPComm& c) { c.writeGetRequest("/unframed/page.html"); });
    EXPECT_EQ(comm.getResponseHeaders().find("Transfer-Encoding"), std::string::npos);
    EXPECT_EQ(comm.getResponseHeaders().find("Content-Length"), std::string::npos);
    EXPECT_TRUE(comm.getResponseBody() == replaceAll(pageText(), "MARK", "mark"));
}

TEST_F(NginxInterop, RequestHeadersAsNginxParsesThem) {
    KRZPAPComm comm = exchange([](KRZPAPComm& c) { c.writeGetRequest("/headers"); }, "admin");
    EXPECT_EQ(comm.getResponseBody(),
              "Basic YWRtaW46c2VjcmV0|session=abc|http://127.0.0.1/|127.0.0.1|Close");
    EXPECT_NE(comm.getResponseHeaders().find("Content-Length: "), std::string::npos);
}

TEST_F(NginxInterop, PostBodiesArriveIntact) {
    if (!hasEcho_)
        GTEST_SKIP() << "nginx echo module (" << ECHO_MODULE << ") is not installed";
    KRZPFormParams form;
    form.addParam("user", "a b");
    form.addParam("pass", "x&y=z%");
    form.addParam("note", "\xc3\xa9t\xc3\xa9");
    KRZPAPComm formReply = exchange([&](KRZPAPComm& c) { c.writePostRequest("/echo", form); });
    std::string formText = KRZPAPComm().formText(form);
    EXPECT_EQ(formReply.getResponseBody(), "POST|application/x-www-form-urlencoded|" +
                                               std::to_string(formText.size()) + "\n" + formText);

    KRZPMultipartParams multipart;
    multipart.addParam("ssid", "My Net");
    multipart.addParam("file", std::string("bin\0\r\n--x", 9), "cfg.bin",
                       "application/octet-stream");
    KRZPAPComm multipartReply =
        exchange([&](KRZPAPComm& c) { c.writeMultipartPostRequest("/echo", multipart); });
    std::string body = multipart.asString();
    EXPECT_EQ(multipartReply.getResponseBody(), "POST|multipart/form-data; boundary=KRZB1F1F--|" +
                                                    std::to_string(body.size()) + "\n" + body);

    std::string large(200000, 'q');
    KRZPAPComm largeReply = exchange([&](KRZPAPComm& c) { c.writePostRequest("/echo", large); });
    EXPECT_TRUE(largeReply.getResponseBody() ==
                "POST|application/x-www-form-urlencoded|200000\n" + large);
}

}  // namespace
