// The debugger through real runs: script sessions on the debugger's script thread and page
// sessions on its own web server asked by curl, paused at breakpoints, read through watches,
// stepped, continued and stopped.
#include "studio/debugger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/ascii_text.h"
#include "foundation/number_parse.h"
#include "language/ssp_engine.h"
#include "tests/network/test_certificates.h"
#include "tests/studio/studio_install.h"
#include "tests/support/log_capture.h"
#include "tests/support/run_program.h"
#include "tests/support/wait_for.h"
#include "tests/webserver/http_reply.h"

namespace {

using namespace std::chrono_literals;

std::string UpperAscii(std::string text)
{
    for (char& c : text)
        c = ToUpperAscii(c);
    return text;
}

// Records the notifications as the studio's window would receive them.
class CRecordingWindow : public CDebuggerWindow
{
public:
    struct Pause
    {
        int line = 0;
        std::string path;
    };

    void PostRunStarted() override
    {
        std::lock_guard lock(m_lock);
        ++m_started;
    }
    void PostPaused(int line, std::string path) override
    {
        std::lock_guard lock(m_lock);
        m_pauses.push_back({line, std::move(path)});
        m_changed.notify_all();
    }
    void PostPauseEnded() override
    {
        std::lock_guard lock(m_lock);
        ++m_pauseEnds;
    }
    void PostRunEnded() override {}
    void PostRunError(int offset, std::string path) override
    {
        std::lock_guard lock(m_lock);
        m_errors.push_back({offset, std::move(path)});
    }
    void PostOutputLine(std::string text) override
    {
        std::lock_guard lock(m_lock);
        m_output += text;
    }

    // The next pause, or line 0 after the time-out.
    Pause NextPause(std::chrono::milliseconds limit = 10s)
    {
        std::unique_lock lock(m_lock);
        if (!m_changed.wait_for(lock, limit, [this] { return !m_pauses.empty(); }))
            return {};
        Pause pause = m_pauses.front();
        m_pauses.pop_front();
        return pause;
    }
    bool HasPendingPause()
    {
        std::lock_guard lock(m_lock);
        return !m_pauses.empty();
    }
    std::vector<Pause> Errors()
    {
        std::lock_guard lock(m_lock);
        return m_errors;
    }
    std::string Output()
    {
        std::lock_guard lock(m_lock);
        return m_output;
    }
    int PauseEnds()
    {
        std::lock_guard lock(m_lock);
        return m_pauseEnds;
    }
    int Started()
    {
        std::lock_guard lock(m_lock);
        return m_started;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Pause> m_pauses;
    std::vector<Pause> m_errors;
    std::string m_output;
    int m_started = 0;
    int m_pauseEnds = 0;
};

class DebuggerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CSspEngine::InstallDebugHooks(&m_debugger);
        m_debugger.SetWindow(&m_window);
        m_debugger.SetPort("0");
    }
    void TearDown() override
    {
        if (!m_debugger.IsIdle())
            m_debugger.Stop(false);
        m_debugger.SetWindow(nullptr);
        CSspEngine::InstallDebugHooks(nullptr);
    }

    // Starts the page session and returns its port.
    std::string StartPages()
    {
        m_debugger.Go("");
        EXPECT_TRUE(m_debugger.IsRunning());
        return std::to_string(m_debugger.GetListenerPort());
    }

    // Asks for a page on a thread of its own; the future holds curl's output.
    std::future<std::string> Request(const std::string& port, const std::string& urlPath)
    {
        const std::string out = CStudioInstall::Path() + "/tmp/curl" + std::to_string(++m_requests) + ".out";
        return std::async(std::launch::async, [port, urlPath, out] {
            RunProgram({"curl", "-s", "-i", "--max-time", "30", "http://127.0.0.1:" + port + urlPath}, out);
            std::ifstream in(out, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        });
    }

    CLogCapture m_log;
    CDebugger m_debugger;
    CRecordingWindow m_window;
    int m_requests = 0;
};

TEST_F(DebuggerTest, BreakpointListComparesPathsWithoutRegardToCase)
{
    m_debugger.ToggleBreakpoint("/w/Page.twp", 3);
    m_debugger.ToggleBreakpoint("/w/page.twp", 7);
    m_debugger.ToggleBreakpoint("/w/page.tws", 1);
    m_debugger.ToggleBreakpoint("/w/page.tw", 9);
    EXPECT_TRUE(m_debugger.HasBreakpoint("/W/PAGE.TWP", 3));
    EXPECT_FALSE(m_debugger.HasBreakpoint("/w/page.twp", 4));
    // Only the file's own breakpoints, not those of a file whose name begins like it.
    EXPECT_EQ(m_debugger.GetBreakpointLines("/w/page.twp", 128), (std::vector<int>{3, 7}));
    EXPECT_EQ(m_debugger.GetBreakpointLines("/w/page.tw", 128), (std::vector<int>{9}));
    EXPECT_EQ(m_debugger.GetBreakpointLines("/w/page.twp", 1), (std::vector<int>{3}));
    EXPECT_EQ(m_debugger.GetBreakpointList(), "/w/Page.twp?3\n/w/page.twp?7\n/w/page.tws?1\n/w/page.tw?9\n");

    // A second toggle, in any case, removes it.
    m_debugger.ToggleBreakpoint("/W/page.TWP", 3);
    EXPECT_FALSE(m_debugger.HasBreakpoint("/w/page.twp", 3));
    EXPECT_EQ(m_debugger.GetBreakpointLines("/w/page.twp", 128), (std::vector<int>{7}));
    m_debugger.ClearBreakpoints();
    EXPECT_EQ(m_debugger.GetBreakpointList(), "");

    EXPECT_TRUE(CDebugger::IsTemplateFile("/a/b.TWP"));
    EXPECT_FALSE(CDebugger::IsTemplateFile("/a/b.tws"));
    EXPECT_FALSE(CDebugger::IsTemplateFile("/a.twp/b"));
    EXPECT_FALSE(CDebugger::IsTemplateFile(""));
}

TEST_F(DebuggerTest, ScriptStopsOnFirstLineOfStatementsReadsWatchesAndEnds)
{
    const std::string path = CStudioInstall::WebFile("script/s1.tws", "Local.a = 1;\n"
                                                                      "Local.b = 2 +\n"
                                                                      "    3;\n"
                                                                      "Local.c = Local.a + Local.b;\n"
                                                                      "Local.d = 'done';\n");
    EXPECT_EQ(m_debugger.GetWatchValue("Local.a"), CDebugger::kNotPausedText);
    // The second line of a statement never stops; the path is spelled in another case.
    m_debugger.ToggleBreakpoint(path, 3);
    m_debugger.ToggleBreakpoint(UpperAscii(path), 4);
    m_debugger.Go(path);
    EXPECT_TRUE(m_log.Contains("Debugger started."));

    CRecordingWindow::Pause pause = m_window.NextPause();
    ASSERT_EQ(pause.line, 4);
    EXPECT_EQ(pause.path, path);
    EXPECT_TRUE(m_debugger.IsPaused());
    EXPECT_FALSE(m_debugger.IsPausedInCall());
    EXPECT_EQ(m_debugger.GetPausedLine(path), 4);
    EXPECT_EQ(m_debugger.GetPausedLine("/other.tws"), 0);
    EXPECT_TRUE(m_debugger.IsCurrentFile(UpperAscii(path)));
    EXPECT_EQ(m_debugger.GetWatchValue("Local.b"), "5");
    // A failed evaluation shows its error text; the statement at the pause has not run yet.
    EXPECT_EQ(m_debugger.GetWatchValue("Local.c"), "Local variable not defined. Use a set statement to define it: c");

    m_debugger.SingleStep("");
    pause = m_window.NextPause();
    ASSERT_EQ(pause.line, 5);
    EXPECT_EQ(m_debugger.GetWatchValue("Local.c"), "6");

    m_debugger.Go("");
    ASSERT_TRUE(WaitFor([this] { return m_debugger.IsIdle(); }, 10s));
    EXPECT_TRUE(m_log.Contains("Debugger ended."));
    EXPECT_EQ(m_debugger.GetWatchValue("Local.c"), CDebugger::kNotPausedText);
    EXPECT_FALSE(m_window.HasPendingPause());
    EXPECT_GE(m_window.Started(), 1);
}

TEST_F(DebuggerTest, SingleStepStartsAtTheFirstStatementAndRefusesPages)
{
    const std::string path = CStudioInstall::WebFile("script/s2.tws", "\n\nLocal.a = 1;\nLocal.b = 2;\n");
    m_debugger.SingleStep(path);
    CRecordingWindow::Pause pause = m_window.NextPause();
    EXPECT_EQ(pause.line, 3);
    m_debugger.SingleStep("");
    EXPECT_EQ(m_window.NextPause().line, 4);
    EXPECT_EQ(m_debugger.GetWatchValue("Local.a + 1"), "2");
    m_debugger.Go("");
    ASSERT_TRUE(WaitFor([this] { return m_debugger.IsIdle(); }, 10s));

    m_debugger.SingleStep("/x/page.twp");
    EXPECT_TRUE(m_log.Contains("Internal Error."));
    EXPECT_TRUE(m_debugger.IsIdle());
}

TEST_F(DebuggerTest, StepOutStopsAfterTheInnerCallAndAfterTheFunction)
{
    const std::string path = CStudioInstall::WebFile("script/s3.tws", "function f()\n"
                                                                      "  Local.x = 1;\n"
                                                                      "  Local.y = Local.g();\n"
                                                                      "  return Local.y + Local.x;\n"
                                                                      "endfunction\n"
                                                                      "function g()\n"
                                                                      "  return 7;\n"
                                                                      "endfunction\n"
                                                                      "Local.r = Local.f();\n"
                                                                      "Local.s = Local.r;\n");
    m_debugger.ToggleBreakpoint(path, 2);
    m_debugger.Go(path);
    ASSERT_EQ(m_window.NextPause().line, 2);
    EXPECT_TRUE(m_debugger.IsPausedInCall());
    // The file's line in the paused chain is that of the innermost run of the file.
    EXPECT_EQ(m_debugger.GetPausedLine(path), 2);
    // A watch may call a function of the paused run; its run neither pauses nor waits.
    EXPECT_EQ(m_debugger.GetWatchValue("Local.g()"), "7");

    m_debugger.StepOut();
    ASSERT_EQ(m_window.NextPause().line, 4);
    EXPECT_TRUE(m_debugger.IsPausedInCall());
    EXPECT_EQ(m_debugger.GetWatchValue("Local.y"), "7");

    m_debugger.StepOut();
    ASSERT_EQ(m_window.NextPause().line, 10);
    EXPECT_FALSE(m_debugger.IsPausedInCall());
    EXPECT_EQ(m_debugger.GetWatchValue("Local.r"), "8");
    m_debugger.Go("");
    ASSERT_TRUE(WaitFor([this] { return m_debugger.IsIdle(); }, 10s));
}

TEST_F(DebuggerTest, StopWhilePausedEndsTheRunWithoutRunningOn)
{
    const std::string path = CStudioInstall::WebFile("script/s4.tws", "log 'before';\nlog 'after';\n");
    m_debugger.ToggleBreakpoint(path, 2);
    m_debugger.Go(path);
    ASSERT_EQ(m_window.NextPause().line, 2);
    m_debugger.Stop(true);
    EXPECT_TRUE(m_debugger.IsIdle());
    EXPECT_TRUE(m_log.Contains("before"));
    EXPECT_FALSE(m_log.Contains("after"));
    int ended = 0;
    for (const std::string& entry : m_log.Entries())
        ended += entry.find("Debugger ended.") != std::string::npos;
    EXPECT_EQ(ended, 1);
}

TEST_F(DebuggerTest, BreakPausesARunningLoopAndAFailedRunIsReported)
{
    const std::string loop =
        CStudioInstall::WebFile("script/s5.tws", "Local.i = 0;\nwhile (1)\n  Local.i = Local.i + 1;\nendwhile\n");
    m_debugger.Go(loop);
    ASSERT_TRUE(WaitFor([this] { return m_debugger.HasRunningEngine(); }, 10s));
    m_debugger.Break();
    // The run pauses at its next statement, which is still the first one when the break comes
    // before the loop has begun.
    const int line = m_window.NextPause().line;
    EXPECT_TRUE(line >= 1 && line <= 4) << line;
    // Three statements in a row of the loop include one increment.
    for (int step = 0; step < 3; ++step) {
        m_debugger.SingleStep("");
        ASSERT_GT(m_window.NextPause().line, 0);
    }
    EXPECT_GT(ParseInt32(m_debugger.GetWatchValue("Local.i")), 0);
    m_debugger.Stop(false);
    EXPECT_TRUE(m_debugger.IsIdle());

    const std::string failing = CStudioInstall::WebFile("script/s6.tws", "Local.a = 1;\nLocal.b = Nowhere.x;\n");
    m_debugger.Go(failing);
    ASSERT_TRUE(WaitFor([this] { return m_debugger.IsIdle() && !m_window.Errors().empty(); }, 10s));
    const CRecordingWindow::Pause error = m_window.Errors().front();
    EXPECT_EQ(error.path, failing);
    // The offset lies in the failing statement's line.
    EXPECT_GE(error.line, static_cast<int>(std::string("Local.a = 1;\n").size()));
    EXPECT_LT(error.line, static_cast<int>(std::string("Local.a = 1;\nLocal.b = Nowhere.x;").size()));
    EXPECT_TRUE(m_log.Contains("Unknown Object"));
}

TEST_F(DebuggerTest, PageSessionPausesOnTextAndStatementLinesAndCompletesThePage)
{
    const std::string page = CStudioInstall::WebFile("p1.twp", "<html>\n"
                                                               "<!--{ Local.n = 40; }-->\n"
                                                               "text line\n"
                                                               "<!--{ Local.n = Local.n + 2;\n"
                                                               "  write Local.n; }-->\n"
                                                               "end\n");
    for (int line : {1, 2, 3})
        m_debugger.ToggleBreakpoint(page, line);
    const std::string port = StartPages();
    EXPECT_TRUE(m_log.Contains("Debugger has started its web server at http://127.0.0.1:" + port));
    auto reply = Request(port, "/p1.twp");

    ASSERT_EQ(m_window.NextPause().line, 1);
    m_debugger.Go("");
    // The line that opens a code block stops once, at its statement.
    ASSERT_EQ(m_window.NextPause().line, 2);
    m_debugger.Go("");
    ASSERT_EQ(m_window.NextPause().line, 3);
    EXPECT_EQ(m_debugger.GetWatchValue("Local.n"), "40");
    m_debugger.SingleStep("");
    ASSERT_EQ(m_window.NextPause().line, 4);
    m_debugger.SingleStep("");
    ASSERT_EQ(m_window.NextPause().line, 5);
    EXPECT_EQ(m_debugger.GetWatchValue("Local.n"), "42");
    m_debugger.ClearBreakpoints();
    m_debugger.Go("");

    const HttpReply http = HttpReply::Parse(reply.get());
    EXPECT_EQ(http.statusLine, "HTTP/1.0 200 OK");
    EXPECT_NE(http.body.find("42\nend"), std::string::npos) << http.body;
    EXPECT_TRUE(m_debugger.IsRunning());
    const std::string output = m_window.Output();
    EXPECT_NE(output.find("Request Header"), std::string::npos);
    EXPECT_NE(output.find("GET /p1.twp"), std::string::npos);
    EXPECT_NE(output.find("HTML Generated"), std::string::npos);
    EXPECT_NE(output.find("Response Header"), std::string::npos);

    m_debugger.Stop(true);
    EXPECT_TRUE(m_debugger.IsIdle());
    EXPECT_EQ(m_debugger.GetListenerPort(), 0);
    EXPECT_TRUE(m_log.Contains("Debugger ended."));
}

TEST_F(DebuggerTest, ASecondRequestWaitsForThePausedRun)
{
    const std::string first = CStudioInstall::WebFile("w1.twp", "one\n<!--{ Local.a = 1; }-->\nfirst done");
    CStudioInstall::WebFile("w2.twp", "second done");
    m_debugger.ToggleBreakpoint(first, 2);
    const std::string port = StartPages();
    auto firstReply = Request(port, "/w1.twp");
    ASSERT_EQ(m_window.NextPause().line, 2);

    auto secondReply = Request(port, "/w2.twp");
    ASSERT_TRUE(WaitFor([this] { return m_log.Contains("Waiting for last .twp/.tws to finish."); }, 10s));
    EXPECT_EQ(secondReply.wait_for(1500ms), std::future_status::timeout);
    // It says so once, not at every step of its wait.
    const std::vector<std::string> entries = m_log.Entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "Waiting for last .twp/.tws to finish.\r\n"), 1);

    m_debugger.Go("");
    EXPECT_NE(firstReply.get().find("first done"), std::string::npos);
    EXPECT_NE(secondReply.get().find("second done"), std::string::npos);
}

TEST_F(DebuggerTest, StopWhileAPageIsPausedClosesItsConnection)
{
    const std::string page =
        CStudioInstall::WebFile("s.twp", "<!--{ log 'page before'; }-->\n<!--{ log 'page after'; }-->");
    m_debugger.ToggleBreakpoint(page, 2);
    auto reply = Request(StartPages(), "/s.twp");
    ASSERT_EQ(m_window.NextPause().line, 2);
    m_debugger.Stop(true);
    EXPECT_TRUE(m_debugger.IsIdle());
    EXPECT_EQ(reply.get(), "");
    EXPECT_TRUE(m_log.Contains("page before"));
    EXPECT_FALSE(m_log.Contains("page after"));
}

TEST_F(DebuggerTest, SecuredWebServerNeedsTheConfiguredCertificate)
{
    CStudioInstall::WebFile("tls.twp", "secured <!--{ write 6 * 7; }-->");
    m_debugger.SetSsl(1);
    m_debugger.Go("");
    EXPECT_TRUE(m_debugger.IsIdle());
    EXPECT_TRUE(m_log.Contains("Failed to initialized SSL."));

    const std::string work = CStudioInstall::Path() + "/work";
    std::filesystem::create_directories(work);
    std::filesystem::create_directories(CStudioInstall::Path() + "/certs");
    CTestCertificates make(work);
    ASSERT_TRUE(make.MakeSelfSigned("ca", "/O=Tarnwick/CN=Tarnwick Test CA", "0x01"));
    ASSERT_TRUE(make.MakeSigned("server", "/O=Tarnwick/CN=localhost", "0x0A1B2C3D4E", "ca"));
    ASSERT_TRUE(make.Install("server", CStudioInstall::Path() + "/certs/server.pem", {"ca"}));
    const std::string settings = CStudioInstall::Path() + "/etc/settings.conf";
    const std::string plain = ReadWholeFile(settings);
    std::ofstream(settings, std::ios::app) << "SecurityCertName=localhost\nSecurityCertIssuer=Tarnwick Test CA\n"
                                              "SecurityCertSerial=0A1B 2C3D 4E\n";
    m_debugger.Go("");
    std::ofstream(settings, std::ios::trunc) << plain;
    ASSERT_TRUE(m_debugger.IsRunning());
    const std::string port = std::to_string(m_debugger.GetListenerPort());
    EXPECT_TRUE(m_log.Contains("Debugger has started its secured web server at https://127.0.0.1:" + port));
    const std::string out = work + "/curl.out";
    EXPECT_EQ(RunProgram({"curl", "-s", "--max-time", "20", "--cacert", make.CertificatePath("ca"),
                          "https://127.0.0.1:" + port + "/tls.twp"},
                         out),
              0);
    EXPECT_EQ(ReadWholeFile(out), "secured 42");
    m_debugger.Stop(true);
    EXPECT_TRUE(m_debugger.IsIdle());
}

TEST_F(DebuggerTest, ABreakpointOnTheLineThatClosesABlockPausesOncePerPass)
{
    const std::string page = CStudioInstall::WebFile("close.twp", "<p>\n"
                                                                  "<!--{ Local.x = 1 +\n"
                                                                  "  2;\n"
                                                                  "  Local.y = Local.x; }-->\n"
                                                                  "<!--{ write Local.y; }-->\n");
    m_debugger.ToggleBreakpoint(page, 4);
    auto reply = Request(StartPages(), "/close.twp");
    // The pause comes before the line's statement, with the block's earlier statement done.
    ASSERT_EQ(m_window.NextPause().line, 4);
    EXPECT_EQ(m_debugger.GetWatchValue("Local.x"), "3");
    EXPECT_EQ(m_debugger.GetWatchValue("Local.y"), "Local variable not defined. Use a set statement to define it: y");

    // Continuing runs the page to its end: the text after the closer does not stop again.
    m_debugger.Go("");
    ASSERT_EQ(reply.wait_for(20s), std::future_status::ready);
    EXPECT_NE(reply.get().find("3"), std::string::npos);
    EXPECT_FALSE(m_window.HasPendingPause());

    // Stepping still shows the rest of that line as its own step.
    m_debugger.ToggleBreakpoint(page, 4);
    m_debugger.ToggleBreakpoint(page, 2);
    auto again = Request(std::to_string(m_debugger.GetListenerPort()), "/close.twp");
    ASSERT_EQ(m_window.NextPause().line, 2);
    m_debugger.SingleStep("");
    ASSERT_EQ(m_window.NextPause().line, 4);
    m_debugger.SingleStep("");
    ASSERT_EQ(m_window.NextPause().line, 4);
    EXPECT_EQ(m_debugger.GetWatchValue("Local.y"), "3");
    m_debugger.ClearBreakpoints();
    m_debugger.Go("");
    ASSERT_EQ(again.wait_for(20s), std::future_status::ready);
}

TEST_F(DebuggerTest, TheWindowHearsWhenAPauseEnds)
{
    const std::string path = CStudioInstall::WebFile("script/ends.tws", "Local.a = 1;\nLocal.b = 2;\nLocal.c = 3;\n");
    m_debugger.ToggleBreakpoint(path, 2);
    m_debugger.Go(path);
    ASSERT_EQ(m_window.NextPause().line, 2);
    EXPECT_EQ(m_window.PauseEnds(), 0);
    m_debugger.SingleStep("");
    EXPECT_EQ(m_window.PauseEnds(), 1);
    ASSERT_EQ(m_window.NextPause().line, 3);
    // Stop while paused ends that pause too.
    m_debugger.Stop(true);
    EXPECT_EQ(m_window.PauseEnds(), 2);
    EXPECT_TRUE(m_debugger.IsIdle());
}

TEST_F(DebuggerTest, AFailedScriptLogsItsErrorOnceAndTheSessionEndsLast)
{
    const std::string path = CStudioInstall::WebFile("script/fails.tws", "Local.a = 1;\nLocal.b = Nowhere.x;\n");
    m_debugger.Go(path);
    ASSERT_TRUE(WaitFor([this] { return m_debugger.IsIdle() && m_log.Contains("Debugger ended."); }, 10s));
    const std::vector<std::string> entries = m_log.Entries();
    const auto first = [&entries](const std::string& text) {
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].find(text) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    };
    int errors = 0;
    for (const std::string& entry : entries)
        errors += entry.find("Unknown Object") != std::string::npos;
    EXPECT_EQ(errors, 1) << ::testing::PrintToString(entries);
    const int webRoot = first("Web root: " + CStudioInstall::Path() + "/webroot");
    const int debuggerStarted = first("Debugger started.");
    const int started = first(path + " started running.");
    const int error = first("Unknown Object");
    const int scriptEnded = first(path + " ended.");
    const int debuggerEnded = first("Debugger ended.");
    EXPECT_GE(webRoot, 0);
    EXPECT_LT(webRoot, debuggerStarted);
    EXPECT_LT(debuggerStarted, started);
    EXPECT_LT(started, error);
    EXPECT_LT(error, scriptEnded);
    EXPECT_LT(scriptEnded, debuggerEnded) << ::testing::PrintToString(entries);
    EXPECT_EQ(m_window.Errors().size(), 1u);
}

TEST_F(DebuggerTest, AFailedCallIsLoggedOnceInsideItsCallersReport)
{
    CStudioInstall::WebFile("script/lib.tws", "function broken()\n  Local.z = Nowhere.x;\nendfunction\n");
    const std::string page =
        CStudioInstall::WebFile("calls.twp", "<!--{ file lib('/script/lib.tws'); lib.broken(); }-->");
    auto reply = Request(StartPages(), "/calls.twp");
    reply.get();
    int errors = 0;
    for (const std::string& entry : m_log.Entries())
        errors += entry.find("Unknown Object") != std::string::npos;
    EXPECT_EQ(errors, 1) << ::testing::PrintToString(m_log.Entries());
    // The editor still hears of both places: the failing statement and the call that reached it.
    EXPECT_EQ(m_window.Errors().size(), 2u);
    EXPECT_EQ(m_window.Errors().back().path, page);
}

TEST(DebuggerPortTest, OnlyWholeNumbersFrom1To65535)
{
    for (const char* port : {"1", "80", "8085", "65535"})
        EXPECT_TRUE(CDebugger::IsValidPort(port)) << port;
    for (const char* port : {"", "0", "65536", "70000", "abc", "80a", " 80", "+80", "-1", "99999999999"})
        EXPECT_FALSE(CDebugger::IsValidPort(port)) << port;
}

TEST_F(DebuggerTest, AnUnusablePortLeavesTheDebuggerIdle)
{
    const std::string port = StartPages();
    CDebugger second;
    second.SetPort(port);
    second.Go("");
    EXPECT_TRUE(second.IsIdle());
    EXPECT_EQ(second.GetListenerPort(), 0);
    EXPECT_TRUE(m_log.Contains("Make sure the TCP port for Tarnwick Studio is available"));
    // The busy port is put down to another program, whatever it is.
    EXPECT_TRUE(m_log.Contains("Another program uses this address and port; \"ss -ltnp\" shows which."));
}

}  // namespace
