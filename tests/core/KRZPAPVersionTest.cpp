// The version a host reads at run time is the one its headers and the build name, in both forms.
#include "core/KRZPAPVersion.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Version, LoadedLibraryHeadersAndProjectAgree) {
    const std::string fromParts = std::to_string(KRZPAPCONFIGU_VERSION_MAJOR) + "." +
                                  std::to_string(KRZPAPCONFIGU_VERSION_MINOR) + "." +
                                  std::to_string(KRZPAPCONFIGU_VERSION_PATCH);
    EXPECT_EQ(fromParts, KRZPAPCONFIGU_VERSION);
    EXPECT_EQ(std::string(KRZ_PROJECT_VERSION), KRZPAPVersion::text());
    EXPECT_EQ(KRZPAPCONFIGU_VERSION_MAJOR * 10000 + KRZPAPCONFIGU_VERSION_MINOR * 100 +
                  KRZPAPCONFIGU_VERSION_PATCH,
              KRZPAPVersion::number());
    static_assert(KRZPAPCONFIGU_VERSION_NUMBER >= 10000, "the first release is 1.0.0");
}

}  // namespace
