// Symbol export for the shared libraries. Each library builds with <target>_EXPORTS defined (CMake
// does this for shared targets), so its own classes are exported and everyone else's imported.
#pragma once

#if defined(_WIN32)
#define KRZ_DLL_EXPORT __declspec(dllexport)
#define KRZ_DLL_IMPORT __declspec(dllimport)
#else
#define KRZ_DLL_EXPORT __attribute__((visibility("default")))
#define KRZ_DLL_IMPORT __attribute__((visibility("default")))
#endif

#if defined(krzplatform_EXPORTS)
#define KRZPLATFORM_API KRZ_DLL_EXPORT
#else
#define KRZPLATFORM_API KRZ_DLL_IMPORT
#endif

#if defined(krzutil_EXPORTS)
#define KRZUTIL_API KRZ_DLL_EXPORT
#else
#define KRZUTIL_API KRZ_DLL_IMPORT
#endif

#if defined(krznetlib_EXPORTS)
#define KRZNETLIB_API KRZ_DLL_EXPORT
#else
#define KRZNETLIB_API KRZ_DLL_IMPORT
#endif

#if defined(krzsettings_EXPORTS)
#define KRZSETTINGS_API KRZ_DLL_EXPORT
#else
#define KRZSETTINGS_API KRZ_DLL_IMPORT
#endif

#if defined(krzpapconfigu_EXPORTS)
#define KRZPAP_API KRZ_DLL_EXPORT
#else
#define KRZPAP_API KRZ_DLL_IMPORT
#endif
