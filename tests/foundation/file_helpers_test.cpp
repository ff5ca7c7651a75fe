#include "foundation/file_helpers.h"
#include "foundation/log.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(CanonicalizeRelativePath, ResolvesDotDotWithoutClimbingAboveTheStart)
{
    EXPECT_EQ(CanonicalizeRelativePath("a/b/../c"), "a/c");
    EXPECT_EQ(CanonicalizeRelativePath("../x"), "x");
    EXPECT_EQ(CanonicalizeRelativePath("a/../../x"), "x");
    EXPECT_EQ(CanonicalizeRelativePath("a//b"), "a//b");
    EXPECT_EQ(CanonicalizeRelativePath("a\\b\\..\\c"), "a\\c");
    EXPECT_EQ(CanonicalizeRelativePath("./a/./b"), "./a/./b");
    EXPECT_EQ(CanonicalizeRelativePath("a/b/.."), "a/");
    EXPECT_EQ(CanonicalizeRelativePath(""), "");
    // Several ".." in a row each take back one more name.
    EXPECT_EQ(CanonicalizeRelativePath("a/b/c/../../x"), "a/x");
    EXPECT_EQ(CanonicalizeRelativePath("a/b/../../../../etc/passwd"), "etc/passwd");
    EXPECT_EQ(CanonicalizeRelativePath("/../x"), "x");
    EXPECT_EQ(CanonicalizeRelativePath("a/..b/c"), "a/..b/c");
}

class DeleteFileForcedTest : public ::testing::Test
{
protected:
    TempFolder m_temp;
    const fs::path m_folder = m_temp.Path();
};

TEST_F(DeleteFileForcedTest, RemovesAReadOnlyFile)
{
    const fs::path file = m_folder / "locked.txt";
    std::ofstream(file) << "data";
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_TRUE(DeleteFileForced(file.string()));
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(DeleteFileForcedTest, LogsAMissingFile)
{
    std::vector<std::string> entries;
    TheLog().SetCallbackMode([&entries](std::string_view entry) { entries.emplace_back(entry); });
    const std::string missing = (m_folder / "gone.txt").string();
    EXPECT_FALSE(DeleteFileForced(missing));
    TheLog().SetFileMode("");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], "Error [2]: No such file or directory when getting attributes of " + missing + "\r\n");
}

}  // namespace
