// Find in Files on a real folder tree: what the search posts to the results list; and the
// extension lists and folder listings that it and the Files tree share.
#include "studio/file_find_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "studio/browse_page.h"
#include "studio/extension_list.h"
#include "studio/folder_listing.h"
#include "tests/support/temp_folder.h"

namespace {

using Lines = std::vector<std::string>;

Lines Sorted(Lines lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

class FindInFilesTest : public ::testing::Test
{
protected:
    std::string File(const std::string& relative, const std::string& bytes)
    {
        const std::string path = m_root.Path() + "/" + relative;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Runs one search to its end and returns everything it posted, in order. `onPost` runs on the
    // search thread for every text.
    Lines Find(const std::string& what, const std::string& types, const std::string& folder,
               const std::function<void(const std::string&)>& onPost = {})
    {
        auto thread = std::make_shared<CFileFindThread>();
        thread->SetArguments(what, types, folder, &m_stop, [this, onPost](std::string text) {
            std::lock_guard lock(m_lock);
            if (onPost)
                onPost(text);
            m_posted.push_back(std::move(text));
        });
        EXPECT_TRUE(thread->Start());
        EXPECT_TRUE(thread->WaitForExit(10000));
        std::lock_guard lock(m_lock);
        return std::exchange(m_posted, {});
    }

    // The lines between "{" and the count line, sorted (the walk takes the file system's order).
    static Lines Hits(const Lines& posted)
    {
        EXPECT_GE(posted.size(), 3u);
        if (posted.size() < 3)
            return {};
        EXPECT_EQ(posted.front(), "{");
        EXPECT_EQ(posted.back(), "}");
        return Sorted(Lines(posted.begin() + 1, posted.end() - 2));
    }

    TempFolder m_root{"tw-find"};
    std::atomic<int> m_stop{0};
    std::mutex m_lock;
    Lines m_posted;
};

TEST_F(FindInFilesTest, OneResultPerLineThatHoldsTheText)
{
    const std::string a = File("a.twp", "first Needle line\r\nneedle needle NEEDLE\r\nnone here\nends with neeDLE");
    const std::string b = File("sub/deeper/b.TWP", "x\n\n  a needle\n");
    File("sub/c.txt", "needle in a file of another type\n");
    File("noextension", "needle\n");
    // A link back up must not make the walk go round for ever.
    std::filesystem::create_directory_symlink(m_root.Path(), m_root.Path() + "/sub/loop.twp");

    const Lines posted = Find("needle", "*.twp; *.tws", m_root.Path());
    EXPECT_EQ(Hits(posted), Sorted({b + " (3):   a needle", a + " (1): first Needle line",
                                    a + " (2): needle needle NEEDLE", a + " (4): ends with neeDLE"}))
        << "posted: " << ::testing::PrintToString(posted);
    EXPECT_EQ(posted[posted.size() - 2], "4 occurrence(s) have been found");

    // No types at all: every file, whatever its name.
    const Lines all = Find("needle", "", m_root.Path());
    EXPECT_EQ(all[all.size() - 2], "6 occurrence(s) have been found") << ::testing::PrintToString(all);
}

TEST_F(FindInFilesTest, TheLineTextRunsFromTheLineStartToTheLineEnd)
{
    const std::string a = File("x.tws", "  indent\tthen the Word and more\r\n");
    EXPECT_EQ(Hits(Find("word", "tws", m_root.Path())), (Lines{a + " (1):   indent\tthen the Word and more"}));
}

TEST_F(FindInFilesTest, BinaryEmptyAndUnsearchedFiles)
{
    const std::string binary = File("bin.twp", std::string("key 1\nkey 2\n\0 key 3\n", 19));
    // A file of no bytes simply has no hits; a file that cannot be opened is named with the reason.
    File("empty.twp", "");
    const std::string gone = m_root.Path() + "/gone.twp";
    std::filesystem::create_symlink(m_root.Path() + "/nowhere", gone);
    EXPECT_EQ(Hits(Find("key", ".twp", m_root.Path())), Sorted({gone + ": Error [2]: No such file or directory",
                                                                "Skipping " + binary + " because it is a binary file",
                                                                binary + " (1): key 1", binary + " (2): key 2"}));
    // An extension typed in upper case selects the same files; an empty search text reads no file
    // at all.
    EXPECT_EQ(Hits(Find("key", "TWP", m_root.Path())).size(), 4u);
    EXPECT_EQ(Find("", ".twp", m_root.Path()), (Lines{"{", "0 occurrence(s) have been found", "}"}));
    EXPECT_EQ(Find("key", ".twp", m_root.Path() + "/missing"),
              (Lines{"{", "Root folder not found or the folder is empty.", "0 occurrence(s) have been found", "}"}));
}

TEST_F(FindInFilesTest, StopEndsTheSearchAndSaysSo)
{
    for (int i = 0; i < 20; ++i)
        File("f" + std::to_string(i) + ".twp", "hit one\nhit two\n");
    const Lines posted = Find("hit", ".twp", m_root.Path(), [this](const std::string& text) {
        if (text.find(" (1): ") != std::string::npos)
            m_stop = 1;
    });
    ASSERT_EQ(posted.size(), 5u) << ::testing::PrintToString(posted);
    EXPECT_NE(posted[1].find(" (1): hit one"), std::string::npos);
    EXPECT_EQ(posted[2], "User canceled find in files.");
    EXPECT_EQ(posted[3], "1 occurrence(s) have been found");
    EXPECT_EQ(posted[4], "}");
}

TEST_F(FindInFilesTest, ProgressCountsSearchedFilesAndNamesEachFolder)
{
    File("a.twp", "x");
    File("b.txt", "x");
    File("sub/c.twp", "x");
    File("sub/d.twp", "");
    std::vector<std::pair<int, std::string>> reports;
    auto thread = std::make_shared<CFileFindThread>();
    thread->SetArguments("x", ".twp", m_root.Path(), &m_stop, [](std::string) {});
    thread->SetProgress(
        [&reports](int searched, const std::string& folder) { reports.emplace_back(searched, folder); });
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(thread->WaitForExit(10000));

    ASSERT_FALSE(reports.empty());
    // The walk starts at the root with nothing searched, and the count never goes back.
    EXPECT_EQ(reports.front(), std::make_pair(0, m_root.Path()));
    for (std::size_t i = 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i].first, reports[i - 1].first);
    // Files of other types are not counted; the empty file is.
    EXPECT_EQ(reports.back().first, 3);
    const bool sawSub = std::any_of(reports.begin(), reports.end(),
                                    [this](const auto& report) { return report.second == m_root.Path() + "/sub"; });
    EXPECT_TRUE(sawSub);
}

TEST(ExtensionListTest, TypedListsAndMatches)
{
    EXPECT_EQ(ParseExtensionList("*.twp; *.tws"), (Lines{".twp", ".tws"}));
    EXPECT_EQ(ParseExtensionList(".twp; .tws; .html; .txt"), (Lines{".twp", ".tws", ".html", ".txt"}));
    EXPECT_EQ(ParseExtensionList("twp"), (Lines{".twp"}));
    EXPECT_EQ(ParseExtensionList(" ; . *. "), Lines{});
    EXPECT_EQ(FormatExtensionList({".twp", ".tws"}), ".twp; .tws; ");

    const Lines list = ParseExtensionList(".twp; .TWS");
    EXPECT_TRUE(MatchesExtension(list, "Page.TWP"));
    EXPECT_TRUE(MatchesExtension(list, "a.b.twp"));
    EXPECT_TRUE(MatchesExtension(list, "script.tws"));
    EXPECT_FALSE(MatchesExtension(list, "twp"));
    EXPECT_FALSE(MatchesExtension(list, "page.twp.bak"));
}

TEST(FolderListingTest, FoldersThenFilteredFilesSortedWithoutRegardToCase)
{
    TempFolder root("tw-list");
    for (const char* name : {"beta.twp", "Alpha.TWP", "gamma.txt", "delta.tws", "Echo.twp"})
        std::ofstream(root.Path() + "/" + name) << "x";
    for (const char* name : {"zeta", "Yoke", "able"})
        std::filesystem::create_directory(root.Path() + "/" + name);

    const CFolderListing listing = ListFolder(root.Path(), ParseExtensionList(".twp; .tws"));
    EXPECT_TRUE(listing.found);
    EXPECT_EQ(listing.folders, (Lines{"able", "Yoke", "zeta"}));
    EXPECT_EQ(listing.files, (Lines{"Alpha.TWP", "beta.twp", "delta.tws", "Echo.twp"}));
    EXPECT_FALSE(ListFolder(root.Path() + "/none", {".twp"}).found);
}

TEST(BrowsePageTest, AddressAndConnectPage)
{
    EXPECT_EQ(BrowseAddress(false, "80", "site.example", "10.0.0.1"), "http://10.0.0.1");
    EXPECT_EQ(BrowseAddress(false, "8085", "site.example", "10.0.0.1"), "http://10.0.0.1:8085");
    EXPECT_EQ(BrowseAddress(true, "443", "site.example", "10.0.0.1"), "https://site.example");
    EXPECT_EQ(BrowseAddress(true, "8443", "site.example", "10.0.0.1"), "https://site.example:8443");

    TempFolder folder("tw-browse");
    const std::string path = folder.Path() + "/browse.html";
    ASSERT_TRUE(WriteBrowsePage(path, "http://a\"b<c>:80"));
    std::ifstream in(path);
    const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(page.find("<title>Tarnwick Server : Connect</title>"), std::string::npos);
    EXPECT_NE(page.find("width=\"100%\""), std::string::npos);
    // Link target and link text, the address escaped in both.
    EXPECT_NE(page.find("<a href=\"http://a&quot;b&lt;c&gt;:80\">http://a&quot;b&lt;c&gt;:80</a>"), std::string::npos)
        << page;
    EXPECT_FALSE(WriteBrowsePage(folder.Path() + "/missing/browse.html", "http://x"));
}

}  // namespace
