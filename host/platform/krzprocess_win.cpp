// The command-line programs' system calls on Windows: console control handlers, console modes,
// the process environment, the module path and a child process whose status becomes ours.
#include "krzprocess.h"

#include <windows.h>

#include <io.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
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
    std::wstring commandLine = quoted(wide(program));
    for (const std::string& a : arguments) {
        commandLine += L" " + quoted(wide(a));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(wide(program).c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return "cannot start " + program + " (Windows error " + std::to_string(GetLastError()) +
               ")";
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

}  // namespace krzprocess
