// Set-up shared by the subcommands: environment, log, modules, JSON, Ctrl-C, the OUI registry.
#include "CliHost.h"

#include "app/KRZPTlsTrust.h"
#include "core/KRZPAPCException.h"
#include "http/KRZPAPComm.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPHttpScanner.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZException.h"
#include "krzutil/KRZMiscUtil.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <vector>

namespace krzpap {

namespace {

bool wordChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'_' || c == L'-';
}

// Whether a setting's name marks its value as a secret.
bool secretName(std::wstring name) {
    for (wchar_t& c : name)
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    for (const wchar_t* word : {L"pass", L"pwd", L"key", L"psk", L"secret", L"token", L"cookie",
                                L"authorization", L"auth"})
        if (name.find(word) != std::wstring::npos)
            return true;
    return false;
}

}  // namespace

std::wstring maskSecrets(const std::wstring& text) {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        if (!wordChar(text[i])) {
            out += text[i++];
            continue;
        }
        size_t start = i;
        while (i < text.size() && wordChar(text[i]))
            ++i;
        std::wstring name = text.substr(start, i - start);
        out += name;
        // name=value, name="value", name: value, "name": "value"
        size_t j = i;
        if (j < text.size() && (text[j] == L'"' || text[j] == L'\''))
            ++j;
        while (j < text.size() && text[j] == L' ')
            ++j;
        if (j >= text.size() || (text[j] != L'=' && text[j] != L':') || !secretName(name))
            continue;
        ++j;
        while (j < text.size() && text[j] == L' ')
            ++j;
        out += text.substr(i, j - i);
        size_t end = j;
        if (j < text.size() && (text[j] == L'"' || text[j] == L'\'')) {
            end = text.find(text[j], j + 1);
            end = end == std::wstring::npos ? text.size() : end + 1;
            out += text[j];
            out += L"***";
            if (end <= text.size() && end > j + 1 && text[end - 1] == text[j])
                out += text[j];
        } else {
            // A header's value runs to the end of its line; other values end at a separator.
            bool wholeLine = text[i] == L':';
            while (end < text.size() && text[end] != L'\n' && text[end] != L'\r' &&
                   (wholeLine || (text[end] != L' ' && text[end] != L'&' && text[end] != L',' &&
                                  text[end] != L';' && text[end] != L')')))
                ++end;
            if (end > j)
                out += L"***";
        }
        i = end;
    }
    return out;
}

std::string stateFolder() {
    std::string reason;
    std::string folder = krzprocess::userStateDirectory("krzpap", reason);
    if (folder.empty()) {
        throw CommandError(EXIT_ERROR, "krzpap has no folder for its log and lab state (" + reason +
                                           "); set XDG_STATE_HOME or give --log FILE");
    }
    return folder;
}

std::string trustStorePath() {
    return stateFolder() + "tls-trusted.json";
}

std::string httpsAddress(const in_addr& address, unsigned short port) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return std::string("https://") + text + (port == 443 ? "" : ":" + std::to_string(port));
}

namespace {

std::mutex g_changeMutex;
std::optional<CertificateChange> g_change;

// A refusal for another certificate than the pinned one (not a store that cannot be read).
void noteCertificateChange(const std::string& address, const std::string& trusted,
                           const std::string& shown) {
    if (trusted.empty() || trusted == shown)
        return;
    std::lock_guard<std::mutex> lock(g_changeMutex);
    g_change = CertificateChange{address, trusted, shown};
}

// Every HTTPS connection of the library that has no check of its own asks the user's store.
void installCertificateTrust() {
    KRZPAPComm::setHostCertificateCheck(
        [](const in_addr& address, unsigned short port, const std::vector<unsigned char>& der) {
            std::string path;
            try {
                path = trustStorePath();
            } catch (const CommandError& e) {
                throw KRZPAPCException(const_cast<char*>("krzpap"), __LINE__, e.what(),
                                       KRZPAPC_CONNECT_ERROR);
            }
            static std::mutex mutex;
            std::lock_guard<std::mutex> lock(mutex);
            TlsTrust trust(path);
            const std::string key = TlsTrust::keyFor(address, port);
            const std::string shown = httpsAddress(address, port);
            try {
                trust.check(key, shown, der);
            } catch (const KRZPAPCException& e) {
                const std::string pinned = trust.pinned(key);
                noteCertificateChange(shown, pinned, TlsTrust::fingerprint(der));
                if (pinned.empty())
                    throw;  // the store itself failed
                throw KRZPAPCException(
                    const_cast<char*>("krzpap"), __LINE__,
                    krzpapp::narrow(e.getMessage()) + " with 'krzpap trust " + shown + "'",
                    KRZPAPC_CONNECT_ERROR);
            }
        });
}

}  // namespace

std::optional<CertificateChange> takeCertificateChange() {
    std::lock_guard<std::mutex> lock(g_changeMutex);
    std::optional<CertificateChange> taken;
    taken.swap(g_change);
    return taken;
}

std::string labStatePath() {
    return stateFolder() + "lab.json";
}

std::string logFilePath(const Globals& globals) {
    if (!globals.logFile.empty()) {
        return globals.logFile;
    }
    std::string setting = narrow(KRZSettings::strGetKrzGuardValue(L"KRZ_LOG_FILE", L"", true));
    return setting.empty() ? stateFolder() + "krzpap.log" : setting;
}

namespace {

// What the description module tells its user through the log, caught on its way there: a
// description it could not load, and a device that refuses logins for now. The library's
// interface carries no text, so the log is the channel.
std::mutex g_notLoadedMutex;
std::vector<std::string> g_notLoaded;

// The line's text from `at` on, without its line end.
std::string lineFrom(const std::wstring& text, size_t at) {
    std::string what = narrow(text.substr(at));
    while (!what.empty() && (what.back() == '\n' || what.back() == '\r'))
        what.pop_back();
    return what;
}

void noteModuleSentences(const std::wstring& text) {
    static const std::wstring kNotLoaded = L"Description not loaded: ";
    size_t at = text.find(kNotLoaded);
    if (at != std::wstring::npos) {
        std::lock_guard<std::mutex> lock(g_notLoadedMutex);
        g_notLoaded.push_back(lineFrom(text, at + kNotLoaded.size()));
    }
    krzpapp::noteLogLine(text);
}

void reportUnloadedDescriptions() {
    std::lock_guard<std::mutex> lock(g_notLoadedMutex);
    for (const std::string& what : g_notLoaded)
        std::cerr << "krzpap: a description was not loaded, so its devices are not recognized: "
                  << escapeText(what) << "\n";
    g_notLoaded.clear();
}

std::string effectiveSetting(const std::string& given, const char* name) {
    return given.empty() ? krzprocess::environment(name) : given;
}

// The lab backend and, when a running lab is named, that lab must be there: otherwise every
// device would look unreachable and the user would not learn why.
void checkLab(const Globals& globals) {
    std::string network = effectiveSetting(globals.network, "KRZ_NETWORK");
    if (!network.empty() && network != "lab") {
        return;
    }
    if (LoadLibraryW(L"krzlab.dll") == nullptr) {
        throw CommandError(EXIT_ERROR,
                           "the emulated lab is not installed: krzlab.dll could not "
                           "be loaded (" +
                               krzprocess::lastLoaderMessage() +
                               "); reinstall krzpap, or give --network system");
    }
    std::string lab = effectiveSetting(globals.lab, "KRZ_LAB");
    if (lab.empty()) {
        if (krzprocess::environment("KRZ_LAB_FILE").empty()) {
            krzprocess::setEnvironment("KRZ_LAB_STATE", labStatePath());
        }
        return;
    }
    size_t colon = lab.rfind(':');
    std::string reason = "give it as ADDRESS:PORT, as krzpap lab prints it";
    int port = 0;
    if (colon != std::string::npos) {
        port = std::atoi(lab.c_str() + colon + 1);
    }
    unsigned a = 0, b = 0, c = 0, d = 0;
    char end = 0;
    bool wellFormed =
        colon != std::string::npos && port > 0 && port <= 65535 &&
        lab.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
        std::sscanf(lab.substr(0, colon).c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) == 4 &&
        a < 256 && b < 256 && c < 256 && d < 256;
    if (!wellFormed) {
        throw CommandError(EXIT_USAGE, "--lab \"" + escapeText(lab) +
                                           "\" is not a lab's control address; give it as "
                                           "ADDRESS:PORT, as 'krzpap lab' prints it, or leave out "
                                           "--lab and KRZ_LAB to use the built-in lab");
    }
    if (!krzprocess::tcpConnects(lab.substr(0, colon), port, reason)) {
        throw CommandError(EXIT_UNREACHABLE,
                           "no lab answers at " + lab + " (" + reason +
                               "); start one with 'krzpap lab', or leave out --lab and KRZ_LAB "
                               "to use the built-in lab");
    }
}

// The first module library of the setting that does not load, and the loader's reason.
std::string moduleLoadFailure() {
    std::string list = narrow(
        KRZSettings::strGetKrzGuardValue(L"KRZ_VORTAN_APMODULE_DLLS", L"krzpapmodulesu.dll", true));
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        std::string piece = list.substr(start, end == std::string::npos ? end : end - start);
        if (!piece.empty() && LoadLibraryW(widen(piece).c_str()) == nullptr) {
            return piece + ": " + krzprocess::lastLoaderMessage();
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return list;
}

}  // namespace

void initLibrary(const Globals& globals, bool loadModules) {
    // The log and the lab's state hold passwords.
    krzprocess::restrictNewFilesToOwner();
    // The library and the network library read these settings from the environment.
    if (!globals.network.empty()) {
        krzprocess::setEnvironment("KRZ_NETWORK", globals.network);
    }
    if (!globals.lab.empty()) {
        krzprocess::setEnvironment("KRZ_LAB", globals.lab);
    }
    if (!globals.modules.empty()) {
        krzprocess::setEnvironment("KRZ_VORTAN_APMODULE_DLLS", globals.modules);
    }
    KRZSettings::reload();
    std::string log = logFilePath(globals);
    std::string reason;
    if (!krzprocess::canAppendTo(log, reason)) {
        throw CommandError(EXIT_USAGE, "cannot write the log file " + log + " (" + reason +
                                           "); give another with --log FILE");
    }
    if (!krzprocess::restrictToOwner(log, reason)) {
        throw CommandError(EXIT_USAGE, "cannot keep the log file " + log + " from other users (" +
                                           reason +
                                           "); it may hold device addresses and settings, give "
                                           "another with --log FILE");
    }
    KRZPAPModule::setLogFile(widen(log), 5);
    KRZPAPModule::setLogLevel(static_cast<_KRZLogLevel>(globals.logLevel));
    KRZPAPModule::getLogFile()->setTextFilter([](const std::wstring& text, _KRZLogLevel level) {
        if (level == KRZ_LOG_ERROR)
            noteModuleSentences(text);
        return level >= KRZ_LOG_DUMP ? text : maskSecrets(text);
    });
    checkLab(globals);
    KRZSettings::reload();
    installCertificateTrust();
    // Devices that serve HTTPS only, or redirect port 80 to their HTTPS port on the same address,
    // are found and reached: their certificate is pinned on first use by the probe itself.
    KRZPHttpScanner::setHttpsProbe(true);
    if (!loadModules) {
        return;
    }
    try {
        KRZPAPModule::loadModuleDlls();
    } catch (const KRZException&) {
        std::string failure = moduleLoadFailure();
        KRZPAPModule::log(KRZ_LOG_ERROR, L"krzpap: module library %hs\n", failure.c_str());
        throw CommandError(EXIT_ERROR, "could not load the module library " + failure +
                                           "; reinstall krzpap, or name the module libraries "
                                           "with --modules");
    }
    reportUnloadedDescriptions();
}

void resetBuiltInLab(const std::string& device) {
    using ResetFn = bool (*)(const char*, const char*, char*, size_t);
    HMODULE lab = LoadLibraryW(L"krzlab.dll");
    // Through void*: the loader's generic function type is not the export's.
    auto reset = lab ? reinterpret_cast<ResetFn>(
                           reinterpret_cast<void*>(GetProcAddress(lab, "krzLabResetState")))
                     : nullptr;
    if (reset == nullptr) {
        throw CommandError(EXIT_ERROR,
                           "the emulated lab is not installed: krzlab.dll could not "
                           "be loaded (" +
                               krzprocess::lastLoaderMessage() + "); reinstall krzpap");
    }
    char reason[512] = {0};
    if (!reset(labStatePath().c_str(), device.c_str(), reason, sizeof reason)) {
        bool unknown = std::string(reason).find("has no device") != std::string::npos;
        throw CommandError(unknown ? EXIT_USAGE : EXIT_ERROR, reason);
    }
}

void printDocument(const Globals& globals, int exitCode, const nlohmann::json& result,
                   bool interrupted, const std::string& error) {
    nlohmann::json document = {
        {"command",
         globals.command.empty() ? nlohmann::json(nullptr) : nlohmann::json(globals.command)},
        {"exitCode", exitCode},
        {"interrupted", interrupted},
        {"result", result},
        {"error", error.empty() ? nlohmann::json(nullptr) : nlohmann::json({{"message", error}})}};
    // Device texts need not be UTF-8: replace what is not, rather than fail.
    std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
              << std::endl;
}

nlohmann::json secretJson(const Globals& globals, const std::string& secret) {
    return globals.showSecrets ? nlohmann::json(secret) : nlohmann::json(nullptr);
}

std::string secretText(const Globals& globals, const std::string& secret) {
    if (globals.showSecrets) {
        return secret;
    }
    return secret.empty() ? "(none)" : "(hidden; --show-secrets shows it)";
}

namespace {

// How long the exit after Ctrl-C waits for a device request of this process that is storing the
// built-in lab: such a request holds the lock for milliseconds.
const int kLabHoldMs = 150;

// Before the process ends under work that still runs: the built-in lab's stored state is left
// whole, and none of this process's devices stores it after this. Only the lab inside this
// process stores it (KRZ_LAB_STATE is set where krzpap chooses the built-in lab).
void holdBuiltInLab() {
    std::string state = krzprocess::environment("KRZ_LAB_STATE");
    if (state.empty())
        return;
    using HoldFn = bool (*)(const char*, int);
    HMODULE lab = LoadLibraryW(L"krzlab.dll");
    auto hold = lab ? reinterpret_cast<HoldFn>(
                          reinterpret_cast<void*>(GetProcAddress(lab, "krzLabHoldState")))
                    : nullptr;
    if (hold != nullptr)
        hold(state.c_str(), kLabHoldMs);
}

}  // namespace

bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt,
                      const std::function<void()>& report) {
    // Ctrl-C cancels the work and, without waiting for it, reports what is known and ends: the
    // library's waits end at once on their cancel, but an ARP sweep's answer wait runs to its end.
    return krzprocess::runInterruptible(
        work,
        [&] {
            std::cerr << "\nkrzpap: cancelling...\n";
            onInterrupt();
        },
        [&] {
            report();
            holdBuiltInLab();
        },
        EXIT_CANCELLED);
}

}  // namespace krzpap
