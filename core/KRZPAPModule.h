/// \file
/// A plug-in module's object and, through static members, the process-wide registry of modules and
/// default device addresses, the loader of the module libraries, and the library's one log.
#pragma once

#include "core/KRZPAPCException.h"
#include "krzcompat/krzexport.h"
#include "krzutil/KRZLogLevel.h"
#include "krzutil/KRZLoggingUtil.h"
#include "krzutil/KRZMacAddress.h"

#include <boost/shared_ptr.hpp>

#include <cstdarg>
#include <string>
#include <vector>

class KRZPAPConfigurator;

/// A module: one plug-in library's factory of configurators, and through static members the
/// host's entry to modules and the log.
///
/// - Hosts: setLogFile and setLogLevel (optional, first), then loadModuleDlls, before any scan
///   or configurator runs on another thread. Without modules a scan recognizes nothing.
/// - Modules: a module library registers itself while it loads, from the constructors of
///   objects with static lifetime: registerModule(this), registerDefaultIp, and the
///   registrations of KRZPHttpScanner, KRZPAPScanner and KRZPDefaultsRecognizer. The library
///   looks up no entry point.
/// - Ownership: the registry keeps the plain pointer and never deletes a module: a module object
///   must live as long as the process. Loaded libraries are never released. The log object is
///   shared (getLogFile); a log replaced by setLogFile lives on in the copies handed out.
/// - Threads: the registries and the log pointer take no lock: loading and setLogFile complete
///   before other threads use the library; afterwards they are only read. Writing to the log
///   from several threads is safe.
/// - Throws: loadModuleDlls throws KRZPAPCException code 5; createConf passes on what a module
///   throws. The log calls never throw for want of a log: before setLogFile they do nothing.
class KRZPAP_API KRZPAPModule {
  public:
    /// Registers nothing: call registerModule(this) from a subclass's constructor.
    KRZPAPModule();
    /// Trivial: modules have no state of their own here.
    KRZPAPModule(const KRZPAPModule& other);
    /// Trivial: modules have no state of their own here.
    KRZPAPModule& operator=(const KRZPAPModule& other);

    // ---- virtual slots, in order (supplied by the plug-in) ----
    /// Never called by the library: modules are not deleted.
    virtual ~KRZPAPModule();  // 0
    /// Called once at registration with "1.0", the version of the module interface.
    virtual void setLibraryVersion(const std::string& version) = 0;  // 1
    /// The module's name, for the registration's log line.
    virtual std::string& getName() = 0;  // 2
    /// The module's version, for the registration's log line.
    virtual std::string& getVersion() = 0;  // 3
    /// A configurator for the device described by two identifying texts (UTF-8; by convention
    /// this module's getVendorName and getModelName), its MAC addresses and credentials, without
    /// an address yet; null when this module does not handle it. Called by createConf, on the
    /// host's thread.
    virtual boost::shared_ptr<KRZPAPConfigurator> _createConf(
        const std::string& first, const std::string& second, std::vector<KRZMacAddress> macs,
        const std::string& username, const std::string& password) = 0;  // 4

    // ---- registry ----
    /// The modules' factory addresses (network byte order), in order of first registration,
    /// without duplicates; every scan probes them.
    static std::vector<unsigned long> getDefaultIps();
    /// Asks the modules in registration order; the first non-null configurator wins; null when
    /// none does. For a host that remembers devices by name: the library never calls it.
    static boost::shared_ptr<KRZPAPConfigurator> createConf(const std::wstring& first,
                                                            const std::wstring& second,
                                                            std::vector<KRZMacAddress> macs,
                                                            const std::wstring& username,
                                                            const std::wstring& password);
    /// Loads the libraries named in the setting KRZ_VORTAN_APMODULE_DLLS, ';'-separated, in order
    /// (default "krzpapmodulesu.dll"; on Linux "x.dll" is looked for as libx.so beside the
    /// library, beside the program, then on the loader's path). At the first that does not load:
    /// logs "Error \<n\> loading AP module DLL \<name\>" and throws KRZPAPCException code 5 with
    /// the loader's error number; those loaded before stay. Calling it again loads nothing twice.
    static void loadModuleDlls();
    /// After loadModuleDlls threw: "\<library name\>: \<the loader's reason\>" for the library that
    /// did not load (the reason as the system's loader words it). Empty when the last call loaded
    /// them all. For a host that has no log set up.
    static std::wstring getModuleLoadFailure();

    // ---- log ----
    /// Starts a new log object writing to \p path, keeping \p filesToKeep rotated files. A level
    /// set before is forgotten: call setLogLevel after.
    static void setLogFile(const std::wstring& path, int filesToKeep);
    /// Lines above \p level are dropped (default KRZ_LOG_TRACE). Does nothing before setLogFile.
    static void setLogLevel(_KRZLogLevel level);
    /// The log object; null before setLogFile.
    static boost::shared_ptr<KRZLoggingUtil> getLogFile();
    /// Writes \p text at \p level.
    /// Note: log(L"text", level) is ambiguous between the first two forms; pass a std::wstring.
    static void log(const std::wstring& text, _KRZLogLevel level);
    /// Wide printf format (\%hs a narrow string, \%s a wide one), written at level 2.
    static void log(const wchar_t* format, ...);  // level 2
    /// Wide printf format, written at \p level.
    static void log(_KRZLogLevel level, const wchar_t* format, ...);
    /// The worker behind the variadic forms.
    static void _log(const wchar_t* format, va_list args, _KRZLogLevel level);

  protected:
    /// From a module's constructor while its library loads: logs the name and version, calls
    /// setLibraryVersion("1.0"), and keeps the pointer (never deleted; no check for a repeat).
    static void registerModule(KRZPAPModule* module);
    /// From module code while its library loads: a factory address of the module's devices
    /// (network byte order), probed in every scan.
    static void registerDefaultIp(unsigned long address);  // network byte order
};
