#include "platform/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

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

}  // namespace
