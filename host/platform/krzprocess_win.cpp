// The command-line programs' system calls on Windows: console control handlers, console modes,
// the process environment, the module path and a child process whose status becomes ours.
#include "krzprocess.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

namespace krzprocess {

namespace {

// One handler for the whole process; what it does depends on who is listening.
std::mutex g_mutex;
std::condition_variable g_stopped;
bool g_stopRequested = false;
std::function<void()> g_onInterrupt;
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_watching{false};

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

// The system's words for a Windows error code.
std::string systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring message = n != 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                                message.back() == L'.' || message.back() == L' ')) {
        message.pop_back();
    }
    if (message.empty()) {
        return "Windows error " + std::to_string(code);
    }
    return narrow(message);
}

// Runs on a thread the system starts for the event. Returning TRUE keeps the process alive.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_watching) {
            if (g_interrupted.exchange(true)) {
                std::_Exit(130);  // a second Ctrl-C: the user wants out now
            }
            callback = g_onInterrupt;
        }
        g_stopRequested = true;
    }
    g_stopped.notify_all();
    if (callback) {
        callback();
    }
    return TRUE;
}

void installHandler() {
    static std::once_flag once;
    std::call_once(once, [] { SetConsoleCtrlHandler(onConsoleEvent, TRUE); });
}

}  // namespace

bool runInterruptible(const std::function<void()>& work, const std::function<void()>& onInterrupt) {
    installHandler();
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_onInterrupt = onInterrupt;
        g_interrupted = false;
        g_watching = true;
    }
    struct Stop {
        ~Stop() {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_watching = false;
            g_onInterrupt = nullptr;
        }
    } stop;
    work();
    return g_interrupted;
}

void exitNow(int status) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // No library's detach code runs: threads still at work cannot trip over it.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    std::_Exit(status);
}

void holdStopRequests() {
    installHandler();
}

void waitForStopRequest() {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_stopped.wait(lock, [] { return g_stopRequested; });
}

void requestStop() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stopRequested = true;
    }
    g_stopped.notify_all();
}

bool isTerminal(Stream stream) {
    DWORD which = stream == Stream::in    ? STD_INPUT_HANDLE
                  : stream == Stream::out ? STD_OUTPUT_HANDLE
                                          : STD_ERROR_HANDLE;
    DWORD mode = 0;
    // A console answers GetConsoleMode; a pipe or file does not (a _isatty check would also call a
    // NUL device a terminal).
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

void setEnvironment(const std::string& name, const std::string& value) {
    // Both the system's block (read by GetEnvironmentVariableW) and the run-time's copy
    // (read by getenv).
    SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str());
    _wputenv_s(wide(name).c_str(), wide(value).c_str());
}

void unsetEnvironment(const std::string& name) {
    SetEnvironmentVariableW(wide(name).c_str(), nullptr);
    _wputenv_s(wide(name).c_str(), L"");  // an empty value removes it from the run-time's copy
}

std::string environment(const std::string& name) {
    std::wstring key = wide(name);
    DWORD n = GetEnvironmentVariableW(key.c_str(), nullptr, 0);
    if (n == 0) {
        return std::string();
    }
    std::wstring value(n, L'\0');
    n = GetEnvironmentVariableW(key.c_str(), &value[0], n);
    value.resize(n);
    return narrow(value);
}

namespace {

bool makeFolders(const std::wstring& path, std::string& reason) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != L'\\' && path[at] != L'/') {
            continue;
        }
        std::wstring part = path.substr(0, at);
        if (part.back() == L':') {
            continue;  // a drive
        }
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            reason = narrow(part) + ": " + systemMessage(GetLastError());
            return false;
        }
    }
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = narrow(path) + ": not a folder";
        return false;
    }
    return true;
}

}  // namespace

std::string userStateDirectory(const std::string& program, std::string& reason) {
    // LOCALAPPDATA first, so that a test can point a program elsewhere; else the system's folder.
    std::wstring base = wide(environment("LOCALAPPDATA"));
    if (base.empty()) {
        PWSTR known = nullptr;
        if (SUCCEEDED(
                SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &known))) {
            base = known;
        }
        CoTaskMemFree(known);
    }
    if (base.empty()) {
        reason = "the local application data folder is unknown";
        return std::string();
    }
    // The folder lies in the user's profile, whose permissions already keep other users out;
    // what is created there inherits them.
    std::wstring folder = base + L"\\" + wide(program);
    if (!makeFolders(folder, reason)) {
        return std::string();
    }
    return narrow(folder) + "\\";
}

void restrictNewFilesToOwner() {
    // Nothing to do: files inherit the permissions of their folder, and the state folder lies in
    // the user's own profile.
}

bool canAppendTo(const std::string& path, std::string& reason) {
    HANDLE file =
        CreateFileW(wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = systemMessage(GetLastError());
        return false;
    }
    CloseHandle(file);
    return true;
}

bool tcpConnects(const std::string& host, int port, std::string& reason) {
    // Winsock is already started for the process while this library is loaded (krzkernel_win).
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        reason = "not an IPv4 address and port";
        return false;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        reason = systemMessage(static_cast<DWORD>(WSAGetLastError()));
        return false;
    }
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!ok) {
        reason = systemMessage(static_cast<DWORD>(WSAGetLastError()));
    }
    closesocket(s);
    return ok;
}

bool removeFile(const std::string& path) {
    if (DeleteFileW(wide(path).c_str())) {
        return true;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool writeFileAtomically(const std::string& path, const std::string& content) {
    std::wstring target = wide(path);
    std::wstring temporary = target + L".new" + std::to_wstring(GetCurrentProcessId());
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    size_t written = 0;
    while (written < content.size()) {
        DWORD n = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - written, 1u << 30));
        if (!WriteFile(file, content.data() + written, chunk, &n, nullptr) || n == 0) {
            break;
        }
        written += n;
    }
    bool ok = CloseHandle(file) && written == content.size();
    if (!ok || !MoveFileExW(temporary.c_str(), target.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

bool isFileToRead(const std::string& path, std::string& reason) {
    DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        reason = systemMessage(GetLastError());
        return false;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0)
        return true;
    reason =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) ? "it is a folder" : "it is a device, not a file";
    return false;
}

bool restrictToOwner(const std::string&, std::string&) {
    return true;
}

FileLock::~FileLock() {
    release();
}

bool FileLock::acquire(const std::string& path, int timeoutMs, std::string& reason) {
    release();
    HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = systemMessage(GetLastError());
        return false;
    }
    // Locks of separate handles exclude each other, in one process as across processes.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int pauseMs = 1;
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            break;
        }
        DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline) {
            reason =
                error == ERROR_LOCK_VIOLATION ? "another program holds it" : systemMessage(error);
            CloseHandle(file);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        pauseMs = std::min(pauseMs * 2, 20);
    }
    handle_ = reinterpret_cast<long long>(file);
    return true;
}

void FileLock::release() {
    if (handle_ != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));  // drops the lock
        handle_ = -1;
    }
}

std::string lastLoaderMessage() {
    // The real loader keeps no text of its own: its last error, in the system's words.
    DWORD error = GetLastError();
    return error == 0 ? std::string() : systemMessage(error);
}

std::string executableDirectory() {
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) {
        return std::string();
    }
    path.resize(n);
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string() : narrow(path.substr(0, slash + 1));
}

std::string libraryDirectoryOf(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module)) {
        return std::string();
    }
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) {
        return std::string();
    }
    path.resize(n);
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string() : narrow(path.substr(0, slash + 1));
}

namespace {

// Quotes one argument by the rules CommandLineToArgvW reads back.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

}  // namespace

std::string replaceProcess(const std::string& program, const std::vector<std::string>& arguments) {
    // Windows cannot replace a process: run the program as a child on the same console and end
    // with its status. Ctrl-C reaches both; the child decides what it means.
    std::wstring path = wide(program);
    size_t name = path.find_last_of(L"\\/");
    if (path.find(L'.', name == std::wstring::npos ? 0 : name) == std::wstring::npos) {
        path += L".exe";  // CreateProcessW adds no extension to a program named by path
    }
    std::wstring commandLine = quoted(path);
    for (const std::string& a : arguments) {
        commandLine += L" " + quoted(wide(a));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        DWORD error = GetLastError();
        return "cannot start " + narrow(path) + ": " + systemMessage(error);
    }
    // The child handles Ctrl-C itself; this process only waits for it.
    SetConsoleCtrlHandler(nullptr, TRUE);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::exit(static_cast<int>(status));
}

std::string openWithDesktop(const std::string& path) {
    auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", wide(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32 ? std::string() : "the shell could not open " + path;
}

}  // namespace krzprocess
