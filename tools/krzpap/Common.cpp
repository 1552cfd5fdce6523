// Set-up shared by the subcommands: environment, log, modules, JSON, Ctrl-C, the OUI registry.
#include "Cli.h"

#include "core/KRZPAPModule.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZException.h"
#include "krzutil/KRZMiscUtil.h"
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

std::string logFilePath(const Globals& globals) {
    if (!globals.logFile.empty()) {
        return globals.logFile;
    }
    return narrow(KRZSettings::strGetKrzGuardValue(L"KRZ_LOG_FILE", L"krzpap.log", true));
}

void initLibrary(const Globals& globals, bool loadModules) {
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
    KRZPAPModule::setLogFile(widen(logFilePath(globals)), 5);
    KRZPAPModule::setLogLevel(static_cast<_KRZLogLevel>(globals.logLevel));
    if (!loadModules) {
        return;
    }
    try {
        KRZPAPModule::loadModuleDlls();
    } catch (const KRZException& e) {
        throw CommandError(EXIT_ERROR, "could not load the module libraries (loader error " +
                                           std::to_string(e.getMsError()) + "); see the log " +
                                           logFilePath(globals));
    }
}

void printJson(const nlohmann::json& document) {
    // Device texts need not be UTF-8: replace what is not, rather than fail.
    std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt) {
    return krzprocess::runInterruptible(work, [&] {
        std::cerr << "\nkrzpap: cancelling...\n";
        onInterrupt();
    });
}

namespace {

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
            std::string prefix;
            for (char c : line.substr(0, 8)) {
                if (std::isxdigit(static_cast<unsigned char>(c))) {
                    prefix += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                }
            }
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
    std::string digits;
    for (char c : mac) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
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
