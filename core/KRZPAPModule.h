// A plug-in module's object and, through static members, the process-wide registry of modules and
// default device addresses, the loader of the module libraries, and the library's one log.
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

class KRZPAP_API KRZPAPModule {
  public:
    KRZPAPModule();
    KRZPAPModule(const KRZPAPModule& other);
    KRZPAPModule& operator=(const KRZPAPModule& other);

    // ---- virtual slots, in order (supplied by the plug-in) ----
    virtual ~KRZPAPModule();                                         // 0
    virtual void setLibraryVersion(const std::string& version) = 0;  // 1
    virtual std::string& getName() = 0;                              // 2
    virtual std::string& getVersion() = 0;                           // 3
    // A configurator for the described device, or null when this module does not handle it.
    virtual boost::shared_ptr<KRZPAPConfigurator> _createConf(
        const std::string& first, const std::string& second, std::vector<KRZMacAddress> macs,
        const std::string& username, const std::string& password) = 0;  // 4

    // ---- registry ----
    static std::vector<unsigned long> getDefaultIps();
    // Asks the modules in registration order; the first non-null configurator wins.
    static boost::shared_ptr<KRZPAPConfigurator> createConf(const std::wstring& first,
                                                            const std::wstring& second,
                                                            std::vector<KRZMacAddress> macs,
                                                            const std::wstring& username,
                                                            const std::wstring& password);
    // Loads the libraries named in KRZ_VORTAN_APMODULE_DLLS (default "krzpapmodulesu.dll").
    static void loadModuleDlls();
    // After loadModuleDlls threw: "<library name>: <the loader's reason>" for the library that did
    // not load (the reason as the system's loader words it). Empty when the last call loaded them
    // all. For a host that has no log set up.
    static std::wstring getModuleLoadFailure();

    // ---- log ----
    static void setLogFile(const std::wstring& path, int filesToKeep);
    static void setLogLevel(_KRZLogLevel level);
    static boost::shared_ptr<KRZLoggingUtil> getLogFile();
    // Note: log(L"text", level) is ambiguous between the first two forms; pass a std::wstring.
    static void log(const std::wstring& text, _KRZLogLevel level);
    static void log(const wchar_t* format, ...);  // level 2
    static void log(_KRZLogLevel level, const wchar_t* format, ...);
    static void _log(const wchar_t* format, va_list args, _KRZLogLevel level);

  protected:
    // Called by module code while its library loads.
    static void registerModule(KRZPAPModule* module);
    static void registerDefaultIp(unsigned long address);  // network byte order
};
