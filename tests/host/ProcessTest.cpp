// The platform layer's file calls that krzpap and the built-in lab rely on.
#include "platform/krzprocess.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// The lock excludes another taker in the same process (two krzpap threads, or a lab's serving
// threads) as it does another process, gives up after its bound with a reason, and is free again
// once released.
TEST(Process, FileLockExcludesOtherTakersUntilReleased) {
    const std::string path = krztest::scratchPath("filelock");
    std::remove(path.c_str());
    std::string reason;
    krzprocess::FileLock held;
    ASSERT_TRUE(held.acquire(path, 0, reason)) << reason;
    krzprocess::FileLock other;
    EXPECT_FALSE(other.acquire(path, 50, reason));
    EXPECT_EQ("another program holds it", reason);
    held.release();
    EXPECT_TRUE(other.acquire(path, 50, reason)) << reason;
    other.release();
    {
        krzprocess::FileLock scoped;
        ASSERT_TRUE(scoped.acquire(path, 0, reason));
    }  // the destructor lets go
    EXPECT_TRUE(held.acquire(path, 0, reason)) << reason;
    EXPECT_FALSE(other.acquire("/nonexistent/folder/lock", 0, reason));
    EXPECT_EQ("No such file or directory", reason);
    held.release();
    std::remove(path.c_str());
}

TEST(Process, FilesToReadAndOwnerOnlyModes) {
    const std::string path = krztest::scratchPath("owner");
    std::ofstream(path) << "log";
    ::chmod(path.c_str(), 0644);
    std::string reason;
    ASSERT_TRUE(krzprocess::restrictToOwner(path, reason)) << reason;
    struct stat info {};
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777u);

    EXPECT_TRUE(krzprocess::isFileToRead(path, reason));
    EXPECT_FALSE(krzprocess::isFileToRead("/tmp", reason));
    EXPECT_EQ("it is a folder", reason);
    EXPECT_FALSE(krzprocess::isFileToRead("/dev/zero", reason));
    EXPECT_EQ("it is a device, not a file", reason);
    EXPECT_FALSE(krzprocess::isFileToRead(path + ".missing", reason));
    EXPECT_EQ("No such file or directory", reason);
    std::remove(path.c_str());
}

}  // namespace
