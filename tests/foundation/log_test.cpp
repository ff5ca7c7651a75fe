#include "foundation/log.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Local noon on the given day, so that time zones never move the entry to another day.
std::time_t LocalNoon(int year, int month, int day)
{
    struct tm local
    {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    return mktime(&local);
}

// What a callback sink receives from the calls that `write` makes.
std::vector<std::string> Capture(void (*write)(CLog&))
{
    CLog log;
    std::vector<std::string> entries;
    log.SetCallbackMode([&entries](std::string_view entry) { entries.emplace_back(entry); });
    write(log);
    return entries;
}

TEST(Log, EntriesAreFormattedAndEndWithCrLfOnlyForWriteLine)
{
    auto entries = Capture([](CLog& l) {
        l.WriteLine("Data source [%s] has %d rows", "tw3", 42);
        l.Write("no line end %d", 7);
        l.WriteText("100% plain %s %n text");
        l.WriteText("plain, no line end", false);
    });
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0], "Data source [tw3] has 42 rows\r\n");
    EXPECT_EQ(entries[1], "no line end 7");
    EXPECT_EQ(entries[2], "100% plain %s %n text\r\n");
    EXPECT_EQ(entries[3], "plain, no line end");
}

#define TIMES10(s) s s s s s s s s s s
#define TIMES1000(s) TIMES10(TIMES10(TIMES10(s)))

TEST(Log, LongEntriesAreCutAt2044CharactersAndStillEndWithCrLf)
{
    auto entries = Capture([](CLog& l) {
        // A 3002-character format: logged unformatted, so its "%d" stays as written.
        l.WriteLine("%d" TIMES1000("abc"), 5);
        l.WriteLine("%s", std::string(3000, 'v').c_str());
        l.WriteText(std::string(3000, 't'));
        l.Write("%s", std::string(3000, 'w').c_str());
    });
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].size(), CLog::kMaxEntry + 2);
    EXPECT_EQ(entries[0].substr(0, 8), "%dabcabc");
    EXPECT_EQ(entries[1], std::string(CLog::kMaxEntry, 'v') + "\r\n");
    EXPECT_EQ(entries[2], std::string(CLog::kMaxEntry, 't') + "\r\n");
    EXPECT_EQ(entries[3], std::string(CLog::kMaxEntry, 'w'));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(entries[i].substr(entries[i].size() - 2), "\r\n") << i;
}

TEST(Log, DayFileLinesAreTimeStampedAndTheLogFolderIsCreated)
{
    TempFolder site;
    CLog log;
    log.SetFileMode(site.Path());
    log.WriteLine("first %d", 1);
    log.WriteLine("second");

    std::vector<fs::path> files;
    for (const auto& item : fs::directory_iterator(site.Path() + "/log"))
        files.push_back(item.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(), std::regex(R"(day(0[1-9]|[12][0-9]|3[01])\.txt)")));
    std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )";
    EXPECT_TRUE(std::regex_match(ReadFile(files[0]), std::regex(stamp + "first 1\r\n" + stamp + "second\r\n")))
        << ReadFile(files[0]);
}

TEST(Log, SameDayOfTheNextMonthAppendsAndAnOverLimitFileIsEmptiedFirst)
{
    TempFolder site;
    CLog log;
    log.SetFileMode(site.Path());
    const fs::path day07 = site.Path() + "/log/day07.txt";

    ASSERT_TRUE(log.WriteToFile("july\r\n", LocalNoon(2024, 7, 7)));
    ASSERT_TRUE(log.WriteToFile("august\r\n", LocalNoon(2024, 8, 7)));
    EXPECT_EQ(ReadFile(day07), "2024-07-07 12:00:00 july\r\n2024-08-07 12:00:00 august\r\n");

    // Exactly at the limit the file is kept; one byte more and it is emptied before the entry.
    fs::resize_file(day07, CLog::kDayFileLimit);
    ASSERT_TRUE(log.WriteToFile("kept\r\n", LocalNoon(2024, 9, 7)));
    EXPECT_EQ(fs::file_size(day07), static_cast<std::uintmax_t>(CLog::kDayFileLimit) + 26);
    ASSERT_TRUE(log.WriteToFile("fresh\r\n", LocalNoon(2024, 10, 7)));
    EXPECT_EQ(ReadFile(day07), "2024-10-07 12:00:00 fresh\r\n");
}

TEST(Log, FallsBackToTheBaseFolderWhenTheLogFolderCannotBeMade)
{
    TempFolder site;
    std::ofstream(site.Path() + "/log") << "a file where the folder should be";
    CLog log;
    log.SetFileMode(site.Path());
    ASSERT_TRUE(log.WriteToFile("entry\r\n", LocalNoon(2024, 2, 29)));
    EXPECT_EQ(ReadFile(site.Path() + "/day29.txt"), "2024-02-29 12:00:00 entry\r\n");

    CLog nowhere;
    nowhere.SetFileMode(site.Path() + "/missing/site");
    EXPECT_FALSE(nowhere.WriteToFile("dropped\r\n", LocalNoon(2024, 2, 29)));
}

TEST(Log, EntriesOfTwoProcessesNeverInterleave)
{
    TempFolder site;
    constexpr int kEntries = 100;  // both writers together stay below the size limit
    constexpr std::size_t kWidth = 2000;
    const std::time_t when = LocalNoon(2024, 3, 15);
    std::vector<pid_t> writers;
    for (char letter : {'a', 'b'}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CLog log;
            log.SetFileMode(site.Path());
            std::string entry = std::string(kWidth, letter) + "\r\n";
            bool ok = true;
            for (int i = 0; i < kEntries; ++i)
                ok = log.WriteToFile(entry, when) && ok;
            _exit(ok ? 0 : 1);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::string content = ReadFile(site.Path() + "/log/day15.txt");
    const std::string prefix = "2024-03-15 12:00:00 ";
    const std::size_t lineSize = prefix.size() + kWidth + 2;
    ASSERT_EQ(content.size(), 2 * kEntries * lineSize);
    int counts[2] = {0, 0};
    for (std::size_t at = 0; at < content.size(); at += lineSize) {
        std::string line = content.substr(at, lineSize);
        char letter = line[prefix.size()];
        ASSERT_TRUE(letter == 'a' || letter == 'b') << "at " << at;
        ASSERT_EQ(line, prefix + std::string(kWidth, letter) + "\r\n") << "at " << at;
        ++counts[letter - 'a'];
    }
    EXPECT_EQ(counts[0], kEntries);
    EXPECT_EQ(counts[1], kEntries);
}

}  // namespace
