// Shared pieces of the krzpap command-line host.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace krzpap {

// Exit codes, so that scripts can tell outcomes apart.
enum ExitCode {
    EXIT_OK = 0,
    EXIT_ERROR = 1,          // a failure not covered below
    EXIT_USAGE = 2,          // bad command line or a value that breaks a rule; nothing was sent
    EXIT_NOTHING_FOUND = 3,  // the scan, search or recognition found nothing
    EXIT_LOGIN_FAILED = 4,   // the device refused the credentials
    EXIT_UNREACHABLE = 5,    // nothing answers at the address, or no network to reach it on
    EXIT_CANCELLED = 6       // interrupted (Ctrl-C)
};

// An error that ends the command with a sentence for the user and an exit code.
class CommandError : public std::runtime_error {
  public:
    CommandError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

  private:
    ExitCode code_;
};

struct Globals {
    std::string command;  // the subcommand being run, for the JSON document
    std::string logFile;  // empty: the setting KRZ_LOG_FILE, else krzpap.log in the state folder
    int logLevel = 2;
    std::string network;  // "lab" or "system"; empty: the setting KRZ_NETWORK (default lab)
    std::string lab;      // control address of a running lab; empty: the setting KRZ_LAB
    std::string modules;  // module libraries; empty: the setting KRZ_VORTAN_APMODULE_DLLS
    bool json = false;
    bool quiet = false;
    bool showSecrets = false;
};

// Applies the network choices to the environment and sets up the log and (unless told not to)
// loads the module libraries, as a host does before it uses the library.
void initLibrary(const Globals& globals, bool loadModules = true);
std::string logFilePath(const Globals& globals);
// One clause per module whose recognizer threw since the last call: which module, on how many
// replies, what it threw, and what to do; empty when none did.
std::string failedRecognizers();
// What a module said when the device refused logins for now (a lockout, a captcha), as the
// module logged it, or ""; taken once.
std::string takeLoginNotice();
// The folder where krzpap keeps its log and the built-in lab's state; throws when there is none.
std::string stateFolder();
std::string labStatePath();
// Puts one device of the built-in lab back to its factory settings, or with an empty name the whole
// lab back to its start; throws CommandError when it cannot.
void resetBuiltInLab(const std::string& device);

// The one JSON document every command prints with --json: {"command", "exitCode",
// "interrupted", "result", "error"}; see krzpap-output.schema.json.
void printDocument(const Globals& globals, int exitCode, const nlohmann::json& result,
                   bool interrupted = false, const std::string& error = std::string());
std::string narrow(const std::wstring& text);
// A text the user gave, fit to be echoed on one line of a terminal: control characters (C0, DEL and
// C1) written as \n, \t, \r or \xHH, everything else as it is.
std::string escapeText(const std::string& text);
std::wstring widen(const std::string& text);
// A log entry with the values of passwords, keys, cookies and credentials replaced by ***: what
// krzpap's log keeps below the data-dump level.
std::wstring maskSecrets(const std::wstring& text);
// A secret as output shows it: itself with --show-secrets, else a placeholder (text) or null.
nlohmann::json secretJson(const Globals& globals, const std::string& secret);
std::string secretText(const Globals& globals, const std::string& secret);

// What Ctrl-C does at the moment: each stage of a command installs how to stop it. A cancel that
// arrives between stages reaches the next stage as soon as it installs itself.
class CancelHook {
  public:
    void set(std::function<void()> action) {
        std::lock_guard<std::mutex> lock(mutex_);
        action_ = std::move(action);
        if (fired_ && action_) {
            action_();
        }
    }
    void fire() {
        std::lock_guard<std::mutex> lock(mutex_);
        fired_ = true;
        if (action_) {
            action_();
        }
    }
    bool fired() {
        std::lock_guard<std::mutex> lock(mutex_);
        return fired_;
    }

  private:
    std::mutex mutex_;
    std::function<void()> action_;
    bool fired_ = false;
};

// Runs `work` while Ctrl-C calls `onInterrupt` (the library's cancel). Work that has not ended
// when Ctrl-C comes is not waited for: `report` prints what is known (it must touch no library
// object that the work may still use), the built-in lab's stored state is left whole, and the
// program exits with EXIT_CANCELLED. Returns whether an interrupt arrived.
bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt,
                      const std::function<void()>& report);

// ---- subcommands ----
struct ScanOptions {
    std::vector<std::string> adapters;  // -I: names or addresses; empty: every usable adapter
    bool all = false;                   // also list hosts that answered but were not recognized
};
int runScanCommand(const Globals& globals, const ScanOptions& options);

struct DeviceOptions {
    std::string address;  // dotted IPv4, or http://HOST[:PORT]
    int port = 0;         // --port; 0: the address's, else 80
    std::string mac;      // carry the connections to this device; empty: by ARP where needed
    std::string user;
    std::string password;
    bool haveUser = false;
    bool havePassword = false;
};
int runShowCommand(const Globals& globals, const DeviceOptions& device);

struct ConfigureOptions {
    std::string ssid;
    bool haveSsid = false;
    std::string security;
    std::string encryption;
    std::string key;
    bool haveKey = false;
    std::string newUser;
    bool haveNewUser = false;
    std::string newPassword;
    bool haveNewPassword = false;
};
int runConfigureCommand(const Globals& globals, const DeviceOptions& device,
                        const ConfigureOptions& options);

int runFindCommand(const Globals& globals, const std::vector<std::string>& macs);

struct DefaultsOptions {
    std::string ssid;
    std::string bssid;
    int channel = 0;
    bool privacy = false;
    std::string rsn;
};
int runDefaultsCommand(const Globals& globals, const DefaultsOptions& options);

struct FetchOptions {
    std::string address;
    std::string mac;
    std::string path;
    int port = 80;
    int timeout = 10;
    std::string user;
    std::string password;
    std::vector<std::string> form;
    bool multipart = false;
    bool post = false;
    std::string cookie;
};
int runFetchCommand(const Globals& globals, FetchOptions options);

struct FormsOptions {
    std::string file = "-";
    bool scripts = false;
    bool asBrowser = false;  // the fields a browser submits, with their control types
    std::string submit;      // with asBrowser: the name of the submit button pressed; empty: none
};
int runFormsCommand(const Globals& globals, const FormsOptions& options);

struct RecordOptions {
    std::string address;  // dotted IPv4, or http://HOST[:PORT]
    int port = 0;         // --port; 0: the address's, else 80
    std::string mac;
    std::string user;
    std::string password;
    bool haveUser = false;
    bool havePassword = false;
    std::string output;
    std::vector<std::string> tryChange;  // FIELD=VALUE, all in one form
    bool keepSecrets = false;
    bool anonymize = false;
    int maxPages = 100;
    int maxDepth = 4;
    int maxKiB = 32768;
    int maxSeconds = 120;
    int timeout = 10;  // seconds for one reply
};
int runRecordCommand(const Globals& globals, const RecordOptions& options);

struct DescribeOptions {
    std::string recording;
    std::string output;  // empty or "-": standard output
};
int runDescribeCommand(const Globals& globals, const DescribeOptions& options);

int runLabCommand(const Globals& globals, const std::vector<std::string>& arguments);

// The vendor registered for a MAC address's OUI in the IEEE registry, "locally administered" for
// such addresses, or empty when unknown.
std::string ouiVendor(const std::string& mac);

}  // namespace krzpap
