#include "mail/mail_store.h"

#include "foundation/ssp_date_time.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class MailStoreTest : public testing::Test
{
protected:
    std::string Create(const std::string& folder, std::time_t when)
    {
        std::string path;
        MailFile file = CreateMailFile(m_root.Path(), folder, "txt", path, when);
        EXPECT_TRUE(file) << folder;
        if (file)
            std::fputs(folder.c_str(), file.get());
        EXPECT_TRUE(!file || CloseMailFile(file));
        return path;
    }

    TempFolder m_root{"tw-store"};
    CLogCapture m_log;
};

TEST_F(MailStoreTest, FilesOfOneSecondGetSuffixesAndMissingFoldersAreMade)
{
    const std::time_t when = MakeLocalTime(2024, 3, 5, 9, 8, 7);
    const std::string outbox = m_root.Path() + "/mail/outbox/";
    EXPECT_EQ(Create("outbox", when), outbox + "20240305-090807.txt");
    EXPECT_EQ(Create("outbox", when), outbox + "20240305-090807-1.txt");
    EXPECT_EQ(Create("outbox", when), outbox + "20240305-090807-2.txt");
    EXPECT_EQ(Read(outbox + "20240305-090807-1.txt"), "outbox");

    std::string path;
    EXPECT_TRUE(CreateInboxFile(m_root.Path(), "support", path));
    EXPECT_TRUE(path.starts_with(m_root.Path() + "/mail/support/") && path.ends_with(".eml")) << path;

    // Folder names come from scripts and peers: none may leave the mail folder.
    for (const char* folder : {"..", ".", "", "a/b", "../outbox"}) {
        EXPECT_FALSE(CreateMailFile(m_root.Path(), folder, "txt", path)) << folder;
        EXPECT_TRUE(path.empty());
        EXPECT_FALSE(MoveMailFile(m_root.Path(), outbox + "20240305-090807.txt", folder)) << folder;
    }
    EXPECT_TRUE(m_log.Contains("Failed to create mail folders: " + m_root.Path() + "/mail/.."));
    EXPECT_TRUE(std::filesystem::exists(outbox + "20240305-090807.txt"));
}

TEST_F(MailStoreTest, AMoveReplacesASameNamedFileButNeverDeletesForAMissingSource)
{
    const std::time_t when = MakeLocalTime(2024, 3, 5, 9, 8, 7);
    const std::string kept = Create("sent", when);
    const std::string moving = Create("outbox", when);
    ASSERT_TRUE(MoveMailFile(m_root.Path(), moving, "sent"));
    EXPECT_EQ(Read(kept), "outbox");
    EXPECT_FALSE(std::filesystem::exists(moving));
    EXPECT_TRUE(m_log.Contains(kept + "  will be deleted because a new file with same name needs to be moved in"));

    EXPECT_FALSE(MoveMailFile(m_root.Path(), moving, "sent"));
    EXPECT_EQ(Read(kept), "outbox") << "the file in the folder stays when there is nothing to move";
    EXPECT_TRUE(m_log.Contains("Failed to move " + moving + " to " + kept));

    EXPECT_FALSE(MoveMailFile(m_root.Path(), "no-folder.txt", "sent"));
    EXPECT_TRUE(m_log.Contains("Failed to find the file name when moving files"));
}

TEST_F(MailStoreTest, AReaderNeverSeesANewFileHalfWritten)
{
    const std::string content(1024 * 1024, 'm');
    const std::string folder = m_root.Path() + "/mail/outbox";
    std::atomic<bool> writing{true};
    std::atomic<int> partial{0};
    std::atomic<int> seen{0};
    std::thread reader([&] {
        while (writing) {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
                if (entry.path().extension() != ".txt")
                    continue;
                ++seen;
                std::error_code sizeError;
                const auto size = std::filesystem::file_size(entry.path(), sizeError);
                if (!sizeError && size != content.size())
                    ++partial;
            }
        }
    });
    std::string path;
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(WriteNewMailFile(m_root.Path(), "outbox", "txt", content, path));
    writing = false;
    reader.join();
    EXPECT_EQ(partial.load(), 0) << "of " << seen.load() << " files looked at";
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().extension(), ".txt") << "no temporary file is left: " << entry.path();
        ++files;
    }
    EXPECT_EQ(files, 100u);
}

}  // namespace
