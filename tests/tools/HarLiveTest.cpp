// A HAR of a lab family's login and change, as the browser would have saved it, imported and
// described; the draft, filled in as its author would, then configures a fresh lab device of that
// family through the description module, and the new name and key are read back. (Each krzpap
// process runs the lab file afresh, so the read-back is configure's own, through a fresh login.)
#include "app/Describer.h"
#include "app/HarImport.h"

#include "krzutil/KRZCryptoUtil.h"
#include "testsupport/krzprograms.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char kAddress[] = "192.168.77.90";
const char kPassword[] = "Har-typed-1";

// A Sorrelby login: a challenge hands out a nonce, a salt and a count; the browser's script
// sends an HMAC of the nonce keyed with PBKDF2 of the password, never the password.
std::string proof(const std::string& salt, unsigned iterations, const std::string& nonce) {
    KRZBuf key =
        KRZCryptoUtil::pbkdf2Sha256(KRZBuf(std::string(kPassword)), KRZBuf(salt), iterations, 32);
    return KRZCryptoUtil::hmac(KRZCryptoUtil::Digest::SHA256, key, KRZBuf(nonce)).toUtf8HexString();
}

json entry(const std::string& method, const std::string& path, int status, const json& reply,
           const json& post = nullptr, json headers = json::array()) {
    std::string url = std::string("http://") + kAddress + path;
    if (!post.is_null())
        headers.push_back({{"name", "Origin"}, {"value", std::string("http://") + kAddress}});
    json request{{"method", method}, {"url", url}, {"headers", headers}};
    if (!post.is_null())
        request["postData"] = {{"mimeType", "application/json"}, {"text", post.dump()}};
    std::string body = reply.is_string() ? reply.get<std::string>() : reply.dump();
    return {{"startedDateTime", "2026-12-07T10:00:00.000Z"},
            {"request", request},
            {"response",
             {{"status", status},
              {"headers", json::array({{{"name", "Content-Type"}, {"value", "application/json"}},
                                       {{"name", "Server"}, {"value", "sorrelby-httpd"}}})},
              {"content", {{"size", body.size()}, {"text", body}}}}}};
}

// What the browser exchanged with the device, the session's cookie and token included, but not
// the login's answer, which handed the token out.
std::string sorrelbyHar() {
    const std::string nonce = "5e1f0c2a9b7d4e63a1b2c3d4e5f60718", salt = "a1b2c3d4e5f60718";
    const json token = {{"name", "X-Sorrelby-Token"},
                        {"value", "0f1e2d3c4b5a69788796a5b4c3d2e1f0"}};
    const json cookie = {{"name", "Cookie"},
                         {"value", "srb_session=9a8b7c6d5e4f30211203f4e5d6c7b8a9"}};
    json loginReply =
        entry("POST", "/api/login", 200,
              json{{"ok", true}, {"token", "0f1e2d3c4b5a69788796a5b4c3d2e1f0"}},
              json{{"user", "admin"}, {"nonce", nonce}, {"proof", proof(salt, 1000, nonce)}});
    loginReply["response"]["headers"].push_back(
        {{"name", "Set-Cookie"},
         {"value", "srb_session=9a8b7c6d5e4f30211203f4e5d6c7b8a9; Path=/; HttpOnly"}});
    // The page leaves as soon as the login answers, and Chromium keeps no body of that answer.
    loginReply["response"]["content"].erase("text");
    json before = {{"ssid", "SorrelbyHome"},         {"security", "wpa2"}, {"cipher", "aes"},
                   {"passphrase", "sorrelby-key-1"}, {"channel", "6"},     {"hidden", "0"}};
    json after = before;
    after["ssid"] = "HarNet";
    after["passphrase"] = "har-key-2026";
    return json{
        {"log",
         {{"version", "1.2"},
          {"entries",
           {entry("GET", "/", 200, "<html><title>Sorrelby SR-300</title></html>"),
            entry("GET", "/api/challenge?user=admin", 200,
                  json{{"nonce", nonce}, {"salt", salt}, {"iterations", 1000}}),
            loginReply, entry("GET", "/api/wireless", 200, before, nullptr, {token, cookie}),
            entry("POST", "/api/wireless", 202, json{{"ok", true}, {"restartMs", 200}}, after,
                  {token, cookie}),
            entry("GET", "/api/wireless", 200, after, nullptr, {token, cookie})}}}}}
        .dump();
}

size_t countOf(const std::string& text, const std::string& word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(HarLiveTest, ADraftFromAHarConfiguresAFreshDeviceOfItsFamily) {
    const fs::path scratch = fs::path(::testing::TempDir()) /
                             ("har_live_" + std::to_string(static_cast<long>(getpid())));
    fs::remove_all(scratch);
    fs::create_directories(scratch / "descriptions");

    krzlab::Recording recording = krzpap::importHar(sorrelbyHar(), "", kPassword, false).recording;
    json draft = krzpap::draftDescription(krzlab::Recording::fromText(recording.toText()), "har");
    ASSERT_TRUE(draft["values"].contains("sentPassword")) << draft.dump(1);
    const json& login = draft["login"]["steps"];
    ASSERT_EQ(2u, login.size()) << login.dump();
    EXPECT_EQ("/api/challenge?user={loginUser}", login[0]["path"]);
    EXPECT_EQ("{sentPassword}", login[1]["json"]["proof"]);
    EXPECT_EQ("{token}", draft["login"]["headers"]["X-Sorrelby-Token"]);
    EXPECT_EQ(json({{"json", "/token"}}), login[1]["capture"]["token"]) << login.dump();

    // What no exchange tells, filled in as the author would: what the family is, and the
    // change's other values as the device holds them (captured, never the HAR's).
    json gaps = draft["draft"]["gaps"];
    draft.erase("draft");
    draft.erase("$schema");
    draft["vendor"] = "Sorrelby";
    draft["models"] = {"SR-300"};
    draft["recognize"] = {{"priority", 900},
                          {"match", {{{"header", "Server: sorrelby-httpd"}}}},
                          {"model", {{{"text", "<title>Sorrelby ([^ <]+)</title>"}}}}};
    draft["account"] = {{"defaultUser", "admin"},
                        {"defaultPassword", "admin"},
                        {"usesUsername", true},
                        {"user", {{"min", 1}, {"max", 16}}},
                        {"password", {{"min", 5}, {"max", 63}}}};
    draft["settings"] = {{"ssid", {{"page", "/api/wireless"}, {"json", "/ssid"}}},
                         {"security", {{"page", "/api/wireless"}, {"json", "/security"}}},
                         {"encryption", {{"page", "/api/wireless"}, {"json", "/cipher"}}},
                         {"key", {{"page", "/api/wireless"}, {"json", "/passphrase"}}}};
    draft["security"] = {{"none", "open"}, {"wpa-psk", "wpa"}, {"wpa2-psk", "wpa2"}};
    draft["encryption"] = {{"none", "none"}, {"tkip", "tkip"}, {"aes", "aes"}};
    // One administrator at a time: each operation logs out at its end, and a session that ended
    // is asked for again (the HAR showed neither).
    draft["login"]["logout"] = {{{"path", "/api/logout"}, {"json", json::object()}}};
    // What the login answers on success, which the HAR lost: the author knows it of the device.
    draft["login"]["steps"][1]["expect"]["json"] = {{"/ok", true}};
    draft["login"]["expired"] = {{"status", 401}};
    json& wireless = draft["changes"][0];
    json& post = wireless["steps"].back();
    ASSERT_EQ("{ssid}", post["json"]["ssid"]) << wireless.dump();
    ASSERT_EQ("{key}", post["json"]["passphrase"]) << wireless.dump();
    post["json"]["security"] = "{security}";
    post["json"]["cipher"] = "{encryption}";
    post["json"]["channel"] = "{channel}";
    post["json"]["hidden"] = "{hidden}";
    post["restarts"] = true;
    wireless["steps"].insert(
        wireless["steps"].begin(),
        json{
            {"path", "/api/wireless"},
            {"capture", {{"channel", {{"json", "/channel"}}}, {"hidden", {{"json", "/hidden"}}}}}});
    wireless["restart"] = {{"minimumMs", 100}, {"maximumMs", 10000}, {"pauseMs", 100}};
    // The credentials change: the HAR holds none; the author writes it with the login's proof.
    draft["changes"][1]["steps"] = {{{"path", "/api/challenge?user={loginUser}"},
                                     {"capture",
                                      {{"nonce", {{"json", "/nonce"}}},
                                       {"salt", {{"json", "/salt"}}},
                                       {"iterations", {{"json", "/iterations"}}}}}},
                                    {{"path", "/api/admin"},
                                     {"json",
                                      {{"user", "{user}"},
                                       {"password", "{password}"},
                                       {"nonce", "{nonce}"},
                                       {"proof", "{sentPassword}"}}}}};
    std::ofstream(scratch / "descriptions" / "har-sorrelby.json") << draft.dump(1);

    json device = {{"name", "har-sorrelby"},
                   {"family", "sorrelby"},
                   {"address", kAddress},
                   {"mac", "02:4B:5A:00:00:9A"},
                   {"model", "SR-300"},
                   {"firmware", "2.1.0"},
                   {"username", "admin"},
                   {"password", kPassword},
                   {"options", {{"iterations", "1000"}, {"restartMs", "200"}}},
                   {"wireless",
                    {{"ssid", "SorrelbyHome"},
                     {"security", "wpa2-psk"},
                     {"encryption", "aes"},
                     {"key", "sorrelby-key-1"}}}};
    json lab = {{"adapters",
                 {{{"name", "lab0"},
                   {"index", 7},
                   {"address", "192.168.77.2"},
                   {"mask", "255.255.255.0"},
                   {"mac", "02:4B:5A:00:00:02"}}}},
                {"devices", {device}}};
    std::ofstream(scratch / "lab.json") << lab.dump();

    std::vector<std::string> env;
    for (const std::string& e : krztest::processEnvironment())
        if (e.rfind("KRZ_", 0) != 0 && e.rfind("XDG_STATE_HOME=", 0) != 0)
            env.push_back(e);
    env.push_back("XDG_STATE_HOME=" + (scratch / "state").string());
    env.push_back("KRZ_LAB_FILE=" + (scratch / "lab.json").string());
    env.push_back("KRZ_APDESCRIPTION_DIRS=" + (scratch / "descriptions").string());
    auto krzpap = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {KRZPAP_PROGRAM, "--log", (scratch / "krzpap.log").string(),
                                   "--modules", "krzpapdescriptions.dll"});
        return krztest::runProgram(args, env);
    };
    // The command says what it found: a login the page's script sent, the answer it lost.
    std::ofstream(scratch / "browser.har") << sorrelbyHar();
    krztest::ProgramOutcome imported =
        krzpap({"--json", "record", "--from-har", (scratch / "browser.har").string(), "-o",
                (scratch / "imported.json").string(), "-p", kPassword});
    json said = json::parse(imported.out, nullptr, false);
    ASSERT_TRUE(said.is_object()) << imported.out << imported.err;
    EXPECT_EQ("scripted", said["result"]["login"]) << imported.out;
    EXPECT_NE(std::string::npos, said["result"]["notes"].dump().find("X-Sorrelby-Token"))
        << imported.out;

    // Checked against the recording first, as the author would: the lost answer plays as the
    // description expects it, and the rest of the description is checked.
    std::ofstream(scratch / "har.recording.json") << recording.toText();
    std::vector<std::string> checkEnv(env.begin(), env.end() - 2);  // not the live lab's
    checkEnv.push_back(std::string("KRZPAP=") + KRZPAP_PROGRAM);
    krztest::ProgramOutcome checked =
        krztest::runProgram({"/bin/sh", KRZ_CHECK_DESCRIPTION,
                             (scratch / "descriptions" / "har-sorrelby.json").string(),
                             (scratch / "har.recording.json").string()},
                            checkEnv);
    EXPECT_EQ(0, checked.status) << checked.out << checked.err;
    EXPECT_NE(std::string::npos, checked.out.find("note: the HAR lost the body of an answer"))
        << checked.out;
    EXPECT_NE(std::string::npos, checked.out.find("passed: configure --ssid")) << checked.out;

    krztest::ProgramOutcome configured =
        krzpap({"configure", kAddress, "-u", "admin", "-p", kPassword, "--ssid", "FromHar",
                "--security", "wpa2-psk", "--key", "from-har-key-1"});
    EXPECT_EQ(0, configured.status)
        << configured.out << configured.err << fileText((scratch / "krzpap.log").string());
    // Read back through a fresh login, as configure does: the device holds both.
    for (const char* line : {"ssid:        FromHar", "key:"})
        EXPECT_NE(std::string::npos, configured.out.find(line)) << configured.out;
    EXPECT_EQ(4u, countOf(configured.out, "confirmed")) << configured.out;
    if (!HasFailure())
        fs::remove_all(scratch);
}

}  // namespace
