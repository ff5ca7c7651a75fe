#include "language/source_file.h"

#include "script_folder.h"
#include "script_runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

TEST(SourceFileTest, LineIndexCoversEveryLineAndLineFeedsBelongToTheirLine)
{
    ScriptFolder folder;
    CSourceFileCache cache;
    CSourceFile* file = cache.Get(folder.Write("a.twp", "ab\ncd\r\nlast"));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->LineCount(), 3);
    EXPECT_EQ(file->LineOf(0), 1);
    EXPECT_EQ(file->LineOf(2), 1);  // the line feed ends line 1
    EXPECT_EQ(file->LineOf(3), 2);
    EXPECT_EQ(file->LineOf(5), 2);   // CR before the LF
    EXPECT_EQ(file->LineOf(7), 3);   // a last line without line feed is indexed
    EXPECT_EQ(file->LineOf(11), 3);  // the end of the text still stands on the last line
    EXPECT_EQ(file->LineOf(12), 0);
    EXPECT_EQ(file->LineOf(-1), 0);
    EXPECT_EQ(file->LineStart(5), 3);
    EXPECT_EQ(file->LineStart(9), 7);
}

TEST(SourceFileTest, FinalLineFeedAddsNoEmptyLineAndEmptyFileHasNone)
{
    ScriptFolder folder;
    CSourceFileCache cache;
    CSourceFile* file = cache.Get(folder.Write("a.tws", "x\n"));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->LineCount(), 1);
    EXPECT_EQ(file->LineOf(2), 0);

    CSourceFile* empty = cache.Get(folder.Write("e.tws", ""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Size(), 0);
    EXPECT_EQ(empty->LineCount(), 0);
    EXPECT_EQ(empty->LineOf(0), 0);
}

TEST(SourceFileTest, CacheReadsEachExactPathOncePerRun)
{
    ScriptFolder folder;
    std::string path = folder.Write("page.twp", "first");
    CSourceFileCache cache;
    CSourceFile* file = cache.Get(path);
    ASSERT_NE(file, nullptr);

    // Saving the file during the run changes nothing the run sees.
    folder.Write("page.twp", "second version");
    EXPECT_EQ(cache.Get(path), file);
    EXPECT_EQ(file->Text(), "first");

    // File names are case-sensitive: another spelling is another file.
    folder.Write("Page.twp", "other");
    CSourceFile* other = cache.Get(folder.Path() + "/Page.twp");
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, file);
    EXPECT_EQ(other->Text(), "other");

    // The next run reads the file afresh.
    cache.CloseAll();
    file = cache.Get(path);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Text(), "second version");
}

// Runs again reuse what earlier runs scanned only while the file's bytes stay the same: an edit of
// the same length (no size or time stamp tells it apart) must be read and scanned anew.
TEST(KeptSourceFilesTest, ARunGoesOnFromEarlierScansOnlyWhileTheBytesStayTheSame)
{
    ScriptRunner runner;
    const std::string loop = "<!--{ Local.i = 0; while (Local.i < 3) Local.i = Local.i + 1; }-->[--{ Local.i * 1 }--]"
                             "<!--{ endwhile }-->";
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(runner.Run("loop.twp", loop), kRunCompleted) << runner.errorText;
        EXPECT_EQ(runner.sink.output, "[1][2][3]");
    }
    {
        // The file that the runs kept, with the tokens their loops read twice.
        CSourceFileCache cache;
        CSourceFile* file = cache.Get(runner.path);
        ASSERT_NE(file, nullptr);
        EXPECT_GT(file->CompiledSize(), 0U);
        cache.CloseAll();
    }
    std::string edited = loop;
    edited.replace(edited.find("* 1"), 3, "* 7");
    ASSERT_EQ(runner.Run("loop.twp", edited), kRunCompleted) << runner.errorText;
    EXPECT_EQ(runner.sink.output, "[7][14][21]");
    // The kept files serve every thread: a run on another thread sees the edit, and this one sees
    // the file edited back.
    auto runOnAnotherThread = [&runner] {
        StringSink sink;
        std::thread([&runner, &sink] {
            CSspEngine engine;
            EXPECT_EQ(engine.Run({.filePath = runner.path, .urlPath = "/app/loop.twp", .response = &sink}),
                      kRunCompleted)
                << engine.ErrorText();
        }).join();
        return sink.output;
    };
    EXPECT_EQ(runOnAnotherThread(), "[7][14][21]");
    ASSERT_EQ(runner.Run("loop.twp", loop), kRunCompleted) << runner.errorText;
    EXPECT_EQ(runner.sink.output, "[1][2][3]");
    runner.folder.Write("loop.twp", edited);
    EXPECT_EQ(runOnAnotherThread(), "[7][14][21]");

    // Functions found in a file are forgotten with its old bytes too.
    const std::string function = "write Local.f();\nfunction f() return 1; endfunction";
    ASSERT_EQ(runner.Run("f.tws", function), kRunCompleted) << runner.errorText;
    EXPECT_EQ(runner.sink.output, "1");
    std::string changed = function;
    changed.replace(changed.find("return 1"), 8, "return 2");
    ASSERT_EQ(runner.Run("f.tws", changed), kRunCompleted) << runner.errorText;
    EXPECT_EQ(runner.sink.output, "2");
}

// A file unchanged for a while is known again by its stamp without being read: an edit that keeps
// its length and puts its time of modification back, and a file deleted, still show at the next run.
TEST(KeptSourceFilesTest, AFileKnownByItsStampStillShowsEveryChange)
{
    ScriptRunner runner;
    const std::string edited = runner.folder.Write("edited.twp", "[--{ 1 + 1 }--]");
    const std::string deleted = runner.folder.Write("deleted.twp", "[--{ 2 + 2 }--]");
    auto run = [](const std::string& path) {
        StringSink sink;
        CSspEngine engine;
        const int result = engine.Run({.filePath = path, .urlPath = "/app/page.twp", .response = &sink});
        return result == kRunCompleted ? sink.output : engine.ErrorText();
    };
    std::this_thread::sleep_for(std::chrono::nanoseconds(CSourceFileStamp::kSettledNanoseconds + 200'000'000));
    // The first runs read the files and find them settled; the next ones know them by their stamps.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(run(edited), "[2]");
        EXPECT_EQ(run(deleted), "[4]");
    }
    struct stat before
    {};
    ASSERT_EQ(::stat(edited.c_str(), &before), 0);
    runner.folder.Write("edited.twp", "[--{ 1 + 5 }--]");
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, edited.c_str(), times, 0), 0);
    EXPECT_EQ(run(edited), "[6]");
    ASSERT_EQ(::unlink(deleted.c_str()), 0);
    EXPECT_NE(run(deleted).find("Failed to open file"), std::string::npos);
}

TEST(KeptSourceFilesTest, FilesBeyondTheBoundAreNotKept)
{
    ScriptRunner runner;
    std::string big = "<!--{ Local.n = 0; }-->";
    big.append(CKeptSourceFiles::kMaxFileBytes, 'x');
    ASSERT_EQ(runner.Run("big.twp", big), kRunCompleted) << runner.errorText;
    EXPECT_FALSE(CKeptSourceFiles::Instance().Holds(runner.path));

    ASSERT_EQ(runner.Run("small.twp", "<!--{ Local.n = 0; }-->"), kRunCompleted) << runner.errorText;
    EXPECT_TRUE(CKeptSourceFiles::Instance().Holds(runner.path));
}

TEST(SourceFileTest, FailuresExplainThemselvesAndAreRetried)
{
    ScriptFolder folder;
    std::string path = folder.Path() + "/missing.twp";
    CSourceFileCache cache;
    EXPECT_EQ(cache.Get(path), nullptr);
    EXPECT_EQ(cache.ErrorText(), "Failed to open file: [" + path + "]. No such file or directory");

    folder.Write("missing.twp", "now here");
    CSourceFile* file = cache.Get(path);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(cache.ErrorText().empty());
    EXPECT_EQ(file->Text(), "now here");

    EXPECT_EQ(cache.Get(folder.Path()), nullptr);
    EXPECT_EQ(cache.ErrorText(), "Failed to open file: [" + folder.Path() + "]. Not a regular file.");

    // A FIFO must neither block the open nor be read.
    std::string fifo = folder.Path() + "/pipe.twp";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(cache.Get(fifo), nullptr);
}

TEST(SourceFileTest, FileOfTwoGibibytesIsRefused)
{
    ScriptFolder folder;
    std::string path = folder.Write("huge.tws", "");
    // A sparse file: no disk space is used.
    ASSERT_EQ(truncate(path.c_str(), 0x80000000LL), 0);
    CSourceFileCache cache;
    EXPECT_EQ(cache.Get(path), nullptr);
    EXPECT_NE(cache.ErrorText().find("2 GiB"), std::string::npos);
    EXPECT_NE(cache.ErrorText().find(path), std::string::npos);
}

TEST(SourceFileTest, FileIsReadToItsEndWhateverItsSizeSaid)
{
    // Files under /proc report a size of 0; this one is several pieces long.
    CSourceFileCache cache;
    CSourceFile* file = cache.Get("/proc/self/maps");
    ASSERT_NE(file, nullptr) << cache.ErrorText();
    EXPECT_GT(file->Size(), 4096);
    EXPECT_NE(file->Text().find("[stack]"), std::string_view::npos);
    EXPECT_EQ(file->Text().back(), '\n');
}

TEST(SourceFileTest, PageIsKnownByItsExtensionInAnyCase)
{
    EXPECT_TRUE(CSourceFile("/w/index.TWP").IsPage());
    EXPECT_TRUE(CSourceFile("/w/a.b/index.twp").IsPage());
    EXPECT_FALSE(CSourceFile("/w/task.tws").IsPage());
    EXPECT_FALSE(CSourceFile("/w/x.twp/readme").IsPage());
    EXPECT_FALSE(CSourceFile("/w/noext").IsPage());
}

}  // namespace

namespace {

// Resident and peak resident memory of this process in kB, from /proc/self/status.
long StatusKb(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

}  // namespace

TEST(SourceFileCacheMemory, ALargeRunGivesItsMemoryBackWhenItEnds)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory in a quarantine of its own";
#elif defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread checker's allocator replaces the C library's heap, which the run trims";
#else
    // 300,000 small code blocks: the run's scan memos grow to hundreds of megabytes.
    std::string page = "<html>\n";
    for (int i = 0; i < 300000; ++i)
        page += "<!--{ Local.n = " + std::to_string(i) + "; }-->x\n";
    page += "</html>\n";
    ScriptRunner runner;
    runner.Run("warm.twp", "<!--{ Local.n = 1; }-->");

    const long before = StatusKb("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts from now
    ASSERT_EQ(runner.Run("big.twp", page), kRunCompleted) << runner.errorText;
    const long peak = StatusKb("VmHWM");
    const long after = StatusKb("VmRSS");
    EXPECT_GT(peak - before, 100 * 1024) << "the run did not build up the memory this test is about";
    // The run's caches are dropped before the heap is trimmed: what they held must go back too.
    EXPECT_LT(after - before, 10 * 1024) << "before " << before << " kB, peak " << peak << " kB, after " << after
                                         << " kB";
#endif
}
