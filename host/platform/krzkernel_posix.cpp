// Kernel, loader, string-resource and time calls with Windows results.
#define KRZ_PLATFORM_IMPLEMENTATION
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"
#include "platform/krzstringtable.h"
// Header-only: the platform layer links nothing above it.
#include "krzutil/KRZTextCoding.h"

#include <dlfcn.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <string>
#include <vector>

namespace {

thread_local DWORD t_lastError = 0;
thread_local std::string t_loaderMessage;

const DWORD kProcNotFound = 127;
const DWORD kResourceNameNotFound = 1814;

// Keeps errno (the socket error) untouched across calls that are not socket calls.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }

  private:
    int saved_;
};

std::string toNarrow(LPCWSTR text) {
    std::string out;
    for (; *text != L'\0'; ++text) {
        krzAppendUtf8(static_cast<uint32_t>(*text), out);
    }
    return out;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string platformFolder() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&LoadLibraryW), &info) != 0 && info.dli_fname != nullptr) {
        char resolved[4096];
        if (realpath(info.dli_fname, resolved) != nullptr) {
            return folderOf(resolved);
        }
        return folderOf(info.dli_fname);
    }
    return std::string();
}

std::string programFolder() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return std::string();
    }
    buffer[n] = '\0';
    return folderOf(buffer);
}

bool endsWithDll(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return tail == ".dll";
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void addCandidate(std::vector<std::string>& list, const std::string& path) {
    for (const std::string& known : list) {
        if (known == path) {
            return;
        }
    }
    list.push_back(path);
}

// The package's private folder beside this library, where an installation keeps the libraries
// that are only ever loaded by name (modules, the lab, the resource strings): out of the loader's
// path, which is for libraries that programs link.
const char* const kPrivateFolder = "/krzpapconfigu";

// Where a Windows library name is looked for: "x.dll" as lib<x>.so beside this library, in its
// private folder, beside the program and on the loader's path, then the name as given.
std::vector<std::string> candidates(const std::string& name) {
    std::vector<std::string> list;
    std::string folder = folderOf(name);
    std::string file = name.substr(name.rfind('/') + 1);
    bool hasFolder = name.find('/') != std::string::npos;
    std::vector<std::string> files;
    if (endsWithDll(file)) {
        files.push_back("lib" + file.substr(0, file.size() - 4) + ".so");
    }
    files.push_back(file);
    for (const std::string& f : files) {
        if (hasFolder) {
            addCandidate(list, folder + "/" + f);
            continue;
        }
        std::string own = platformFolder();
        if (!own.empty()) {
            addCandidate(list, own + "/" + f);
            addCandidate(list, own + kPrivateFolder + "/" + f);
        }
        std::string program = programFolder();
        if (!program.empty()) {
            addCandidate(list, program + "/" + f);
        }
        addCandidate(list, f);
    }
    return list;
}

// The Windows error for a failed dlopen of `path`, 0 when the file simply is not there.
DWORD loadError(const std::string& path, const char* message) {
    std::string text = message != nullptr ? message : "";
    bool bare = path.find('/') == std::string::npos;
    bool missing = bare ? text.find(path + ": cannot open shared object file") != std::string::npos
                        : !fileExists(path);
    if (missing) {
        return 0;
    }
    if (text.find("No such file") != std::string::npos) {
        return ERROR_MOD_NOT_FOUND;  // a library it needs is missing
    }
    if (text.find("undefined symbol") != std::string::npos) {
        return kProcNotFound;
    }
    return ERROR_BAD_EXE_FORMAT;
}

}  // namespace

void Sleep(DWORD milliseconds) {
    ErrnoKeeper keep;
    struct timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD error) {
    t_lastError = error;
}

HMODULE LoadLibraryW(LPCWSTR name) {
    ErrnoKeeper keep;
    if (name == nullptr || *name == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = 0;
    std::vector<std::string> tried = candidates(toNarrow(name));
    for (const std::string& path : tried) {
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) {
            t_loaderMessage.clear();
            return handle;
        }
        const char* message = ::dlerror();
        DWORD e = loadError(path, message);
        if (error == 0 && e != 0) {
            error = e;
            t_loaderMessage = message != nullptr ? message : path;
        }
    }
    if (error == 0) {
        // Nowhere to be found: say where it was looked for.
        t_loaderMessage = "no such file; looked for";
        for (const std::string& path : tried) {
            if (path.find('/') != std::string::npos) {
                t_loaderMessage += " " + path;
            }
        }
        t_loaderMessage += " and on the loader's path";
    }
    SetLastError(error != 0 ? error : ERROR_MOD_NOT_FOUND);
    return nullptr;
}

std::string krzprocess::lastLoaderMessage() {
    return t_loaderMessage;
}

BOOL FreeLibrary(HMODULE module) {
    ErrnoKeeper keep;
    if (module == nullptr || ::dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

void* GetProcAddress(HMODULE module, const char* name) {
    ErrnoKeeper keep;
    if (module == nullptr || name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ::dlerror();
    void* symbol = ::dlsym(module, name);
    if (symbol == nullptr) {
        SetLastError(kProcNotFound);
    }
    return symbol;
}

int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int bufferMax) {
    ErrnoKeeper keep;
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // No module: the program itself, as Windows reads the executable's resources.
    void* program = module == nullptr ? ::dlopen(nullptr, RTLD_NOW) : nullptr;
    void* handle = module != nullptr ? module : program;
    const KRZStringTableEntry* table =
        handle != nullptr
            ? static_cast<const KRZStringTableEntry*>(::dlsym(handle, KRZ_STRING_TABLE_SYMBOL))
            : nullptr;
    const wchar_t* text = nullptr;
    for (const KRZStringTableEntry* e = table; e != nullptr && e->text != nullptr; ++e) {
        if (e->id == id) {
            text = e->text;
            break;
        }
    }
    if (program != nullptr) {
        ::dlclose(program);  // the program stays loaded: its strings stay valid
    }
    if (text == nullptr || *text == L'\0') {
        if (bufferMax > 0) {
            buffer[0] = L'\0';
        }
        SetLastError(kResourceNameNotFound);
        return 0;
    }
    size_t length = std::wcslen(text);
    if (bufferMax == 0) {
        // As on Windows: a read-only pointer to the string itself.
        *reinterpret_cast<const wchar_t**>(buffer) = text;
        return static_cast<int>(length);
    }
    if (bufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = length < static_cast<size_t>(bufferMax - 1) ? length : bufferMax - 1;
    std::memcpy(buffer, text, count * sizeof(wchar_t));
    buffer[count] = L'\0';
    return static_cast<int>(count);
}

__time64_t _time64(__time64_t* out) {
    __time64_t now = static_cast<__time64_t>(::time(nullptr));
    if (out != nullptr) {
        *out = now;
    }
    return now;
}

void _ftime64(struct __timeb64* out) {
    ErrnoKeeper keep;
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    out->time = static_cast<__time64_t>(ts.tv_sec);
    out->millitm = static_cast<unsigned short>(ts.tv_nsec / 1000000);
    struct tm local;
    time_t seconds = ts.tv_sec;
    ::localtime_r(&seconds, &local);
    out->timezone = static_cast<short>(-local.tm_gmtoff / 60 + (local.tm_isdst > 0 ? 60 : 0));
    out->dstflag = static_cast<short>(local.tm_isdst > 0 ? 1 : 0);
}

void krz_localtime(int64_t seconds, std::tm* out) {
    time_t t = static_cast<time_t>(seconds);
    ::localtime_r(&t, out);
}
