// Everything the description module contributes, registered while the library loads (as every
// module does): the descriptions in the folders of KRZ_APDESCRIPTION_DIRS, each as a module
// object, an HTTP recognizer, its factory address and a factory-defaults recognizer.
#include "KRZPDescribedFamily.h"

#include "discovery/KRZPHttpScanner.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZMiscUtil.h"
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"

#include <boost/make_shared.hpp>

#include <filesystem>
#include <list>
#include <system_error>

namespace {

const wchar_t* const kFoldersSetting = L"KRZ_APDESCRIPTION_DIRS";

// The installed descriptions, found from this library's own folder as the install lays them out,
// or, where that folder is not there, as the build tree does.
std::string installedFolder() {
    static const int here = 0;
    const std::string folder = krzprocess::libraryDirectoryOf(&here);
    const std::string installed = folder + KRZ_DESCRIPTIONS_FROM_MODULE;
    std::error_code unreadable;
    return std::filesystem::is_directory(installed, unreadable)
               ? installed
               : folder + KRZ_DESCRIPTIONS_FROM_BUILT_MODULE;
}

struct DescriptionRegistration {
    // Module objects are never released: they live as long as the loaded library.
    std::list<KRZPDescribedModule> modules;

    DescriptionRegistration() {
        std::wstring setting = KRZSettings::strGetKrzGuardValue(
            kFoldersSetting,
            KRZMiscUtil::utf8StringToTstring(installedFolder(), KRZ_CONVERSION_REPLACE), true);
        std::vector<std::string> folders = krzdesc::splitFolders(
            KRZMiscUtil::tstringToUtf8String(setting, KRZ_CONVERSION_LATIN1_FALLBACK));
        auto report = [](const std::string& problem) {
            KRZPAPModule::log(KRZ_LOG_ERROR, L"Description not loaded: %hs\n", problem.c_str());
        };
        for (const auto& description : krzdesc::loadDescriptions(folders, report)) {
            KRZPAPModule::log(L"Loaded description %hs (%hs)\n", description->file.c_str(),
                              description->vendor.c_str());
            modules.emplace_back(description);
            modules.back().enroll();
            KRZPHttpScanner::registerHttpRecognizer(
                boost::make_shared<KRZPDescribedRecognizer>(description), description->priority);
            if (!description->factorySsid.empty()) {
                KRZPDefaultsRecognizer::registerDefaultsRecognizer(
                    boost::make_shared<KRZPDescribedDefaults>(description->factorySsid));
            }
        }
    }
};

DescriptionRegistration registration;

}  // namespace
