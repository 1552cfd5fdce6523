/// \file
/// Symbol export for the shared libraries. Each library builds with \<target\>_EXPORTS defined
/// (CMake does this for shared targets), so its own classes are exported and everyone else's
/// imported. A host or module defines none of these.
#pragma once

#if defined(_WIN32)
/// Marks a class exported from the library being built.
#define KRZ_DLL_EXPORT __declspec(dllexport)
/// Marks a class imported from another library.
#define KRZ_DLL_IMPORT __declspec(dllimport)
#else
/// Marks a class exported from the library being built.
#define KRZ_DLL_EXPORT __attribute__((visibility("default")))
/// Marks a class imported from another library.
#define KRZ_DLL_IMPORT __attribute__((visibility("default")))
#endif

#if defined(krzplatform_EXPORTS)
/// The platform layer's classes.
#define KRZPLATFORM_API KRZ_DLL_EXPORT
#else
/// The platform layer's classes.
#define KRZPLATFORM_API KRZ_DLL_IMPORT
#endif

#if defined(krzutil_EXPORTS)
/// The host utility library's classes.
#define KRZUTIL_API KRZ_DLL_EXPORT
#else
/// The host utility library's classes.
#define KRZUTIL_API KRZ_DLL_IMPORT
#endif

#if defined(krznetlib_EXPORTS)
/// The host network library's classes.
#define KRZNETLIB_API KRZ_DLL_EXPORT
#else
/// The host network library's classes.
#define KRZNETLIB_API KRZ_DLL_IMPORT
#endif

#if defined(krzsettings_EXPORTS)
/// The host settings library's classes.
#define KRZSETTINGS_API KRZ_DLL_EXPORT
#else
/// The host settings library's classes.
#define KRZSETTINGS_API KRZ_DLL_IMPORT
#endif

#if defined(krzpapconfigu_EXPORTS)
/// The library's exported classes.
#define KRZPAP_API KRZ_DLL_EXPORT
#else
/// The library's exported classes.
#define KRZPAP_API KRZ_DLL_IMPORT
#endif
