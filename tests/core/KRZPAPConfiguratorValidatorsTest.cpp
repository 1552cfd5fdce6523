#include "CoreTestSupport.h"

#include "krzutil/KRZMiscUtil.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

using krztest::FakeConfigurator;
using krztest::thrownBy;
using krztest::widen;

namespace {

// The punctuation of 0x21..0x7E without the colon, as the descriptions name it.
const char kSymbols[] = "!\"#$%&'()*+,-./;<=>?@[\\]^_`{|}~";

// A configurator with given character sets and ready-made text numbers; counts set fetches.
class CharsConfigurator : public FakeConfigurator {
  public:
    std::string userChars;
    std::string passwordChars;
    std::string ssidChars;
    unsigned int userText = 0;
    mutable int fetches = 0;

  private:
    std::string getValidUsernameChars() const override {
        ++fetches;
        return userChars;
    }
    std::string getValidPasswordChars() const override {
        ++fetches;
        return passwordChars;
    }
    std::string getValidSsidChars() const override {
        ++fetches;
        return ssidChars;
    }
    unsigned int _getUsernameRequirementsDescription() const override { return userText; }
};

std::wstring resource(unsigned int id) {
    HMODULE module = LoadLibraryW(L"TqvRes.DLL");
    if (module == nullptr) {
        return std::wstring();
    }
    wchar_t buffer[256] = {};
    LoadStringW(module, id, buffer, 256);
    return buffer;
}

std::wstring fill(unsigned int frame, const std::wstring& text) {
    return KRZMiscUtil::formatString(resource(frame).c_str(), text.c_str());
}

std::string without(const std::string& chars, const std::string& removed) {
    std::string result;
    for (char c : chars) {
        if (removed.find(c) == std::string::npos) {
            result.push_back(c);
        }
    }
    return result;
}

TEST(KRZPAPConfiguratorValidators, UsernameAndPasswordCheckCharactersBeforeInclusiveLengths) {
    FakeConfigurator conf;
    // Base limits 0..0: only the empty name passes; a colon is reported before the length.
    EXPECT_EQ(KRZP_SV_OK, conf.validateUsername(""));
    EXPECT_EQ(KRZP_SV_TOO_LONG, conf.validateUsername("a"));
    EXPECT_EQ(KRZP_SV_BAD_CHARS, conf.validateUsername("a:b"));

    conf.minUser = 2;
    conf.maxUser = 4;
    conf.minPassword = 2;
    conf.maxPassword = 4;
    for (auto validate :
         {&KRZPAPConfigurator::validateUsername, &KRZPAPConfigurator::validatePassword}) {
        EXPECT_EQ(KRZP_SV_TOO_SHORT, (conf.*validate)("a"));
        EXPECT_EQ(KRZP_SV_OK, (conf.*validate)("ab"));
        EXPECT_EQ(KRZP_SV_OK, (conf.*validate)("a~!d"));
        EXPECT_EQ(KRZP_SV_TOO_LONG, (conf.*validate)("abcde"));
        EXPECT_EQ(KRZP_SV_BAD_CHARS, (conf.*validate)("a b"));
        EXPECT_EQ(KRZP_SV_BAD_CHARS, (conf.*validate)("ab cdefgh"));
        EXPECT_EQ(KRZP_SV_TOO_SHORT, (conf.*validate)(""));
    }

    // The default set is exactly 0x21..0x7E without the colon.
    conf.minUser = 1;
    conf.maxUser = 1;
    for (int c = 1; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const bool valid = c >= 0x21 && c <= 0x7E && ch != ':';
        EXPECT_EQ(valid ? KRZP_SV_OK : KRZP_SV_BAD_CHARS, conf.validateUsername(std::string(1, ch)))
            << "byte " << c;
    }
}

TEST(KRZPAPConfiguratorValidators, RestrictiveSets) {
    FakeConfigurator conf;
    std::string printable;
    for (char c = '!'; c <= '~'; ++c) {
        printable.push_back(c);
    }
    EXPECT_EQ("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz",
              conf.getValidUsernameCharsRestrictive());
    EXPECT_EQ(without(printable, "\"%&:<>\\"), conf.getValidPasswordCharsRestrictive());
    EXPECT_EQ(87u, conf.getValidPasswordCharsRestrictive().size());
    EXPECT_EQ(" " + without(printable, "\"%&'<>\\"), conf.getValidSsidCharsRestrictive());
    EXPECT_EQ(88u, conf.getValidSsidCharsRestrictive().size());
}

TEST(KRZPAPConfiguratorValidators, SsidSetIsTakenOnceForTheProcess) {
    krztest::inFreshProcess([] {
        FakeConfigurator first;
        EXPECT_EQ(KRZP_SV_TOO_SHORT, first.validateSsid(""));
        EXPECT_EQ(KRZP_SV_OK, first.validateSsid("my net: 5G"));
        EXPECT_EQ(KRZP_SV_OK, first.validateSsid(std::string(32, '~')));
        EXPECT_EQ(KRZP_SV_TOO_LONG, first.validateSsid(std::string(33, 'a')));
        EXPECT_EQ(KRZP_SV_TOO_LONG, first.validateSsid(std::string(32, 'a') + "\x01"));
        EXPECT_EQ(KRZP_SV_BAD_CHARS, first.validateSsid("tab\there"));
        EXPECT_EQ(KRZP_SV_BAD_CHARS, first.validateSsid("caf\xC3\xA9"));

        // A later configurator with other rules is judged by the set kept from the first.
        CharsConfigurator second;
        second.ssidChars = "abc";
        EXPECT_EQ(KRZP_SV_OK, second.validateSsid("xyz \"quoted\""));
        EXPECT_EQ(0, second.fetches);
    });
    krztest::inFreshProcess([] {
        CharsConfigurator first;
        first.ssidChars = "abc";
        EXPECT_EQ(KRZP_SV_BAD_CHARS, first.validateSsid("abcd"));
        EXPECT_EQ(KRZP_SV_OK, first.validateSsid("cab"));
        FakeConfigurator second;
        EXPECT_EQ(KRZP_SV_BAD_CHARS, second.validateSsid("d"));
        EXPECT_EQ(1, first.fetches);
    });
}

TEST(KRZPAPConfiguratorValidators, RequirementDescriptionsFromResourceStrings) {
    ASSERT_NE(L"", resource(527)) << "the resource library TqvRes is missing";
    FakeConfigurator conf;
    EXPECT_EQ(fill(527, fill(532, widen(kSymbols))), conf.getUsernameRequirementsDescription());
    EXPECT_EQ(fill(528, fill(532, widen(kSymbols))), conf.getPasswordRequirementsDescription());
    EXPECT_EQ(fill(529, fill(533, widen(kSymbols))), conf.getSsidRequirementsDescription());

    CharsConfigurator custom;
    custom.userChars = conf.getValidUsernameCharsRestrictive();
    custom.passwordChars = conf.getValidPasswordCharsRestrictive();
    custom.ssidChars = conf.getValidSsidCharsRestrictive();
    EXPECT_EQ(fill(527, resource(530)), custom.getUsernameRequirementsDescription());
    EXPECT_EQ(fill(528, fill(532, widen(without(kSymbols, "\"%&<>\\")))),
              custom.getPasswordRequirementsDescription());
    EXPECT_EQ(fill(529, fill(533, widen(without(kSymbols, "\"%&'<>\\")))),
              custom.getSsidRequirementsDescription());

    // Letters, digits and the space; the colon is never named; symbols keep their own order.
    custom.userChars = ":" + conf.getValidUsernameCharsRestrictive() + " ";
    EXPECT_EQ(fill(527, resource(531)), custom.getUsernameRequirementsDescription());
    custom.userChars = conf.getValidUsernameCharsRestrictive() + "~-!";
    EXPECT_EQ(fill(527, fill(532, L"!-~")), custom.getUsernameRequirementsDescription());
}

TEST(KRZPAPConfiguratorValidators, RequirementDescriptionErrorsAndReadyMadeTexts) {
    CharsConfigurator conf;
    auto expectFailure = [&](const std::string& chars, const std::wstring& message) {
        conf.userChars = chars;
        SCOPED_TRACE(chars);
        const KRZPAPCException e = thrownBy([&] { conf.getUsernameRequirementsDescription(); });
        EXPECT_EQ(KRZPAPC_INTERNAL_ERROR, e.getAPCErrorCode());
        EXPECT_EQ(message, e.getMessage());
        EXPECT_EQ("KRZPAPConfigurator", e.getSourceFile());
    };
    const std::wstring some = L"Has some chars but not all! We don't handle this yet.";
    expectFailure("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ !#", some);
    expectFailure("123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", some);
    expectFailure("0", some);
    expectFailure("!#$ ", L"Validators that don't allow alphanumerics not implemented!");
    expectFailure("", L"Validators that don't allow alphanumerics not implemented!");

    // A ready-made text replaces the whole description; the set is then not even fetched.
    conf.fetches = 0;
    conf.userText = 531;
    EXPECT_EQ(resource(531), conf.getUsernameRequirementsDescription());
    EXPECT_EQ(0, conf.fetches);
    conf.userText = 64999;  // no such string
    EXPECT_EQ(L"", conf.getUsernameRequirementsDescription());
}

}  // namespace
