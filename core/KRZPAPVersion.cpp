// The loaded library's version: the macros as this library was built with them.
#include "core/KRZPAPVersion.h"

const char* KRZPAPVersion::text() {
    return KRZPAPCONFIGU_VERSION;
}

int KRZPAPVersion::number() {
    return KRZPAPCONFIGU_VERSION_NUMBER;
}
