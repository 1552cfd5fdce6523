/// \file
/// The library's version, as the headers a host was built with give it and as the library loaded
/// at run time reports it. The two differ when a host built against one release runs with a newer
/// one of the same SONAME.
#pragma once

#include "krzcompat/krzexport.h"

/// The release the headers belong to, MAJOR.MINOR.PATCH: MAJOR, which moves with the SONAME.
#define KRZPAPCONFIGU_VERSION_MAJOR 1
/// MINOR, which moves when the interface grows.
#define KRZPAPCONFIGU_VERSION_MINOR 0
/// PATCH, which moves for a release that only mends.
#define KRZPAPCONFIGU_VERSION_PATCH 0
/// The same release as text, "MAJOR.MINOR.PATCH".
#define KRZPAPCONFIGU_VERSION "1.0.0"
/// The same release as one number that grows with every release (MAJOR * 10000 + MINOR * 100 +
/// PATCH), for `#if KRZPAPCONFIGU_VERSION_NUMBER >= 10100`.
#define KRZPAPCONFIGU_VERSION_NUMBER                                           \
    (KRZPAPCONFIGU_VERSION_MAJOR * 10000 + KRZPAPCONFIGU_VERSION_MINOR * 100 + \
     KRZPAPCONFIGU_VERSION_PATCH)

/// The version of the library that is loaded, which a host compares with the
/// KRZPAPCONFIGU_VERSION_NUMBER it was built with before it relies on a newer release's calls.
class KRZPAP_API KRZPAPVersion {
  public:
    /// "MAJOR.MINOR.PATCH" of the loaded library; the text lives as long as the library.
    static const char* text();
    /// MAJOR * 10000 + MINOR * 100 + PATCH of the loaded library.
    static int number();
};
