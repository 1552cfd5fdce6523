// What the platform loader's tests look up by name in a test module: a function and a string store.
#include "platform/krzstringtable.h"

extern "C" __attribute__((visibility("default"))) int krzHostTestAnswer() {
    return 42;
}

extern "C" __attribute__((visibility("default"))) const KRZStringTableEntry krzStringTable[] = {
    {7, L"seven"},
    {8, L""},
    {0, nullptr},
};
