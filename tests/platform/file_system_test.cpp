#include "platform/file_system.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// One case, because the override is set for the rest of the process.
TEST(ProgramDirectory, ParentOfTheProgramFolderUnlessOverridden)
{
    unsetenv("TW_INSTALL_DIR");
    const char* binaryDir = std::getenv("TW_BINARY_DIR");
    ASSERT_NE(binaryDir, nullptr);
    // This test program lives in <build>/tests/platform, so its "installation" is <build>/tests.
    EXPECT_EQ(GetProgramDirectory(), (fs::canonical(binaryDir) / "tests").string());

    setenv("TW_INSTALL_DIR", "/srv/tarnwick//", 1);
    EXPECT_EQ(GetProgramDirectory(), "/srv/tarnwick");
    setenv("TW_INSTALL_DIR", "", 1);
    EXPECT_EQ(GetProgramDirectory(), (fs::canonical(binaryDir) / "tests").string());

    setenv("TW_INSTALL_DIR", "/srv/tarnwick", 1);
    SetProgramDirectory("/home/dev/site/");
    EXPECT_EQ(GetProgramDirectory(), "/home/dev/site");
    unsetenv("TW_INSTALL_DIR");
}

TEST(FileSystem, CreateDirectoryIfMissingMakesOneLevelOnly)
{
    TempFolder temp;
    const fs::path root = temp.Path();

    EXPECT_TRUE(CreateDirectoryIfMissing((root / "a").string()));
    EXPECT_TRUE(DirectoryExists((root / "a").string()));
    EXPECT_TRUE(CreateDirectoryIfMissing((root / "a").string()));
    EXPECT_FALSE(CreateDirectoryIfMissing((root / "b" / "c").string()));
    EXPECT_FALSE(DirectoryExists((root / "b").string()));

    std::ofstream((root / "file").string()) << "x";
    EXPECT_FALSE(DirectoryExists((root / "file").string()));
    EXPECT_FALSE(CreateDirectoryIfMissing((root / "file").string()));
}

TEST(FileSystem, SystemErrorTextNamesTheCodeAndItsMessage)
{
    EXPECT_EQ(GetSystemErrorText(ENOENT), "Error [2]: No such file or directory");
    EXPECT_EQ(GetSystemErrorText(EACCES), "Error [13]: Permission denied");
    EXPECT_EQ(GetSystemErrorText(99999), "Error [99999]: Unknown error");
    EXPECT_EQ(GetSystemErrorText(-1), "Error [-1]: Unknown error");
}

}  // namespace
