// Set-up shared by the subcommands: environment, log, modules, JSON, Ctrl-C, the OUI registry.
#include "Cli.h"

#include "core/KRZPAPModule.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZException.h"
#include "krzutil/KRZMiscUtil.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>

namespace krzpap {

std::string narrow(const std::wstring& text) {
    return KRZMiscUtil::tstringToUtf8String(text, KRZ_CONVERSION_REPLACE);
}

std::wstring widen(const std::string& text) {
    return KRZMiscUtil::utf8StringToTstring(text, KRZ_CONVERSION_LATIN1_FALLBACK);
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

std::string effectiveSetting(const std::string& given, const char* name) {
    return given.empty() ? krzprocess::environment(name) : given;
}

bool g_embeddedLab = false;

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
        g_embeddedLab = krzprocess::environment("KRZ_LAB_FILE").empty();
        if (g_embeddedLab) {
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
    if (colon == std::string::npos ||
        !krzprocess::tcpConnects(lab.substr(0, colon), port, reason)) {
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
    KRZPAPModule::setLogFile(widen(log), 5);
    KRZPAPModule::setLogLevel(static_cast<_KRZLogLevel>(globals.logLevel));
    checkLab(globals);
    KRZSettings::reload();
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
}

void saveEmbeddedLab() {
    if (!g_embeddedLab) {
        return;
    }
    using SaveFn = bool (*)();
    HMODULE lab = LoadLibraryW(L"krzlab.dll");
    // Through void*: the loader's generic function type is not the export's.
    auto save = lab ? reinterpret_cast<SaveFn>(
                          reinterpret_cast<void*>(GetProcAddress(lab, "krzLabSaveState")))
                    : nullptr;
    if (save != nullptr) {
        save();
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

bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt,
                      const std::function<void()>& report) {
    // Long enough for a library wait that polls its cancel (300 ms passes) to notice it.
    const int graceMs = 350;
    return krzprocess::runInterruptible(
        work,
        [&] {
            std::cerr << "\nkrzpap: cancelling...\n";
            onInterrupt();
        },
        graceMs,
        [&] {
            saveEmbeddedLab();
            report();
        },
        EXIT_CANCELLED);
}

namespace {

// The hexadecimal digits of a text, upper-cased, everything else left out ("00-22-72" -> "002272").
std::string upperHexDigits(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (krzHexDigitValue(c) >= 0) {
            digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return digits;
}

std::map<std::string, std::string> loadOuiRegistry() {
    std::map<std::string, std::string> registry;
    for (const char* path : {"/usr/share/ieee-data/oui.txt", "/usr/share/misc/oui.txt"}) {
        std::ifstream in(path);
        if (!in) {
            continue;
        }
        std::string line;
        while (std::getline(in, line)) {
            // "00-22-72   (hex)\t\tVendor name"
            size_t hex = line.find("(hex)");
            if (hex == std::string::npos || line.size() < 8 || line[2] != '-') {
                continue;
            }
            std::string prefix = upperHexDigits(line.substr(0, 8));
            size_t start = line.find_first_not_of(" \t", hex + 5);
            if (prefix.size() == 6 && start != std::string::npos) {
                std::string vendor = line.substr(start);
                while (!vendor.empty() && std::isspace(static_cast<unsigned char>(vendor.back()))) {
                    vendor.pop_back();
                }
                registry.emplace(prefix, vendor);
            }
        }
        break;
    }
    return registry;
}

}  // namespace

std::string ouiVendor(const std::string& mac) {
    std::string digits = upperHexDigits(mac);
    if (digits.size() < 6) {
        return "";
    }
    int first = std::stoi(digits.substr(0, 2), nullptr, 16);
    if (first & 0x02) {
        return "(locally administered)";
    }
    static const std::map<std::string, std::string> registry = loadOuiRegistry();
    auto it = registry.find(digits.substr(0, 6));
    return it == registry.end() ? "" : it->second;
}

}  // namespace krzpap
