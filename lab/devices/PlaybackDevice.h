// A device that plays a recording (krzpap record): it answers the recorded requests with the
// recorded replies, accepts the recorded credentials (or the placeholders that stand for them),
// and keeps the state of the recorded forms, so that a value posted to a form shows in the pages
// read after it. Anything not recorded gets a 404.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"
#include "recording/Recording.h"

namespace krzlab {

class PlaybackDevice final : public EmulatedDevice {
  public:
    // Reads profile.recording; throws std::invalid_argument when it cannot be played.
    explicit PlaybackDevice(const DeviceSpec& profile);
    ~PlaybackDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    void resetExtras() override;

  private:
    // A hidden field that a submission to a form must carry: as the page served it (a token),
    // or filled in by the page's scripts: a copy of the visible field `copyOf`, or (none named)
    // anything but empty.
    struct HiddenRule {
        std::string name;
        std::string served;
        bool filled = false;
        std::string copyOf;
    };

    void noteScriptPost(const std::string& path);
    // What the pages read before exchange `before` show that `field` held: the value their
    // scripts give it, a script object's or JSON reply's member of its name, or the one JSON
    // member of its name under a unit's number; "" when none shows it.
    // `name`: the script variable or member that keeps it, when one does.
    std::string shownBefore(const std::string& field, std::size_t before, std::string& name) const;
    // The JSON members that show `field` under a unit's name (shownAs_).
    void noteShownAs(const std::string& field);
    // A posted value shown by the JSON replies, under its name and its unit's; mutex_ is held.
    void showPostedJson(const std::string& name, const std::string& value);
    bool authorized(const HttpRequest& request) const;
    // A header the recorded request carried a session token in (the device's CSRF or session
    // header) that `request` lacks or carries another value in; "" when none.
    std::string missingToken(const Exchange& recorded, const HttpRequest& request) const;
    std::string accountPassword() const;
    // Whether a submission to `path` carries the hidden fields its form must carry.
    bool carriesTheForm(const std::string& path, const FormFields& fields) const;
    // The value the page serves now for a hidden field; mutex_ is held.
    std::string servedValue(const HiddenRule& rule) const;
    // The recorded exchange for `key` ("METHOD target" or "METHOD path"), preferring one sent
    // with the login's credentials when `withCredentials`; nullptr when none was recorded.
    const Exchange* pick(const std::map<std::string, std::vector<std::size_t>>& index,
                         const std::string& key, bool withCredentials) const;
    // Of the exchanges recorded for one target, the one whose JSON body is most like `body`.
    const Exchange* pickByBody(const std::vector<std::size_t>& recorded, const std::string& body,
                               bool withCredentials) const;
    HttpReply refused() const;
    HttpReply login(const HttpRequest& request) const;
    HttpReply play(const Exchange& exchange) const;
    // The page as it reads with the forms' state now.
    std::string render(const std::string& body) const;

    Recording recording_;
    std::set<std::string> tokens_;  // the recording's placeholders of session tokens
    std::map<std::string, std::vector<std::size_t>> byTarget_;  // "GET /a?b"
    std::map<std::string, std::vector<std::size_t>> byPath_;    // "POST /a"
    std::map<std::string, std::string> formActions_;            // path -> "GET" or "POST"
    std::set<std::string> sessionCookies_;                      // "NAME=value"
    std::map<std::string, std::string> originals_;              // field -> value as recorded
    std::map<std::string, std::string> current_;                // field -> value posted since
    // A JSON interface: each string member posted since, by its name, that the JSON replies
    // then show in the members of that name.
    std::map<std::string, std::string> jsonPosted_;
    // form action -> the rules of each recorded submission to it (forms of several pages may
    // post to one action, each with its own hidden fields)
    std::map<std::string, std::vector<std::vector<HiddenRule>>> hidden_;
    // form action -> the fields its page's script fills in
    std::map<std::string, std::set<std::string>> scriptFilled_;
    std::set<std::string> passwordFields_;  // fields that set the account's password
    std::set<std::string> scriptPosts_;     // paths of posts that no recorded form sends
    // a script post's field -> the JSON members that show it under a unit's name
    std::map<std::string, std::set<std::string>> shownAs_;
    // Each recorded reply's string members by name, when it is JSON (read once, not per field).
    std::vector<std::map<std::string, std::string>> replyMembers_;
    // field -> the script variable or member its page keeps its value in, replaced by name
    // (so a value of one character, such as a mode's '3', shows as changed too)
    std::map<std::string, std::string> keptAs_;
    std::string password_;  // the password the device accepts now
};

}  // namespace krzlab
