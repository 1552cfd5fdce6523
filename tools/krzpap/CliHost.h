// What krzpap does as a host of the library: its global options, the library's set-up (log,
// network, modules), the one JSON document, secrets as output shows them, and Ctrl-C.
#pragma once

#include "CliErrors.h"

#include "app/AppCancel.h"
#include "app/KRZPAppHelpers.h"
#include "app/KRZPTlsTrust.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace krzpap {

using krzpapp::Advice;
using krzpapp::Error;
using krzpapp::ErrorKind;

using krzpapp::describeFailure;
using krzpapp::dotted;
using krzpapp::escapeText;
using krzpapp::narrow;
using krzpapp::splitDeviceUrl;
using krzpapp::takeDeviceAddress;
using krzpapp::TlsTrust;
using krzpapp::widen;

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
// The folder where krzpap keeps its log and the built-in lab's state; throws when there is none.
std::string stateFolder();
std::string labStatePath();
// The user's store of trusted device certificates, and a device's address as https:// text.
std::string trustStorePath();
std::string httpsAddress(const in_addr& address, unsigned short port);
// A device whose certificate differs from the one pinned for it, as the process's last refusal
// met it (the page asks its user about it); taken once.
struct CertificateChange {
    std::string address;  // https://ADDRESS[:PORT], as 'krzpap trust' takes it
    std::string trusted;  // the pinned SHA-256
    std::string shown;    // the one the device shows now
};
std::optional<CertificateChange> takeCertificateChange();
// A certificate pinned by 'krzpap trust': the device as https://ADDRESS:PORT, the fingerprint
// pinned and the one it replaced ("" when none).
struct Trusted {
    std::string shown;
    std::string sha256;
    std::string replaced;
};
// What 'krzpap trust' does: pins the certificate the device at `address` (https://... or an
// address, `port` 0 for 443) shows now, when `expected` is empty or is its fingerprint. Throws
// CommandError when the device shows another one than `expected`, and the library's failure to
// reach it in the layer's words.
Trusted trustDevice(const std::string& address, int port, const std::string& expected = "");
// Puts one device of the built-in lab back to its factory settings, or with an empty name the whole
// lab back to its start; throws CommandError when it cannot.
void resetBuiltInLab(const std::string& device);

// The one JSON document every command prints with --json: {"command", "exitCode",
// "interrupted", "result", "error"}; see krzpap-output.schema.json.
void printDocument(const Globals& globals, int exitCode, const nlohmann::json& result,
                   bool interrupted = false, const std::string& error = std::string());
// A log entry with the values of passwords, keys, cookies and credentials replaced by ***: what
// krzpap's log keeps below the data-dump level.
std::wstring maskSecrets(const std::wstring& text);
// A secret as output shows it: itself with --show-secrets, else a placeholder (text) or null.
nlohmann::json secretJson(const Globals& globals, const std::string& secret);
std::string secretText(const Globals& globals, const std::string& secret);

// Runs `work` while Ctrl-C calls `onInterrupt` (the library's cancel). Work that has not ended
// when Ctrl-C comes is not waited for: `report` prints what is known (it must touch no library
// object that the work may still use), the built-in lab's stored state is left whole, and the
// program exits with EXIT_CANCELLED. Returns whether an interrupt arrived.
bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt,
                      const std::function<void()>& report);

}  // namespace krzpap
