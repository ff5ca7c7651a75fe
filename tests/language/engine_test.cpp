#include "language/ssp_engine.h"

#include "foundation/server_config.h"
#include "foundation/ssp_exception.h"
#include "language/debug_hooks.h"
#include "language/output_sink.h"
#include "language/ssp_app.h"
#include "platform/file_system.h"
#include "script_runner.h"
#include "tests/support/wait_for.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <system_error>
#include <thread>

namespace {

// Drives the run loop with a few test statements, so that every run result and error path can be
// reached: echo 'text'; ret; redirect; fail 'message'; failat <offset> 'message'; failnone 'message';
// errfile 'path'; call <function>;
// raise <kind>; busy (notes how many runs execute at once).
class TestEngine : public CSspEngine
{
public:
    using CSspEngine::CSspEngine;
    static inline std::atomic<int> active{0};
    static inline std::atomic<int> mostActive{0};

protected:
    int ExecuteStatement(const CSspOp& op) override
    {
        const CSspToken first = FirstToken(op);
        if (first.text == "echo") {
            Response()->Write(DecodeString(ReadToken().text));
            return kRunCompleted;
        }
        if (first.text == "ret")
            return kRunReturned;
        if (first.text == "redirect")
            return kRunRedirected;
        if (first.text == "fail")
            throw CSspException(DecodeString(ReadToken().text), first.start);
        if (first.text == "failat") {
            int position = std::stoi(std::string(ReadToken().text));
            throw CSspException(DecodeString(ReadToken().text), position);
        }
        if (first.text == "errfile") {
            SetErrorFile(DecodeString(ReadToken().text));
            return kRunCompleted;
        }
        if (first.text == "failnone")
            throw CSspException(DecodeString(ReadToken().text), kNoPosition);
        if (first.text == "call") {
            std::string name(ReadToken().text);
            TestEngine child(TopEngine());
            CSspRunArgs args{.filePath = FilePath(),
                             .urlPath = UrlPath(),
                             .request = Request(),
                             .response = Response(),
                             .functionName = name};
            RunNested(child, args, first.start);
            return kRunCompleted;
        }
        if (first.text == "raise") {
            std::string_view kind = ReadToken().text;
            if (kind == "memory")
                throw std::bad_alloc();
            if (kind == "file")
                throw std::system_error(ENOENT, std::generic_category(), "reading data.txt");
            throw 42;
        }
        if (first.text == "busy") {
            int now = ++active;
            int seen = mostActive.load();
            while (now > seen && !mostActive.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            --active;
            return kRunCompleted;
        }
        return CSspEngine::ExecuteStatement(op);
    }
};

class EngineTest : public ::testing::Test
{
protected:
    // Runs a whole file (or one function of it) in a fresh top-level engine.
    int RunFile(const std::string& path, std::string_view function = {})
    {
        TestEngine engine;
        CSspRunArgs args{.filePath = path, .urlPath = "/app/sub/page.twp", .response = &sink, .functionName = function};
        int result = engine.Run(args);
        errorText = engine.ErrorText();
        errorPosition = engine.ErrorPosition();
        return result;
    }
    int RunText(std::string_view name, std::string_view text, std::string_view function = {})
    {
        return RunFile(folder.Write(name, text), function);
    }
    std::string Report(const std::string& path, int line, int column, std::string_view source,
                       std::string_view message) const
    {
        return path + " (" + std::to_string(line) + "," + std::to_string(column) + "): \r\n" + std::string(source) +
               "\r\n\r\n" + std::string(message);
    }

    ScriptFolder folder;
    StringSink sink;
    std::string errorText;
    int errorPosition = kNoPosition;
};

TEST_F(EngineTest, TemplateTextAndBlocksProduceThePage)
{
    EXPECT_EQ(RunText("p.twp", "<p>\nx <!--{ echo 'E'; ; }--> y\n--{ echo 'O' }--\nend"), kRunCompleted);
    EXPECT_EQ(sink.output, "<p>\nx E y\nO\nend");
    EXPECT_EQ(sink.closed, 1);

    sink.output.clear();
    EXPECT_EQ(RunText("s.tws", "echo 'a'; // note\necho 'b';"), kRunCompleted);
    EXPECT_EQ(sink.output, "ab");

    sink.output.clear();
    EXPECT_EQ(RunText("empty.twp", ""), kRunCompleted);
    EXPECT_EQ(sink.output, "");
}

TEST_F(EngineTest, StatementsEndTheRunWithTheirResult)
{
    EXPECT_EQ(RunText("r.twp", "a<!--{ ret }-->b"), kRunReturned);
    EXPECT_EQ(sink.output, "a");
    EXPECT_EQ(RunText("d.twp", "<!--{ redirect; echo 'x' }-->"), kRunRedirected);
    EXPECT_EQ(sink.output, "a");
    EXPECT_EQ(RunText("f.tws", "fail 'bad thing';"), kRunFailed);
    EXPECT_EQ(errorText, Report(folder.Path() + "/f.tws", 1, 1, "fail 'bad thing';", "bad thing"));
    EXPECT_EQ(errorPosition, 0);
}

TEST_F(EngineTest, CodeBlockClosers)
{
    EXPECT_EQ(RunText("a.twp", "<!--{ echo 'x' }-- \n >y"), kRunCompleted);
    EXPECT_EQ(sink.output, "xy");

    // "}-->=" closes the block; the "=" is template text.
    sink.output.clear();
    EXPECT_EQ(RunText("b.twp", "<!--{ }-->=z"), kRunCompleted);
    EXPECT_EQ(sink.output, "=z");

    std::string path = folder.Write("c.twp", "<!--{ }--x");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 1, 10, "<!--{ }--x", "Should be }-->"));
    EXPECT_EQ(errorPosition, 9);
    // A closer cut off at the end of the file.
    path = folder.Write("d.twp", "x\n<!--{ write 1; }--");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 2, 18, "<!--{ write 1; }--", "Should be }-->"));
    path = folder.Write("e.twp", "<!--{ if (1) }-->\ntext\r\n");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 1, 7, "<!--{ if (1) }-->", "Missing matching endif."));
}

TEST_F(EngineTest, UnclosedBlockFailsOnlyAWholePage)
{
    // Found at the end of the file, the error names the file and its last line.
    std::string path = folder.Write("open.twp", "first\r\ntext <!--{ echo 'x';");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 2, 20, "text <!--{ echo 'x';", "Missing }--"));
    path = folder.Write("open2.twp", "text --{ echo 'x';\n");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 1, 19, "text --{ echo 'x';", "Missing }--"));
    // A script starts and may end in code.
    EXPECT_EQ(RunText("open.tws", "echo 'x';"), kRunCompleted);
    sink.output.clear();
    // A function of a page runs in code and ends at its endfunction.
    EXPECT_EQ(RunText("fn.twp", "<!--{ function f() echo 'in f'; endfunction }-->", "f"), kRunCompleted);
    EXPECT_EQ(sink.output, "in f");
}

TEST_F(EngineTest, ReportsGiveLineColumnAndSourceLine)
{
    std::string path = folder.Write("e.twp", "ab\r\n<!--{\tfailat 0 '100% sure' }-->\nlast");
    EXPECT_EQ(RunFile(path), kRunFailed);
    // Every "%" stands as written.
    EXPECT_EQ(errorText, Report(path, 1, 1, "ab", "100% sure"));

    // A CR counts as a column of the line it ends, and a position on the line feed shows that line.
    path = folder.Write("e2.twp", "ab\r\n<!--{\tfailat 3 'at lf' }-->\nlast");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 1, 4, "ab", "at lf"));
    EXPECT_EQ(errorPosition, 3);

    path = folder.Write("e3.tws", "// x\r\n\tfail '%d' //50%\nlast");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 2, 2, "\tfail '%d' //50%", "%d"));

    // The last line without a line feed is a line like any other.
    path = folder.Write("e4.tws", ";\nfail 'end'");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 2, 1, "fail 'end'", "end"));

    // Without a position inside the text the report is the bare message.
    EXPECT_EQ(RunText("e5.tws", "failnone 'plain'"), kRunFailed);
    EXPECT_EQ(errorText, "plain");
    EXPECT_EQ(errorPosition, kNoPosition);
    EXPECT_EQ(RunText("e6.tws", "failat 999 'beyond'"), kRunFailed);
    EXPECT_EQ(errorText, "beyond");
}

TEST_F(EngineTest, OtherExceptionsBecomeReportsAtTheCursor)
{
    std::string path = folder.Write("x.tws", "raise memory;");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 1, 13, "raise memory;", "Out of memory."));
    EXPECT_EQ(RunText("y.tws", "raise file;"), kRunFailed);
    EXPECT_NE(errorText.find("reading data.txt: No such file or directory"), std::string::npos);
    EXPECT_EQ(RunText("z.tws", "raise other;"), kRunFailed);
    EXPECT_NE(errorText.find("\r\n\r\nUnknown server error."), std::string::npos);
    EXPECT_EQ(RunText("w.tws", "nonsense;"), kRunFailed);
}

TEST_F(EngineTest, LoadFailures)
{
    std::string missing = folder.Path() + "/none.twp";
    EXPECT_EQ(RunFile(missing), kRunFailed);
    EXPECT_EQ(errorText, "Failed to open file: [" + missing + "]. No such file or directory");
    EXPECT_EQ(errorPosition, kNoPosition);

    std::string path = folder.Write("lib.tws", "function f() endfunction");
    EXPECT_EQ(RunFile(path, "g"), kRunFailed);
    EXPECT_EQ(errorText, "Function g not found in file " + path);
}

TEST_F(EngineTest, FunctionsAreFoundByScanningAndPositionsCountFromTheFile)
{
    std::string path = folder.Write("lib.twp", "<p>\n<!--{ function One(a, b)\n echo 'one';\nendfunction\n"
                                               "function two() echo 'two';\n  fail 'in two';\nendfunction }-->\n");
    EXPECT_EQ(RunFile(path, "ONE"), kRunCompleted);
    EXPECT_EQ(sink.output, "one");
    EXPECT_EQ(RunFile(path, "two"), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 6, 3, "  fail 'in two';", "in two"));

    // Running the whole page skips the definitions.
    sink.output.clear();
    EXPECT_EQ(RunFile(path), kRunCompleted);
    EXPECT_EQ(sink.output, "<p>\n\n");
}

TEST_F(EngineTest, BrokenDefinitionsFailTheRunWithAReport)
{
    std::string path = folder.Write("bad.tws", "function f(a, b)\n echo 'x';\n");
    EXPECT_EQ(RunFile(path, "f"), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 1, 1, "function f(a, b)", "Function must end with \"endfunction\" statement."));

    path = folder.Write("bad2.tws", "function f a, b) endfunction");
    EXPECT_EQ(RunFile(path, "f"), kRunFailed);
    EXPECT_NE(errorText.find("Syntax: function name(paramter 1, parameter 2, ...)"), std::string::npos);

    // A literal the scan cannot close is reported where it opens.
    path = folder.Write("bad3.tws", "echo 'x;\nfunction f() endfunction");
    EXPECT_EQ(RunFile(path, "f"), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 1, 6, "echo 'x;", "String missing ending single quote."));

    // Two definitions of one name.
    path = folder.Write("twice.tws", "function f() endfunction\nfunction F() endfunction");
    EXPECT_EQ(RunFile(path), kRunFailed);
    EXPECT_EQ(errorText, Report(path, 2, 10, "function F() endfunction",
                                "The variable or function name has been used. Please choose another one: F"));
}

// Records the hook calls as "kind line", and can ask the run to stop at one of them.
class RecordingHooks : public CSspDebugHooks
{
public:
    void OnInterpreterStart(CSspEngine& engine) override
    {
        Note("start", engine);
        hangAtStart = engine.HangPosition();
    }
    void OnStatement(CSspEngine& engine) override { Note("stmt", engine); }
    void OnTextLine(CSspEngine& engine) override { Note(engine.LineOpensCode() ? "code" : "text", engine); }
    void OnInterpreterEnd(CSspEngine& engine) override
    {
        events.push_back(engine.IsTopEngine() ? "end top" : "end nested");
    }
    bool IsStopRequested() const override { return stopAt != 0 && static_cast<int>(events.size()) >= stopAt; }

    void Note(const char* kind, CSspEngine& engine)
    {
        events.push_back(std::string(kind) + " " + std::to_string(engine.GetLineNumber()));
        if (!engine.IsTopEngine()) {
            CSspEngine* top = engine.TopEngine();
            childLinked = top->RunningChild() == &engine;
            lineInFile = top->GetLineNumber(engine.FilePath());
            sharedFile = top->SourceFile() == engine.SourceFile();
            hang = top->HangPosition();
        }
    }

    std::vector<std::string> events;
    int stopAt = 0;
    std::vector<std::string> hangAtStart;
    std::vector<std::string> hang;
    bool childLinked = false;
    bool sharedFile = false;
    int lineInFile = 0;
};

TEST_F(EngineTest, DebugHooksSeeEveryLineStatementAndRun)
{
    RecordingHooks hooks;
    std::string path = folder.Write("h.twp", "a\nb --{ echo 'x' }--\n<!--{\n echo 'y';\n}-->");
    TestEngine engine;
    engine.SetDebugHooks(&hooks);
    CSspRunArgs args{.filePath = path, .urlPath = "/h.twp", .response = &sink};
    EXPECT_EQ(engine.Run(args), kRunCompleted);
    // A text line that holds an opener is reported as such, so a debugger stops there only once.
    EXPECT_EQ(hooks.events, (std::vector<std::string>{"start 1", "text 1", "code 2", "stmt 2", "code 2", "code 3",
                                                      "stmt 4", "end top"}));
    EXPECT_TRUE(hooks.hangAtStart.empty());
    EXPECT_EQ(sink.output, "a\nb x\ny");

    // Under a debugger every pass of a loop stops at its while too, also the pass that ends it.
    RecordingHooks loopHooks;
    path = folder.Write("l.tws", "Local.i = 0;\nwhile (Local.i < 2)\n  Local.i = Local.i + 1;\nendwhile");
    engine.SetDebugHooks(&loopHooks);
    args.filePath = path;
    EXPECT_EQ(engine.Run(args), kRunCompleted) << engine.ErrorText();
    EXPECT_EQ(loopHooks.events, (std::vector<std::string>{"start 1", "stmt 1", "stmt 2", "stmt 3", "stmt 4", "stmt 2",
                                                          "stmt 3", "stmt 4", "stmt 2", "end top"}));
}

TEST_F(EngineTest, DebuggerStopEndsTheRun)
{
    std::string path = folder.Write("h.twp", "a\n<!--{ echo 'x'; echo 'y' }-->");
    for (int stopAt : {2, 5}) {
        RecordingHooks hooks;
        hooks.stopAt = stopAt;
        TestEngine engine;
        engine.SetDebugHooks(&hooks);
        sink.output.clear();
        CSspRunArgs args{.filePath = path, .urlPath = "/h.twp", .response = &sink};
        EXPECT_EQ(engine.Run(args), kRunStopped);
        EXPECT_EQ(hooks.events.back(), "end top");
        EXPECT_EQ(sink.output, stopAt == 2 ? "" : "a\nx");
    }
}

// Evaluates watch expressions before the statement on line 2 of the top-level run, as the debugger
// does while it holds a run there.
class WatchingHooks : public CSspDebugHooks
{
public:
    void OnInterpreterStart(CSspEngine&) override {}
    void OnStatement(CSspEngine& engine) override
    {
        if (engine.IsTopEngine() && engine.GetLineNumber() == 2) {
            for (const std::string& watch : watches)
                values.push_back(engine.EvalWatch(watch));
        }
    }
    void OnTextLine(CSspEngine&) override {}
    void OnInterpreterEnd(CSspEngine&) override {}
    bool IsStopRequested() const override { return false; }

    std::vector<std::string> watches;
    std::vector<std::string> values;
};

TEST_F(EngineTest, WatchesEvaluateInThePausedRun)
{
    std::string path = folder.Write("w.tws", "Local.x = 20;\necho 'a';\nLocal.x = 1;\n"
                                             "function twice(n) return arg.n * 2; endfunction");
    WatchingHooks hooks;
    // The call's argument list is read from the watch's own text, not from the run's file.
    hooks.watches = {"Local.x + 1", "Local.twice(Local.x + 1)", "Local.nothing", "1 +", "'open", "2) + (3"};
    TestEngine engine;
    engine.SetDebugHooks(&hooks);
    CSspRunArgs args{.filePath = path, .urlPath = "/w.tws", .response = &sink};
    EXPECT_EQ(engine.Run(args), kRunCompleted) << engine.ErrorText();
    EXPECT_EQ(hooks.values, (std::vector<std::string>{"21", "42",
                                                      "Local variable not defined. Use a set statement to define it: "
                                                      "nothing",
                                                      "Missing right operand after */%+-.",
                                                      "String missing ending single quote.", "2"}));
    EXPECT_EQ(sink.output, "a");
}

TEST_F(EngineTest, NestedRunsShareFileAndOutputAndAreLinked)
{
    std::string path = folder.Write("n.tws", "echo '<';\ncall inner;\necho '>';\n"
                                             "function inner()\n  echo 'in';\nendfunction");
    RecordingHooks hooks;
    TestEngine engine;
    engine.SetDebugHooks(&hooks);
    CSspRunArgs args{.filePath = path, .urlPath = "/n.tws", .response = &sink};
    EXPECT_EQ(engine.Run(args), kRunCompleted);
    EXPECT_EQ(sink.output, "<in>");
    EXPECT_EQ(sink.closed, 1);  // only the top engine closes the output
    EXPECT_TRUE(hooks.childLinked);
    EXPECT_TRUE(hooks.sharedFile);
    EXPECT_EQ(hooks.lineInFile, 5);
    EXPECT_EQ(hooks.hang, (std::vector<std::string>{"File: " + path + " called a function at offset 20.",
                                                    "File: " + path + " hanged before offset 55."}));
    EXPECT_EQ(engine.RunningChild(), nullptr);
    EXPECT_EQ(hooks.events.back(), "end top");
    EXPECT_EQ(std::count(hooks.events.begin(), hooks.events.end(), "end nested"), 1);
}

TEST_F(EngineTest, FailedNestedRunFailsTheCallerWithBothReports)
{
    std::string path = folder.Write("n.tws", "call f;\nfunction f()\n fail 'deep';\nendfunction");
    EXPECT_EQ(RunFile(path), kRunFailed);
    std::string inner = Report(path, 3, 2, " fail 'deep';", "deep");
    EXPECT_EQ(errorText, Report(path, 1, 1, "call f;", inner));

    EXPECT_EQ(RunText("m.tws", "call missing;"), kRunFailed);
    EXPECT_NE(errorText.find("Function missing not found in file"), std::string::npos);
}

TEST_F(EngineTest, EachRunReadsItsFilesAfresh)
{
    std::string path = folder.Write("v.tws", "echo 'one';");
    TestEngine engine;
    CSspRunArgs args{.filePath = path, .urlPath = "/v.tws", .response = &sink};
    EXPECT_EQ(engine.Run(args), kRunCompleted);
    EXPECT_EQ(engine.SourceFile(), nullptr);
    folder.Write("v.tws", "echo 'two';");
    EXPECT_EQ(engine.Run(args), kRunCompleted);
    EXPECT_EQ(sink.output, "onetwo");
}

TEST_F(EngineTest, FailingCleanUpNeverHidesTheFirstError)
{
    sink.failOnClose = true;
    EXPECT_EQ(RunText("c.tws", "echo 'x';"), kRunFailed);
    EXPECT_EQ(errorText, " More errors when rolling back and cleaning up. ");
    EXPECT_EQ(RunText("d.tws", "failnone 'first';"), kRunFailed);
    EXPECT_EQ(errorText, "first More errors when rolling back and cleaning up. ");
}

TEST_F(EngineTest, ErrorPageIsResolvedAgainstThePageOrTheWebRoot)
{
    // ".." moves up through the page's folders, but never out of the web root.
    SetProgramDirectory(folder.Path());
    std::filesystem::create_directories(folder.Path() + "/webroot/app/sub");
    const std::string webroot = folder.Path() + "/webroot/";
    const std::string page = folder.Write("webroot/app/sub/p.tws", "errfile '../err.twp';");
    TestEngine engine;
    CSspRunArgs args{.filePath = page, .urlPath = "/app/sub/page.twp"};
    EXPECT_EQ(engine.Run(args), kRunCompleted);
    EXPECT_EQ(engine.ErrorFileUrl(), "/app/err.twp");
    EXPECT_EQ(engine.ErrorFilePath(), webroot + "app/err.twp");
    for (const char* escape :
         {"'../../../../etc/err.twp'", "'/../../etc/err.twp'", "'..\\\\..\\\\..\\\\etc/err.twp'"}) {
        folder.Write("webroot/app/sub/p.tws", "errfile " + std::string(escape) + ";");
        EXPECT_EQ(engine.Run(args), kRunCompleted);
        EXPECT_EQ(engine.ErrorFilePath(), webroot + "etc/err.twp") << escape;
    }
    // A script kept outside the web root stays inside its own folder.
    const std::string outside = folder.Write("p.tws", "errfile '../err.twp';");
    args.filePath = outside;
    EXPECT_EQ(engine.Run(args), kRunCompleted);
    EXPECT_EQ(engine.ErrorFilePath(), folder.Path() + "/err.twp");

    SetProgramDirectory("/opt/tw");
    folder.Write("p.tws", "errfile '/app/e\\\\rr.twp';");
    EXPECT_EQ(engine.Run(args), kRunCompleted);
    EXPECT_EQ(engine.ErrorFileUrl(), "/app/e\\rr.twp");
    EXPECT_EQ(engine.ErrorFilePath(), "/opt/tw/webroot/app/e/rr.twp");
}

TEST_F(EngineTest, ARunOverItsTimeLimitFailsAtAStatementOfANestedCallToo)
{
    const std::string path = folder.Write("spin.tws", "echo 'a';\ncall spin;\necho 'never';\n"
                                                      "function spin()\n  while (1) endwhile\nendfunction");
    TestEngine engine;
    engine.SetRunTimeLimit(1);
    CSspRunArgs args{.filePath = path, .urlPath = "/spin.tws", .response = &sink};
    EXPECT_EQ(engine.Run(args), kRunFailed);
    EXPECT_NE(engine.ErrorText().find("The page exceeded the time limit of 1 seconds and was ended."),
              std::string::npos)
        << engine.ErrorText();
    EXPECT_EQ(sink.output, "a");
    EXPECT_EQ(sink.closed, 1) << "the run ended through its clean-up";

    // Without a limit the same kind of loop runs to its own end.
    const std::string counted = folder.Write("count.tws", "Local.i = 0; while (Local.i < 20000) "
                                                          "Local.i = Local.i + 1; endwhile echo 'done';");
    TestEngine unlimited;
    CSspRunArgs countArgs{.filePath = counted, .urlPath = "/count.tws", .response = &sink};
    EXPECT_EQ(unlimited.Run(countArgs), kRunCompleted) << unlimited.ErrorText();
}

TEST_F(EngineTest, AnEndAskedByAnotherThreadEndsTheRunAtItsNextStatement)
{
    const std::string path = folder.Write("loop.tws", "echo 'x';\nwhile (1) endwhile");
    for (const auto& [reason, text] : std::vector<std::pair<CSspEngine::EndRequest, std::string>>{
             {CSspEngine::EndRequest::kDisconnect, "The page was ended by the administrator."},
             {CSspEngine::EndRequest::kServerStop, "The page was ended because the server is stopping."}}) {
        TestEngine engine;
        StringSink output;
        CSspRunArgs args{.filePath = path, .urlPath = "/loop.tws", .response = &output};
        std::atomic<int> result{-1};
        std::thread run([&] { result = engine.Run(args); });
        // The cursor moves past the echo once the loop has begun.
        ASSERT_TRUE(WaitFor([&] { return engine.Cursor() > 10; }));
        const CSspEngine& seen = engine;
        seen.RequestEnd(reason);
        run.join();
        EXPECT_EQ(result, kRunFailed);
        EXPECT_NE(engine.ErrorText().find(text), std::string::npos) << engine.ErrorText();
    }
}

class SerializedRunTest : public EngineTest
{
protected:
    void SetUp() override { TheServerConfig().m_dbAccessSerialize = 1; }
    void TearDown() override { TheServerConfig().m_dbAccessSerialize = 0; }
};

TEST_F(SerializedRunTest, RunsTakeTurnsAndNestedRunsPass)
{
    std::string path = folder.Write("t.tws", "busy; call f; busy;\nfunction f() busy; endfunction");
    TestEngine::mostActive = 0;
    std::vector<std::thread> threads;
    std::atomic<int> completed{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            StringSink own;
            TestEngine engine;
            CSspRunArgs args{.filePath = path, .urlPath = "/t.tws", .response = &own};
            if (engine.Run(args) == kRunCompleted)
                ++completed;
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(completed, 4);
    EXPECT_EQ(TestEngine::mostActive, 1);
}

TEST_F(SerializedRunTest, WatchFromAnotherThreadCallsFunctionsOfThePausedRun)
{
    // The debugger evaluates watches on its own thread while the run's thread waits in a hook, so
    // a function that the watch calls must not wait for the lock that the paused run holds.
    struct : CSspDebugHooks
    {
        void OnInterpreterStart(CSspEngine&) override {}
        void OnStatement(CSspEngine& engine) override
        {
            if (!engine.IsTopEngine() || engine.GetLineNumber() != 2)
                return;
            watch = std::async(std::launch::async, [&engine] { return engine.EvalWatch("Local.twice(21)"); });
            finished = watch.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        }
        void OnTextLine(CSspEngine&) override {}
        void OnInterpreterEnd(CSspEngine&) override {}
        bool IsStopRequested() const override { return false; }
        std::future<std::string> watch;
        bool finished = false;
    } hooks;
    std::string path = folder.Write("w.tws", ";\necho 'a';\nfunction twice(n) return arg.n * 2; endfunction");
    TestEngine engine;
    engine.SetDebugHooks(&hooks);
    CSspRunArgs args{.filePath = path, .urlPath = "/w.tws", .response = &sink};
    EXPECT_EQ(engine.Run(args), kRunCompleted) << engine.ErrorText();
    EXPECT_TRUE(hooks.finished) << "the watch waited for the paused run's lock";
    ASSERT_TRUE(hooks.watch.valid());
    EXPECT_EQ(hooks.watch.get(), "42");
}

TEST_F(SerializedRunTest, MissingFileFailsWithoutWaitingForTheLock)
{
    std::promise<void> release;
    std::promise<void> held;
    std::thread holder([&] {
        std::lock_guard lock(TheSspApp().ApplicationLock());
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    auto run = std::async(std::launch::async, [&] { return RunFile(folder.Path() + "/none.twp"); });
    bool finished = run.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    release.set_value();
    holder.join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(run.get(), kRunFailed);
}

}  // namespace
