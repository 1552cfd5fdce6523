// A recording of one device's web administration: what `krzpap record` writes and what the lab's
// playback device answers from. One JSON document (recording.schema.json publishes its form):
//
//   { "format": "krzpap-recording", "version": 1,
//     "address": "192.168.77.10", "mac": "02:4B:5A:00:00:10", "recorded": "2026-12-06T15:00:00Z",
//     "complete": true, "stopReason": "",
//     "secretsKept": false, "anonymized": false,
//     "login": { "kind": "basic", "user": "admin", "password": "PW-0001",
//                "page": "", "path": "", "userField": "", "passwordField": "" },
//     "placeholders": [ { "value": "PW-0001", "kind": "password" } ],
//     "exchanges": [ { "request": { "method": "GET", "target": "/index.htm", "headers": [],
//                                   "form": [], "multipart": false, "credentials": true },
//                      "reply": { "version": "HTTP/1.1", "status": 200, "reason": "OK",
//                                 "headers": [ ["Server", "AcmeWeb/1.4"] ],
//                                 "body": "<html>...", "cutShort": false } } ] }
//
// A body that is not valid UTF-8 is written as "bodyBase64" instead of "body"; any other text a
// device sent (a target, a header, a form field) that is not valid UTF-8 as {"base64": "..."}
// in place of the string, so that the bytes read back are the bytes recorded. A reply without a
// status line (a page sent bare) has status 0. Built for every platform: krzpap writes
// recordings wherever it runs; the lab, which plays them, reads them with the same code.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace krzlab {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
    std::string method;  // "GET", "POST"
    std::string target;  // path and query as sent
    HeaderList headers;  // what the request carried beyond the client's usual ones
    HeaderList form;     // a POST's fields, decoded, in the order sent
    bool multipart = false;
    // Sent with the login's credentials (Basic or a session cookie).
    bool credentials = false;
    // A POST's body when it is no form (JSON, text), as sent by a page's script or a description's
    // step.
    std::string body = std::string();
};

struct RecordedReply {
    std::string version = "HTTP/1.1";
    int status = 200;  // 0: the reply had no status line
    std::string reason = "OK";
    HeaderList headers;
    std::string body;  // bytes
    // The connection ended before the reply was complete; body holds what arrived.
    bool cutShort = false;
    // The browser kept no body: this one holds only what later requests showed it handed out.
    bool rebuilt = false;
};

struct Exchange {
    RecordedRequest request;
    RecordedReply reply;
};

// How the recorder logged in. kind "none": no credentials were needed or given; "basic": every
// request carried them; "form": a login form at `page` posted to `path` with the two fields.
struct RecordedLogin {
    std::string kind = "none";
    std::string user;
    std::string password;  // a placeholder unless the secrets were kept
    std::string page;
    std::string path;
    std::string userField;
    std::string passwordField;
};

// A value that stands in the recording for something taken out of it.
struct Placeholder {
    std::string value;
    // "password", "key", "cookie", "authorization", "secret" (a session token), "mac", "serial"
    std::string kind;
    // For a value the browser computed from the password: how, as a description's expression.
    nlohmann::json of;
};

struct Recording {
    static constexpr int kVersion = 1;
    std::string address;
    // "https" when the device was recorded over TLS; "" for plain HTTP (the older recordings).
    std::string scheme;
    // The port recorded from when it is not the scheme's own (80, 443); 0 otherwise.
    int port = 0;
    std::string mac;
    std::string recorded;  // UTC, ISO 8601
    bool complete = true;
    std::string stopReason;  // why an incomplete recording stopped
    bool secretsKept = false;
    bool anonymized = false;
    // "har": made from what a person's browser saved, not by visiting the device; "" otherwise.
    std::string source;
    RecordedLogin login;
    std::vector<Placeholder> placeholders;
    std::vector<Exchange> exchanges;

    nlohmann::json toJson() const;
    // Throws std::invalid_argument naming the place ("exchanges[3].reply.status: ...").
    static Recording fromJson(const nlohmann::json& json);
    static Recording fromText(const std::string& text);
    // Throws std::invalid_argument naming the file.
    static Recording fromFile(const std::string& path);
    std::string toText() const;
};

// Replaces secrets (and, to anonymize, MACs and serial numbers) by placeholders, the same one for
// the same value wherever it stands: in headers, targets, form fields and bodies, also where a
// page wrote it escaped in any way a page escapes text: character references (named, decimal,
// hexadecimal), URL encoding ('+' or %20), script and JSON string escapes (\', \/, \xHH,
// \uHHHH). One pass over each text, whatever the number of values.
class SecretScrubber {
  public:
    // The placeholder for `secret`: "PW-0001", "KEY-0001", ... by kind. Empty secrets get none.
    std::string add(const std::string& secret, const std::string& kind);
    // Adds every common spelling of a MAC (upper and lower case; ':', '-' or no separator), each
    // replaced by the same stand-in MAC in the same spelling. Returns the stand-in with ':'.
    std::string addMac(const std::string& mac);
    // Replaces every added value in the recording and lists the placeholders in its header.
    void apply(Recording& recording) const;
    std::string replaceIn(const std::string& text) const;

  private:
    using Replacement = std::pair<const std::string, std::string>;
    // A value to look for, and whether it is a secret (found in any spelling) or a MAC's
    // spelling (found as it stands).
    using Candidate = std::pair<const Replacement*, bool>;
    std::map<std::string, std::string> secrets_;       // value -> placeholder
    std::map<std::string, std::string> replacements_;  // a MAC's spelling -> its stand-in's
    // The candidates by the byte they may start with, built when first needed.
    mutable std::shared_ptr<std::vector<std::vector<Candidate>>> byFirst_;
    std::vector<Placeholder> placeholders_;
    std::map<std::string, int> counts_;
    int macs_ = 0;
};

// The same-device target a link written on the page at `base` leads to, or "" for anything else
// (another host, a script, a mail address, a bare fragment). `address` is the device's.
std::string resolveTarget(const std::string& base, std::string link, const std::string& address);

// The value of the first header named `name` (letter case ignored), or nullptr.
const std::string* headerOf(const HeaderList& headers, const std::string& name);

// `text` with its ASCII letters in lower case (other bytes as they are).
std::string lower(std::string text);

// Every occurrence of `from` in `text`, left to right, without matching inside what was put in.
void replaceAll(std::string& text, const std::string& from, const std::string& to);
bool validUtf8(const std::string& bytes);
std::string base64Encode(const std::string& bytes);
// Stops at the first character outside the alphabet ('=' included).
std::string base64Decode(const std::string& text);

}  // namespace krzlab
