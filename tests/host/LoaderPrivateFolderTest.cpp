// The installed layout's private folder of libraries loaded by name (a shared-object layout only:
// on Windows they lie beside the library DLL).
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

// An installation keeps the libraries loaded by name in krzpapconfigu/ beside the platform library;
// a name is found there, and a name found nowhere says that folder was searched.
TEST(Loader, DllNameFindsSharedObjectInThePrivateFolder) {
    std::string platform =
        krzprocess::libraryDirectoryOf(reinterpret_cast<const void*>(&LoadLibraryW));
    if (!platform.empty() && platform.back() == '/') {
        platform.pop_back();
    }
    const std::string privateFolder = platform + "/krzpapconfigu";
    const std::string original = platform + "/libkrztestmoda.so";
    std::filesystem::create_directories(privateFolder);
    const std::string copy = privateFolder + "/libkrztestprivate.so";
    std::filesystem::copy_file(original, copy, std::filesystem::copy_options::overwrite_existing);
    HMODULE module = LoadLibraryW(L"krztestprivate.dll");
    EXPECT_NE(module, nullptr) << krzprocess::lastLoaderMessage();
    if (module != nullptr) {
        auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "krzHostTestAnswer"));
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer(), 42);
        FreeLibrary(module);
    }
    std::filesystem::remove(copy);

    EXPECT_EQ(LoadLibraryW(L"krztestprivate.dll"), nullptr);
    EXPECT_NE(krzprocess::lastLoaderMessage().find(privateFolder + "/libkrztestprivate.so"),
              std::string::npos)
        << krzprocess::lastLoaderMessage();
}

}  // namespace
