// twConsole's command-line actions as scripts use them: the real program, without a display,
// starting and stopping the real twServer of a temporary installation, compacting its database,
// and controlling the service through a stand-in systemctl.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "database/odbc_connection.h"
#include "database/odbc_setup.h"
#include "database/odbc_statement.h"
#include "platform/named_objects.h"
#include "tests/console/console_test_support.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"

namespace {

class CommandLineTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("TW_INSTALL_DIR", m_install.Path().c_str(), 1); }
    void TearDown() override
    {
        // A server that a failed check left running must not outlive the test.
        // A server that ends between the two calls needs no stop.
        if (CStopEvent::Exists(m_install.StopEventPath()))
            static_cast<void>(CStopEvent::Set(m_install.StopEventPath()));
    }
    bool ServerRuns() const { return CStopEvent::Exists(m_install.StopEventPath()); }
    std::string DatabasePath() const { return m_install.Path() + "/data/tw3.db"; }
    // The default database with rows added and deleted again, so that it has free pages.
    void MakeDatabaseWithFreePages()
    {
        std::string error;
        UseInstallationOdbcIni(m_install.Path());
        ASSERT_TRUE(WriteDefaultOdbcIni(m_install.Path(), error)) << error;
        ASSERT_TRUE(CreateDefaultDatabase(m_install.Path(), error)) << error;
        COdbcConnection connection;
        connection.Open("DSN=tw3");
        for (int i = 0; i < 300; ++i)
            connection.ExecuteSQL("INSERT INTO tw3_registry VALUES ('u', 's', 'k" + std::to_string(i) + "', '" +
                                  std::string(1000, 'x') + "')");
        connection.ExecuteSQL("DELETE FROM tw3_registry");
        connection.Close();
    }

    CServerInstall m_install;
    TempFolder m_tools{"tw-console-tools"};
    CFakeSystemctl m_systemctl{m_tools.Path()};
};

TEST_F(CommandLineTest, StartAndStopTheServerInAnyLetterCase)
{
    m_install.WriteSettings("");
    ASSERT_EQ(RunConsole({"-START"}), 0);
    EXPECT_TRUE(ServerRuns());
    EXPECT_EQ(RunConsole({"-start"}), 0) << "a running server is left running";
    EXPECT_EQ(RunConsole({"-compact"}), 6) << "no compaction under a running server";

    EXPECT_EQ(RunConsole({"-Stop"}), 0);
    EXPECT_FALSE(ServerRuns());
    EXPECT_EQ(RunConsole({"-stop"}), 0) << "stopping a stopped server succeeds";
    EXPECT_NE(m_install.LogText().find("Tarnwick Server ended."), std::string::npos);
}

TEST_F(CommandLineTest, AServerThatCannotListenFailsTheStartWithItsOwnReason)
{
    CListeningPort occupied;
    m_install.WriteSettings("GeneralTcpipPort=" + std::to_string(occupied.Port()) + "\n");
    const std::string output = m_tools.Path() + "/output.txt";
    EXPECT_EQ(RunConsole({"-start"}, output), 3);
    EXPECT_FALSE(ServerRuns());
    const std::string said = ReadWholeFile(output);
    EXPECT_NE(said.find("failed to start"), std::string::npos) << said;
    EXPECT_NE(said.find("Failed to bind to 127.0.0.1:" + std::to_string(occupied.Port())), std::string::npos)
        << "the server's own reason, from its log: " << said;

    // A second start shows only what that start logged.
    EXPECT_EQ(RunConsole({"-start"}, output), 3);
    const std::string again = ReadWholeFile(output);
    EXPECT_EQ(again.find("Failed to bind"), again.rfind("Failed to bind")) << again;
}

TEST_F(CommandLineTest, UnknownSwitchesShowTheUsageInsteadOfOpeningAWindow)
{
    m_install.WriteSettings("");
    const std::string output = m_tools.Path() + "/output.txt";
    EXPECT_EQ(RunConsole({"--bogus"}, output), 2);
    EXPECT_EQ(ReadWholeFile(output).rfind("Usage: twConsole [-start | -stop | -compact", 0), 0u)
        << ReadWholeFile(output);
    EXPECT_EQ(RunConsole({"-help"}, output), 0);
    EXPECT_NE(ReadWholeFile(output).find("-compact"), std::string::npos);

    // Without a display the window can't open: the program says so instead of aborting.
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    const std::string platform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    const int code = RunConsole({"report.txt"}, output);
    const std::string missing = ReadWholeFile(output);
    // A display that is named but can't be opened (a stale DISPLAY) does not abort either.
    setenv("DISPLAY", ":9417", 1);
    const int staleCode = RunConsole({}, output);
    const std::string stale = ReadWholeFile(output);
    unsetenv("DISPLAY");
    if (!display.empty())
        setenv("DISPLAY", display.c_str(), 1);
    if (!platform.empty())
        setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(missing.rfind("twConsole needs a display for its window.\nUsage:", 0), 0u);
    EXPECT_EQ(staleCode, 2) << stale;
    EXPECT_NE(stale.find("twConsole cannot open the display \":9417\" for its window.\nUsage:"), std::string::npos)
        << stale;
}

TEST_F(CommandLineTest, CompactSaysWhyAFileCannotBeCompacted)
{
    m_install.WriteSettings("");
    const std::string output = m_tools.Path() + "/output.txt";
    const std::string missing = m_install.Path() + "/data/missing.db";
    EXPECT_EQ(RunConsole({"-compact", missing}, output), 5);
    EXPECT_EQ(ReadWholeFile(output), "The database file " + missing + " does not exist.\n");
    const std::string text = m_install.Path() + "/data/notes.txt";
    m_install.WriteFile("data/notes.txt", "CREATE TABLE is no database\n");
    EXPECT_EQ(RunConsole({"-compact", text}, output), 5);
    EXPECT_EQ(ReadWholeFile(output), text + " is not a SQLite database.\n");
    EXPECT_EQ(ReadWholeFile(text), "CREATE TABLE is no database\n") << "the file is left as it was";
}

TEST_F(CommandLineTest, CompactShrinksTheConfiguredDatabaseOrCopiesIt)
{
    m_install.WriteSettings("");
    MakeDatabaseWithFreePages();
    const auto before = std::filesystem::file_size(DatabasePath());
    ASSERT_EQ(RunConsole({"-compact"}), 0);
    EXPECT_LT(std::filesystem::file_size(DatabasePath()), before);
    {
        COdbcConnection compacted;
        compacted.Open("DSN=tw3");
        COdbcStatement mode(compacted);
        mode.ExecDirect("PRAGMA journal_mode");
        ASSERT_TRUE(mode.Fetch());
        std::string journal;
        mode.GetText(1, journal);
        EXPECT_EQ(journal, "wal") << "the compacted file keeps the write-ahead log";
    }

    const std::string copy = m_install.Path() + "/data/Copy.DB";
    ASSERT_EQ(RunConsole({"-Compact", DatabasePath(), copy}), 0) << "file names keep their case";
    COdbcConnection connection;
    connection.Open("Driver=" + FindOdbcDriverLibrary("libsqlite3odbc.so") + ";Database=" + copy + ";NoCreat=1");
    connection.ExecuteSQL("SELECT * FROM tw3_registry");
    connection.Close();

    EXPECT_EQ(RunConsole({"-compact", m_install.Path() + "/data/missing.db"}), 5);
    EXPECT_FALSE(std::filesystem::exists(m_install.Path() + "/data/missing.db")) << "nothing is created";
}

TEST_F(CommandLineTest, TheServiceIsStartedAndStoppedThroughTheServiceManager)
{
    m_install.WriteSettings("");
    m_systemctl.InstallUnit();
    ASSERT_EQ(RunConsole({"-start"}), 0);
    EXPECT_NE(m_systemctl.Calls().find("start --no-block TarnwickServer3.service"), std::string::npos);
    EXPECT_FALSE(ServerRuns()) << "no program is launched in service mode";
    EXPECT_EQ(RunConsole({"-compact"}), 6) << "the running service blocks compaction";
    ASSERT_EQ(RunConsole({"-stop"}), 0);
    EXPECT_NE(m_systemctl.Calls().find("stop --no-block TarnwickServer3.service"), std::string::npos);

    m_systemctl.Set("start-fails");
    EXPECT_EQ(RunConsole({"-start"}), 3);
}

TEST_F(CommandLineTest, ASecondInteractiveConsoleOnlyCallsTheFirstForward)
{
    m_install.WriteSettings("GeneralOrganizationName=Example\nFQDN=127.0.0.1\n");
    MakeDatabaseWithFreePages();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const TempFolder profile("tw-console-profile");
    setenv("XDG_CONFIG_HOME", profile.Path().c_str(), 1);
    std::vector<std::string> arguments{ConsoleProgramPath()};
    std::vector<char*> argv{arguments[0].data(), nullptr};
    pid_t first = 0;
    ASSERT_EQ(posix_spawn(&first, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    const std::string lock = m_install.Path() + "/tmp/twConsole3EnsureSingle.sock";
    EXPECT_TRUE(WaitFor([&lock] { return std::filesystem::exists(lock); }, std::chrono::seconds(20)))
        << "the first console passed its start-up and listens";
    EXPECT_EQ(RunConsole({}), 0);
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0) << "the first console still runs";
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
}

TEST_F(CommandLineTest, UnreadableSettingsEndTheActionWithCode2)
{
    mkdir((m_install.Path() + "/etc/settings.conf").c_str(), 0700);
    EXPECT_EQ(RunConsole({"-start"}), 2);
    EXPECT_FALSE(ServerRuns());
}

}  // namespace
