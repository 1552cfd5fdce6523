#include "testsupport/krzhandles.h"

#include <windows.h>

namespace krztest {

int openHandleCount() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

bool duplicateAt(unsigned int, int) {
    return false;  // Windows chooses handle values itself
}

bool underWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace krztest
