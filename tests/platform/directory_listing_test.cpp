#include "platform/directory_listing.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

// The descriptors this process has open.
int OpenDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(DirectoryListing, NamesEveryEntryOnceAndGivesTheHandleBackOnEveryWayOut)
{
    TempFolder temp;
    std::ofstream(temp.Path() + "/a.txt") << "a";
    std::filesystem::create_directory(temp.Path() + "/sub");
    const int before = OpenDescriptors();
    {
        CDirectoryListing listing(temp.Path());
        ASSERT_TRUE(listing.IsOpen());
        EXPECT_EQ(OpenDescriptors(), before + 1);
        std::set<std::string> names;
        while (const char* name = listing.NextName())
            EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(names, (std::set<std::string>{".", "..", "a.txt", "sub"}));
        EXPECT_EQ(listing.NextName(), nullptr) << "the end stays the end";
    }
    EXPECT_EQ(OpenDescriptors(), before);
    {
        // Left after the first entry, as a search that found what it wanted leaves its loop.
        CDirectoryListing listing(temp.Path());
        ASSERT_NE(listing.NextName(), nullptr);
    }
    EXPECT_EQ(OpenDescriptors(), before);

    CDirectoryListing missing(temp.Path() + "/none");
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(missing.OpenError(), ENOENT);
    EXPECT_EQ(missing.NextName(), nullptr);
    CDirectoryListing file(temp.Path() + "/a.txt");
    EXPECT_EQ(file.OpenError(), ENOTDIR);
}

}  // namespace
