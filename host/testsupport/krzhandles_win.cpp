#include "testsupport/krzhandles.h"

#include <windows.h>

namespace krztest {

int openHandleCount() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

}  // namespace krztest
