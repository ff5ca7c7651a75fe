#include "platform/child_process.h"
#include "platform/child_reaper.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Words = std::vector<std::string>;

// A field of /proc/self/status, such as "Threads".
int StatusField(const std::string& name)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::stoi(line.substr(name.size() + 1));
    return -1;
}

// The children of this process that have ended but not been reaped, and those still running.
struct Children
{
    int zombies = 0;
    int running = 0;
};

Children CountChildren()
{
    Children children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream file(entry.path() / "stat");
        std::string stat;
        if (!std::getline(file, stat) || stat.rfind(')') == std::string::npos)
            continue;
        // After the command's closing parenthesis: the state, then the parent's number.
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        char state = 0;
        pid_t parent = 0;
        if (!(fields >> state >> parent) || parent != getpid())
            continue;
        ++(state == 'Z' ? children.zombies : children.running);
    }
    return children;
}

TEST(ChildProcessTest, CommandLinesSplitIntoArguments)
{
    EXPECT_EQ(SplitCommandLine("  a\tb  "), (Words{"a", "b"}));
    EXPECT_EQ(SplitCommandLine("\"\" x"), (Words{"", "x"}));
    EXPECT_EQ(SplitCommandLine("a\"b c\"d 'e f'"), (Words{"ab cd", "'e", "f'"}));
    EXPECT_EQ(SplitCommandLine("say \\\"hi\\\" c:\\dir\\"), (Words{"say", "\"hi\"", "c:\\dir\\"}));
    EXPECT_TRUE(SplitCommandLine(" \t ").empty());
}

TEST(ChildProcessTest, ExitStatusTimeOutAndSignals)
{
    int code = -1;
    {
        CChildProcess program;
        ASSERT_EQ(program.Start({"/bin/sh", "-c", "sleep 1; exit 7"}), 0);
        EXPECT_FALSE(program.Wait(50, code));
        EXPECT_TRUE(program.Wait(10000, code));
        EXPECT_EQ(code, 7);
    }
    {
        // The program starts with default signal handling even where the server ignores SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        CChildProcess program;
        ASSERT_EQ(program.Start({"/bin/sh", "-c", "kill -PIPE $$; exit 5"}), 0);
        EXPECT_TRUE(program.Wait(10000, code));
        EXPECT_EQ(code, 128 + SIGPIPE);
        signal(SIGPIPE, SIG_DFL);
    }
    CChildProcess missing;
    EXPECT_EQ(missing.Start({"/no/such/program"}), ENOENT);
    EXPECT_FALSE(missing.Wait(0, code));
}

TEST(ChildProcessTest, ProgramsLeftRunningAreReapedByOneThreadWhenTheyEnd)
{
    TempFolder temp;
    const std::string go = temp.Path() + "/go";
    // A thread started and ended first: the thread checker starts a thread of its own with the
    // process's first one, which must not count as the reaper's.
    std::thread([] {}).join();
    const int threadsBefore = StatusField("Threads");
    constexpr int kPrograms = 20;
    for (int i = 0; i < kPrograms; ++i) {
        CChildProcess program;
        ASSERT_EQ(program.Start({"/bin/sh", "-c", "while [ ! -e \"$0\" ]; do sleep 0.01; done", go}), 0);
        int code = 0;
        EXPECT_FALSE(program.Wait(0, code));
    }
    EXPECT_EQ(CChildReaper::Instance().PendingCount(), kPrograms);
    EXPECT_LE(StatusField("Threads"), threadsBefore + 1) << "one reaper for all, not a thread per program";
    EXPECT_EQ(CountChildren().running, kPrograms);

    std::ofstream(go) << "";
    EXPECT_TRUE(WaitFor([] { return CChildReaper::Instance().PendingCount() == 0; }, std::chrono::seconds(20)));
    const Children left = CountChildren();
    EXPECT_EQ(left.zombies, 0);
    EXPECT_EQ(left.running, 0);

    // A program that is waited for keeps its exit status: the reaper only takes what was left to it.
    CChildProcess waited;
    ASSERT_EQ(waited.Start({"/bin/sh", "-c", "exit 3"}), 0);
    int code = -1;
    EXPECT_TRUE(waited.Wait(10000, code));
    EXPECT_EQ(code, 3);
}

}  // namespace
