/// \file
/// The application layer: the work every host does with the library (scan, show, configure and
/// confirm, find by MAC, the factory-defaults verdict, record and describe), as typed requests in
/// and structured results out, so that the command line, the page and any other host differ only
/// in their words. Built as its own library (libkrzpapapp.so, krzpapapp.dll) on top of the device
/// service.
#pragma once

#include "krzcompat/krzexport.h"

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(krzpapapp_EXPORTS)
/// Exports the application layer's classes from its own library, imports them elsewhere.
#define KRZPAPP_API KRZ_DLL_EXPORT
#else
/// Exports the application layer's classes from its own library, imports them elsewhere.
#define KRZPAPP_API KRZ_DLL_IMPORT
#endif

/// The application layer's requests, results and errors.
namespace krzpapp {

/// What went wrong, for a host to choose its own words and its exit code.
enum class ErrorKind {
    BadRequest,        ///< The request breaks a rule that needs no device; nothing was sent.
    DeviceRule,        ///< A value breaks the device's own rule; nothing was changed.
    NoAdapter,         ///< No usable network adapter (or not the one named).
    Unreachable,       ///< Nothing answers at the address, or the connection failed.
    NotRecognized,     ///< Something answers, but no loaded module knows it.
    LoginRefused,      ///< The device refused the credentials.
    LoginLocked,       ///< The device refuses logins for now; deviceWords says why.
    DeviceFailed,      ///< The device answered, but not as its module expects.
    NotKept,           ///< The device did not keep some changes (see ConfigureResult).
    NothingFound,      ///< A scan recognized nothing, or a search missed some MACs.
    RecognizerFailed,  ///< Hosts answered, but a module's recognizer failed on them.
    Cancelled,         ///< cancel() ended the work.
    CannotWrite,       ///< A file could not be written.
    Other              ///< Anything else; the log has the steps before it.
};

/// What the user can do about a failure, for a host to word in its own terms (its options or
/// its fields).
enum class Advice {
    None,
    GiveCredentials,          ///< give the right user name and password
    GiveMac,                  ///< give the MAC of the device meant
    LeaveOutNewUser,          ///< the device has no user name: give none
    TryLonger,                ///< try again, with a longer time-out where there is one
    KeyNeedsSecurity,         ///< a key was given without a security mode
    EncryptionNeedsSecurity,  ///< an encryption was given without a security mode
    NothingToChange,          ///< a configure request that changes nothing
    SecurityNeedsKey,         ///< the security mode (detail) needs a key
    ChooseAdapter,            ///< the adapter named is not usable; detail lists those that are
    ChooseModules,            ///< load other modules, or leave a failing one out
    SeeLog                    ///< the log has the steps before the failure
};

/// A module whose recognizer threw, and was skipped, during the work.
struct RecognizerFailure {
    std::string module;  ///< The module library; empty for a recognizer outside the module list.
    int replies = 0;     ///< On how many replies it threw.
    std::string reason;  ///< What it threw.
};

/// A failure of the application layer: its kind, the setting or field concerned, the device's
/// (or module's) own words, and a sentence that names no host's options.
class KRZPAPP_API Error : public std::runtime_error {
  public:
    /// \p message is the sentence (what()).
    Error(ErrorKind kind, const std::string& message, const std::string& field = std::string(),
          Advice advice = Advice::None, const std::string& detail = std::string());
    /// What went wrong.
    ErrorKind kind() const { return kind_; }
    /// The request's field or the setting concerned ("ssid", "key", "newUser", "mac", ...), or
    /// empty.
    const std::string& field() const { return field_; }
    /// What the user can do about it.
    Advice advice() const { return advice_; }
    /// A value the advice needs (the security mode that needs a key, the usable adapters).
    const std::string& detail() const { return detail_; }
    /// What the device or a module said, as it said it (a lockout notice, a rule), or empty.
    std::string deviceWords;
    /// Modules whose recognizers failed, when that is the likelier cause.
    std::vector<RecognizerFailure> recognizerFailures;

  private:
    ErrorKind kind_;
    std::string field_;
    Advice advice_;
    std::string detail_;
};

/// A device, as named by a host: dotted IPv4 or http://HOST[:PORT], a port, and the credentials.
struct DeviceRequest {
    std::string address;                  ///< Dotted IPv4, or http://HOST[:PORT].
    int port = 0;                         ///< 0: the address's, else 80.
    std::string mac;                      ///< The device meant where several share the address.
    std::optional<std::string> user;      ///< Unset: the device's factory user name.
    std::optional<std::string> password;  ///< Unset: the device's factory password.
};

/// A scan's choices.
struct ScanRequest {
    std::vector<std::string> adapters;  ///< Names or addresses; empty: every usable adapter.
};

/// A device (or a host that answered) as the scan lists it.
struct Device {
    std::string address;      ///< Dotted IPv4.
    std::string mac;          ///< As text, or empty.
    std::string macVendor;    ///< The OUI registry's vendor, or empty when unknown.
    std::string vendor;       ///< Empty when not recognized.
    std::string model;        ///< Empty when not recognized.
    std::string firmware;     ///< Empty when the module does not tell.
    std::string description;  ///< "vendor model", for sentences.
    bool recognized = false;  ///< A module knows it.
    bool arpOnly = false;     ///< It answered ARP, but no web server answered.
};

/// What a scan found: every host, in address order; the recognized ones first in meaning.
struct ScanResult {
    std::vector<Device> devices;        ///< Recognized and not, in address order.
    std::vector<std::string> adapters;  ///< The adapters swept.
    int answered = 0;                   ///< Hosts that answered HTTP.
    int recognized = 0;                 ///< Of those, recognized by a module.
    double seconds = 0;                 ///< How long it took.
    bool cancelled = false;             ///< Ended by cancel(): the rest was not scanned.
    bool nothingAnswered = false;       ///< The sweep ended with no host answering.
    std::vector<RecognizerFailure> recognizerFailures;  ///< Modules skipped on the way.
};

/// A device's settings, read from it, with the rules of its fields.
struct Settings {
    Device device;              ///< The device.
    std::string ssid;           ///< The network name.
    std::string security;       ///< none, wep, wpa-psk, wpa2-psk, wpa-wpa2-psk or unknown.
    std::string encryption;     ///< none, wep64, wep128, tkip, aes, tkip-aes or unknown.
    std::string key;            ///< The wireless key (a secret).
    bool usesUsername = false;  ///< Whether the administrator has a user name.
    std::string usernameRule;   ///< The device's words for its user names.
    std::string passwordRule;   ///< ... for its passwords.
    std::string ssidRule;       ///< ... for its network names.
    int minUsername = 0;        ///< Shortest user name.
    int maxUsername = 0;        ///< Longest user name.
    int minPassword = 0;        ///< Shortest password.
    int maxPassword = 0;        ///< Longest password.
};

/// The changes asked of a device; an unset field stays as the device holds it.
struct ConfigureRequest {
    std::optional<std::string> ssid;         ///< A new network name.
    std::optional<std::string> security;     ///< A new security mode (by name, as in Settings).
    std::optional<std::string> encryption;   ///< Its encryption; unset: the mode's usual one.
    std::optional<std::string> key;          ///< The mode's key.
    std::optional<std::string> newUser;      ///< A new administrator user name.
    std::optional<std::string> newPassword;  ///< A new administrator password.
};

/// One change as asked, and whether the device holds it when read back.
struct Change {
    std::string setting;     ///< ssid, security, encryption, key, username or password.
    std::string value;       ///< The value asked (a secret for key and password).
    bool secret = false;     ///< Whether value is a key or password.
    bool confirmed = false;  ///< The device holds it now (read back, or a login that works).
};

/// What configure did: the device as read back afterwards, and each change with its
/// confirmation.
struct KRZPAPP_API ConfigureResult {
    Settings device;              ///< Read back after the change, with the new credentials.
    std::vector<Change> changes;  ///< In the order asked.
    /// The settings the device did not keep, comma-separated; empty when it kept them all.
    std::string notKept() const;
};

/// One MAC asked for, and where it answered.
struct Sighting {
    std::string mac;      ///< As asked, in the library's spelling.
    bool found = false;   ///< Something answered for it.
    std::string address;  ///< Dotted IPv4 when found.
};

/// A wireless network as a scan of the air shows it, for the factory-defaults verdict.
struct DefaultsRequest {
    std::string ssid;      ///< At most 32 bytes.
    std::string bssid;     ///< The access point's MAC.
    int channel = 0;       ///< 0 unknown, 1-14, or a 5 GHz channel.
    bool privacy = false;  ///< The beacon's privacy bit.
    std::string rsn;       ///< The RSN information element, or empty.
};

/// The recognizers' verdict on a network.
struct DefaultsVerdict {
    std::string ssid;     ///< The network's name, as asked.
    std::string bssid;    ///< In the library's spelling.
    int verdict = 0;      ///< >0 at factory defaults, <0 changed, 0 no opinion.
    std::string meaning;  ///< The verdict in words.
};

/// What record does: crawl the device's pages into a recording, within bounds.
struct RecordRequest {
    DeviceRequest device;                ///< The device, and the credentials to log in.
    std::vector<std::string> tryChange;  ///< FIELD=VALUE, all in one form: posted and restored.
    bool keepSecrets = false;            ///< Keep passwords and keys in the recording.
    bool anonymize = false;              ///< Replace MACs, serial numbers and the like.
    int maxPages = 100;                  ///< Pages at most.
    int maxDepth = 4;                    ///< Links followed from the start page, at most.
    int maxKiB = 32768;                  ///< KiB of replies at most.
    int maxSeconds = 120;                ///< Seconds in all, at most.
    int timeout = 10;                    ///< Seconds for one reply.
    /// Instead of crawling, record what the loaded module that recognizes the device sends: its
    /// login and reads, and with tryChange (ssid=, security=, encryption=, key=) its change and
    /// the change back (for a description: its own steps).
    bool byModule = false;
};

/// What record wrote.
struct RecordResult {
    std::string recording;     ///< The recording as JSON text (what a file holds).
    size_t exchanges = 0;      ///< Requests recorded.
    int pages = 0;             ///< Pages among them.
    bool complete = false;     ///< Ended within its bounds, not cut off.
    bool secretsKept = false;  ///< Passwords and keys were kept, as asked.
    bool anonymized = false;   ///< MACs, serial numbers and the like were replaced.
    /// Why it stopped early (the recording still holds what was seen), or null.
    std::shared_ptr<const Error> stopped;
};

/// What record --from-har does: the exchanges a browser saved (a HAR file) as a recording.
struct HarRequest {
    std::string har;           ///< The HAR file's text.
    std::string address;       ///< The device's host; empty for the one most requests went to.
    std::string password;      ///< The administrator's, when known (else found in what was posted).
    bool keepSecrets = false;  ///< Keep passwords, keys, cookies and tokens in the recording.
};

/// The recording made from a HAR, and what the HAR lacked.
struct HarResult {
    std::string recording;  ///< The recording as JSON text.
    size_t exchanges = 0;   ///< Requests to the device kept.
    std::string host;       ///< The device's host, as the HAR named it.
    std::string login;      ///< How the browser logged in: none, basic, form, or scripted (a page's
                            ///< script sent the password, as typed or transformed).
    std::vector<std::string> otherHosts;  ///< Left out.
    std::vector<std::string> notes;       ///< What the HAR lost, by entry, and what that costs.
    bool sanitized = false;               ///< Saved without cookies and Authorization.
};

/// A draft description from a recording.
struct DescribeResult {
    std::string description;  ///< The draft, as JSON text (two-space indented).
    size_t guesses = 0;       ///< Guesses to check, under "draft".
    size_t gaps = 0;          ///< Gaps to fill, under "draft".
};

/// What a host hears while the work runs. Called on the thread that runs the work; keep it short.
class KRZPAPP_API Observer {
  public:
    virtual ~Observer();
    /// The work moved on to a step ("logging in", "writing the changes", ...).
    virtual void step(const std::string& what);
    /// The scan heard from a host (recognized or not).
    virtual void found(const Device& device);
    /// The recorder asks for \p target, with \p pages pages and \p bytes bytes recorded so far.
    virtual void recorded(const std::string& target, int pages, long long bytes);
};

/// The application layer for one host.
///
/// - In: the requests above; the library set up as the host wants it (log, settings) and, for
///   every operation but describe, the modules loaded (KRZPAPModule::loadModuleDlls).
/// - Out: the results above; failures as krzpapp::Error (nothing else is thrown on purpose).
/// - Threads: one operation at a time per object, on the caller's thread; cancel() from any thread
///   at any time ends it (a cancel that comes before the operation starts ends it at once) with
///   ErrorKind::Cancelled, except scan, which returns what it found with cancelled set. A cancel
///   holds until uncancel().
/// - Safety: configure sends nothing until every rule that needs no device and every rule of
///   the device passes; it reads every change back through a fresh login.
class KRZPAPP_API Application {
  public:
    /// \p observer, when given, must outlive the object.
    explicit Application(Observer* observer = nullptr);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    /// Every host on the usable adapters' networks, with what the modules recognize.
    ScanResult scan(const ScanRequest& request);
    /// The device's settings (after a login that is tested).
    Settings show(const DeviceRequest& device);
    /// Checks, changes, then reads back with the new credentials and compares. A change the
    /// device did not keep is in the result (ConfigureResult::notKept), not thrown.
    ConfigureResult configure(const DeviceRequest& device, const ConfigureRequest& changes);
    /// Makes every later connection to the device's address reach that device, for a host that
    /// then talks to it over a connection of its own: the one with \p device's MAC when given,
    /// else, for an address off every usable adapter's network, the one whose MAC ARP finds
    /// there. Its user and password are not used.
    void reach(const DeviceRequest& device);
    /// Where each MAC answers, in the order asked.
    std::vector<Sighting> find(const std::vector<std::string>& macs);
    /// Whether the network is still at its factory defaults.
    DefaultsVerdict defaults(const DefaultsRequest& request);
    /// Records the device's pages; the result holds what was recorded also when it stopped early.
    RecordResult record(const RecordRequest& request);
    /// The recording as it stands while record runs (from any thread), e.g. to keep it when the
    /// host must end before record does; marked incomplete with \p reason.
    RecordResult recordingSoFar(const std::string& reason);
    /// A draft description from a recording's text; \p source names it in the draft.
    DescribeResult describe(const std::string& recording, const std::string& source);
    /// A HAR file as a recording; throws Error (ErrorKind::BadRequest, field "har") for a file
    /// that is no HAR or passes a bound (100 MB, 10,000 entries).
    static HarResult importHar(const HarRequest& request);

    /// The checks that need no device and no network (each throws Error, ErrorKind::BadRequest,
    /// naming the field); the operations make them first, so that nothing is sent before they
    /// pass. checkDevice also notes the device's port: later connections to the address on
    /// port 80 go to it. checkMacs returns the MACs in the library's spelling.
    static void checkDevice(const DeviceRequest& device);
    /// See checkDevice.
    static void checkConfigure(const ConfigureRequest& changes);
    /// See checkDevice.
    static std::vector<std::string> checkMacs(const std::vector<std::string>& macs);
    /// See checkDevice.
    static void checkDefaults(const DefaultsRequest& request);
    /// See checkDevice.
    static void checkRecord(const RecordRequest& request);
    /// The adapters a scan with \p request sweeps, by name; throws Error (ErrorKind::NoAdapter)
    /// when there is no usable one, or one named is not.
    static std::vector<std::string> adaptersFor(const ScanRequest& request);

    /// From any thread: ends the running operation, and every later one until uncancel().
    void cancel();
    /// Clears the cancel.
    void uncancel();
    /// Whether cancel() was called (and not cleared).
    bool cancelled() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

/// Hands the layer a line the library logs at error level: the description module tells through
/// the log when a device refuses logins for now. A host that filters its log passes those on.
KRZPAPP_API void noteLogLine(const std::wstring& line);

/// The vendor registered for a MAC's OUI in the IEEE registry (as Debian's ieee-data installs
/// it), "(locally administered)" for such addresses, or empty when unknown.
KRZPAPP_API std::string ouiVendor(const std::string& mac);

}  // namespace krzpapp
