// A small library for the loader tests: a function to find and a string store to read.
#include "platform/krzstringtable.h"

extern "C" __attribute__((visibility("default"))) int krzHostTestAnswer() {
    return 42;
}

extern "C" __attribute__((visibility("default"))) const KRZStringTableEntry krzStringTable[] = {
    {7, L"seven"},
    {8, L""},
    {0, nullptr},
};
