#include "krzsettings/KRZSettings.h"
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using krztest::scratchPath;

TEST(Loader, DllNameFindsSharedObjectBesideTheLibraries) {
    HMODULE module = LoadLibraryW(L"krztestmoda.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(LoadLibraryW(L"KrzTestModA.DLL"), nullptr);  // file names keep their case
    EXPECT_EQ(LoadLibraryW(L"krztestmoda.DLL"), module);   // the suffix does not
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "krzHostTestAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(GetProcAddress(module, "noSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), 127u);

    wchar_t buffer[4];
    EXPECT_EQ(LoadStringW(module, 7, buffer, 4), 3);
    EXPECT_EQ(std::wstring(buffer), L"sev");  // cut to the buffer with its terminating zero
    EXPECT_EQ(LoadStringW(module, 8, buffer, 4), 0);
    EXPECT_EQ(LoadStringW(module, 9, buffer, 4), 0);
    EXPECT_EQ(FreeLibrary(module), TRUE);
    EXPECT_EQ(FreeLibrary(module), TRUE);
}

TEST(Loader, MissingAndMalformedLibraries) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"krznosuchlibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), 126u);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"krz"), nullptr);  // shorter than any ".dll" suffix
    EXPECT_EQ(GetLastError(), 126u);

    std::string dir = scratchPath("krzload");
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    std::string junk = dir + "/libjunk.so";
    std::ofstream(junk) << "not a library";
    std::wstring name = krztest::widen(dir + "/junk.dll");
    EXPECT_EQ(LoadLibraryW(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), 193u);
    std::filesystem::remove_all(dir);
}

TEST(Loader, ResourceStringsOfTheResourceLibrary) {
    HMODULE res = LoadLibraryW(L"TqvRes.DLL");
    ASSERT_NE(res, nullptr) << GetLastError();
    wchar_t buffer[256];
    for (UINT id = 527; id <= 533; ++id) {
        SCOPED_TRACE(id);
        int n = LoadStringW(res, id, buffer, 256);
        ASSERT_GT(n, 0);
        std::wstring text(buffer, static_cast<size_t>(n));
        size_t first = text.find(L"%s");
        bool takesOne = id <= 529 || id >= 532;
        EXPECT_EQ(first != std::wstring::npos, takesOne);
        if (first != std::wstring::npos) {
            EXPECT_EQ(text.find(L'%', first + 1), std::wstring::npos);
        }
    }
    EXPECT_EQ(LoadStringW(res, 600, buffer, 256), 0);
}

TEST(Settings, EnvironmentThenFileThenDefault) {
    std::string path = scratchPath("krzsettings");
    std::ofstream(path) << "# comment\n\nKRZ_T_FILE=from file\r\n KRZ_T_BOTH = file value\n"
                        << "KRZ_T_EMPTY=\nKRZ_T_UTF=gr\xC3\xBCn\nnot a setting\n";
    krzprocess::setEnvironment("KRZ_SETTINGS_FILE", path);
    krzprocess::setEnvironment("KRZ_T_BOTH", "from env");
    KRZSettings::reload();
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_FILE", L"d", true), L"from file");
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_BOTH", L"d", true), L"from env");
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_EMPTY", L"d", true), L"");
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_UTF", L"d", true), L"gr\u00FCn");
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_NONE", L"default", true), L"default");
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"# comment", L"d", true), L"d");
    krzprocess::unsetEnvironment("KRZ_T_BOTH");
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_BOTH", L"d", true), L" file value");

    std::ofstream(path) << "KRZ_T_FILE=changed\n";
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_FILE", L"d", true), L"from file");
    KRZSettings::reload();
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_FILE", L"d", true), L"changed");

    krzprocess::unsetEnvironment("KRZ_SETTINGS_FILE");
    EXPECT_EQ(KRZSettings::strGetKrzGuardValue(L"KRZ_T_FILE", L"d", true), L"d");
    std::remove(path.c_str());
}

}  // namespace
