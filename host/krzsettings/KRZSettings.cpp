#include "krzsettings/KRZSettings.h"

#include "krzutil/KRZMiscUtil.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace {

struct SettingsFile {
    std::mutex mutex;
    bool loaded = false;
    std::string path;
    std::map<std::string, std::string> values;
};

SettingsFile& settingsFile() {
    static SettingsFile file;
    return file;
}

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return std::string();
    }
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// NAME=value lines; the name is trimmed, the value kept as written (a later line wins).
std::map<std::string, std::string> readFile(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string trimmed = trim(line);
        if (trimmed.empty() || trimmed[0] == '#') {
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string name = trim(line.substr(0, eq));
        if (!name.empty()) {
            values[name] = line.substr(eq + 1);
        }
    }
    return values;
}

bool fileValue(const std::string& name, std::string& value) {
    const char* path = std::getenv("KRZ_SETTINGS_FILE");
    if (path == nullptr || *path == '\0') {
        return false;
    }
    SettingsFile& file = settingsFile();
    std::lock_guard<std::mutex> lock(file.mutex);
    if (!file.loaded || file.path != path) {
        file.path = path;
        file.values = readFile(path);
        file.loaded = true;
    }
    auto it = file.values.find(name);
    if (it == file.values.end()) {
        return false;
    }
    value = it->second;
    return true;
}

}  // namespace

std::wstring KRZSettings::strGetKrzGuardValue(const std::wstring& name,
                                              const std::wstring& defaultValue, bool) {
    // Reading the file must not disturb the caller's pending socket error.
    int savedErrno = errno;
    std::wstring result = defaultValue;
    std::string narrowName = KRZMiscUtil::tstringToUtf8String(name, KRZ_CONVERSION_REPLACE);
    std::string value;
    if (const char* env = std::getenv(narrowName.c_str())) {
        result = KRZMiscUtil::utf8StringToTstring(env, KRZ_CONVERSION_LATIN1_FALLBACK);
    } else if (fileValue(narrowName, value)) {
        result = KRZMiscUtil::utf8StringToTstring(value, KRZ_CONVERSION_LATIN1_FALLBACK);
    }
    errno = savedErrno;
    return result;
}

void KRZSettings::reload() {
    SettingsFile& file = settingsFile();
    std::lock_guard<std::mutex> lock(file.mutex);
    file.loaded = false;
    file.values.clear();
}
