#include "language/file_output_sink.h"

#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

bool FileExists(const std::string& path)
{
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(FileOutputSinkTest, OutputReachesTheFileWhichLivesOnlyWithTheSink)
{
    TempFolder folder;
    const std::string path = folder.Path() + "/dyn1.html";
    std::ofstream(path) << "an older page that must not show through";

    // More than one buffer's worth, with bytes that text handling would spoil.
    std::string expected;
    {
        CFileOutputSink sink(path);
        for (int i = 0; i < 20000; ++i) {
            std::string piece = "line " + std::to_string(i) + std::string("\0\r\n", 3);
            sink.Write(piece);
            expected += piece;
        }
        EXPECT_TRUE(sink.IsOpened());
        sink.CloseOutput();
        sink.Write("after the end");  // dropped: the run has ended
        EXPECT_EQ(ReadFile(path), expected);
    }
    EXPECT_FALSE(FileExists(path));
}

TEST(FileOutputSinkTest, NothingWrittenCreatesNoFileAndRemovesNoStranger)
{
    TempFolder folder;
    const std::string path = folder.Path() + "/dyn2.html";
    std::ofstream(path) << "someone else's";
    {
        CFileOutputSink sink(path);
        sink.Write("");
        sink.CloseOutput();
        EXPECT_FALSE(sink.IsOpened());
    }
    EXPECT_EQ(ReadFile(path), "someone else's");
}

TEST(FileOutputSinkTest, FailedCreationIsLoggedOnceAndLaterWritesDropped)
{
    TempFolder folder;
    CLogCapture log;
    const std::string path = folder.Path() + "/missing/dyn3.html";
    CFileOutputSink sink(path);
    sink.Write("first");
    sink.Write("second");
    sink.CloseOutput();
    EXPECT_FALSE(sink.OpenOutputFile());
    std::vector<std::string> entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].rfind("Failed to create output file. [" + path + "]. Error [2]: ", 0), 0u) << entries[0];
}

}  // namespace
