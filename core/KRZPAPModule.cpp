#include "core/KRZPAPModule.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPConfigurator.h"
#include "core/KRZPModuleOrigin.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZMiscUtil.h"
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"

#include <algorithm>

namespace {

// Function-local statics: plug-in libraries and other units register during their own static
// initialisation, which may run before this unit's namespace-scope objects would exist.
std::vector<KRZPAPModule*>& moduleList() {
    static std::vector<KRZPAPModule*> list;
    return list;
}

std::vector<unsigned long>& defaultIpList() {
    static std::vector<unsigned long> list;
    return list;
}

// "<name>: <the loader's reason>" of the library that ended the last loadModuleDlls call.
std::wstring& moduleLoadFailure() {
    static std::wstring failure;
    return failure;
}

// Set while loadModuleDlls loads one library: its static constructors register from inside the
// load. Loading completes before other threads use the library, so no lock.
std::wstring& loadingModule() {
    static std::wstring name;
    return name;
}

// Names the library for the registrations its load makes; cleared however the load ends.
class LoadingScope {
  public:
    explicit LoadingScope(const std::wstring& name) { loadingModule() = name; }
    ~LoadingScope() { loadingModule().clear(); }
    LoadingScope(const LoadingScope&) = delete;
    LoadingScope& operator=(const LoadingScope&) = delete;
};

boost::shared_ptr<KRZLoggingUtil>& logFile() {
    static boost::shared_ptr<KRZLoggingUtil> file;
    return file;
}

// Built while this library loads, before any other unit or plug-in can register or log, so
// that they are also destroyed after every object that might still log while the process ends.
const bool registryBuilt = (moduleList(), defaultIpList(), loadingModule(), logFile(), true);

const wchar_t* const kModuleListSetting = L"KRZ_VORTAN_APMODULE_DLLS";
const wchar_t* const kDefaultModuleList = L"krzpapmodulesu.dll";

// The pieces of a ';'-separated list in order. Empty pieces (a trailing ';', ";;") are dropped:
// they name no library, and asking the loader for "" would only fail the whole load.
std::vector<std::wstring> splitModuleList(const std::wstring& value) {
    std::vector<std::wstring> pieces;
    std::wstring::size_type start = 0;
    for (;;) {
        std::wstring::size_type end = value.find(L';', start);
        std::wstring piece = value.substr(start, end == std::wstring::npos ? end : end - start);
        if (!piece.empty()) {
            pieces.push_back(piece);
        }
        if (end == std::wstring::npos) {
            return pieces;
        }
        start = end + 1;
    }
}

}  // namespace

const std::wstring& krzpmoduleorigin::loading() {
    return loadingModule();
}

KRZPAPModule::KRZPAPModule() = default;
KRZPAPModule::KRZPAPModule(const KRZPAPModule&) = default;
KRZPAPModule& KRZPAPModule::operator=(const KRZPAPModule&) = default;
KRZPAPModule::~KRZPAPModule() = default;

void KRZPAPModule::registerModule(KRZPAPModule* module) {
    log(L"Registering module %hs version %hs\n", module->getName().c_str(),
        module->getVersion().c_str());
    module->setLibraryVersion("1.0");
    moduleList().push_back(module);
}

void KRZPAPModule::registerDefaultIp(unsigned long address) {
    in_addr dotted;
    dotted.s_addr = static_cast<uint32_t>(address);
    log(L"KRZPAPModule::registerDefaultIp(): registering default IP %hs\n", inet_ntoa(dotted));
    std::vector<unsigned long>& list = defaultIpList();
    if (std::find(list.begin(), list.end(), address) == list.end()) {
        list.push_back(address);
    }
}

std::vector<unsigned long> KRZPAPModule::getDefaultIps() {
    return defaultIpList();
}

boost::shared_ptr<KRZPAPConfigurator> KRZPAPModule::createConf(const std::wstring& first,
                                                               const std::wstring& second,
                                                               std::vector<KRZMacAddress> macs,
                                                               const std::wstring& username,
                                                               const std::wstring& password) {
    boost::shared_ptr<KRZPAPConfigurator> result;
    const std::vector<KRZPAPModule*>& modules = moduleList();
    for (auto it = modules.begin(); it != modules.end() && !result; ++it) {
        const _KRZConversionErrorPolicy policy = KRZ_CONVERSION_LATIN1_FALLBACK;
        result = (*it)->_createConf(KRZMiscUtil::tstringToUtf8String(first, policy),
                                    KRZMiscUtil::tstringToUtf8String(second, policy), macs,
                                    KRZMiscUtil::tstringToUtf8String(username, policy),
                                    KRZMiscUtil::tstringToUtf8String(password, policy));
    }
    return result;
}

void KRZPAPModule::loadModuleDlls() {
    const std::wstring setting =
        KRZSettings::strGetKrzGuardValue(kModuleListSetting, kDefaultModuleList, true);
    moduleLoadFailure().clear();
    for (const std::wstring& piece : splitModuleList(setting)) {
        log(L"Loading AP module DLL %s\n", piece.c_str());
        // Never released: the modules registered from it live as long as the process.
        HMODULE loaded = nullptr;
        {
            LoadingScope scope(piece);
            loaded = LoadLibraryW(piece.c_str());
        }
        if (loaded == nullptr) {
            const DWORD error = GetLastError();
            // Kept for a host without a log; the loader's text is the system's own (UTF-8).
            moduleLoadFailure() = piece + L": " +
                                  KRZMiscUtil::utf8StringToTstring(krzprocess::lastLoaderMessage(),
                                                                   KRZ_CONVERSION_REPLACE);
            log(L"Error %d loading AP module DLL %s\n", static_cast<int>(error), piece.c_str());
            KRZPAPCException failure(const_cast<char*>("KRZPAPModule"), __LINE__, "",
                                     KRZPAPC_INTERNAL_ERROR);
            failure.setMsError(error);
            throw failure;
        }
    }
}

std::wstring KRZPAPModule::getModuleLoadFailure() {
    return moduleLoadFailure();
}

void KRZPAPModule::setLogFile(const std::wstring& path, int filesToKeep) {
    boost::shared_ptr<KRZLoggingUtil> file(new KRZLoggingUtil());
    logFile() = file;
    file->setLogFile(path);
    file->setFilesToKeep(filesToKeep);
}

void KRZPAPModule::setLogLevel(_KRZLogLevel level) {
    boost::shared_ptr<KRZLoggingUtil> file = logFile();
    if (file) {
        file->setLogLevel(level);
    }
}

boost::shared_ptr<KRZLoggingUtil> KRZPAPModule::getLogFile() {
    return logFile();
}

void KRZPAPModule::log(const std::wstring& text, _KRZLogLevel level) {
    boost::shared_ptr<KRZLoggingUtil> file = logFile();
    if (file) {
        file->LogStringToFile(true, text, level);
    }
}

void KRZPAPModule::log(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    _log(format, args, KRZ_LOG_TRACE);
    va_end(args);
}

void KRZPAPModule::log(_KRZLogLevel level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    _log(format, args, level);
    va_end(args);
}

void KRZPAPModule::_log(const wchar_t* format, va_list args, _KRZLogLevel level) {
    boost::shared_ptr<KRZLoggingUtil> file = logFile();
    if (file) {
        file->LogToFile(true, format, args, level);
    }
}
