#include "foundation/log.h"
#include "language/debug_hooks.h"
#include "script_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

namespace {

using StatementTest = ScriptTest;

TEST_F(StatementTest, IfElseIfElseTakeOneBranch)
{
    constexpr std::string_view kChain = "if (Local.n = 1) write 'one'; elseif (Local.n = 2) write 'two';\n"
                                        "elseif (Local.t()) write 'three'; else write 'other'; endif write '.';\n"
                                        "function t() write '?'; return Local.Var('unused', 1); endfunction";
    EXPECT_EQ(Output("Local.n = 1;" + std::string(kChain)), "one.");
    EXPECT_EQ(Output("Local.n = 2;" + std::string(kChain)), "two.");
    EXPECT_EQ(Output("Local.n = 3;" + std::string(kChain)), "?three.");
    // Nested ifs inside skipped branches are skipped whole.
    EXPECT_EQ(Output("if (0) if (1) write 'a'; else write 'b'; endif elseif (1) write 'c'; endif"), "c");
    EXPECT_EQ(Output("IF (1) If (0) write 'a'; ELSE write 'b'; ENDIF else write 'c'; Endif"), "b");
}

TEST_F(StatementTest, LoopsRepeatTemplateTextAndCode)
{
    EXPECT_EQ(Run("p.twp", "<!--{ Local.i = 0; while (Local.i < 3) Local.i = Local.i + 1; }-->\n"
                           "row --{ Local.i }--\n<!--{ endwhile }-->end"),
              kRunCompleted);
    EXPECT_EQ(sink.output, "\nrow 1\n\nrow 2\n\nrow 3\nend");

    EXPECT_EQ(Output("Local.i = 0; while (Local.i < 5) Local.i = Local.i + 1;\n"
                     " if (Local.i = 2) continue; endif if (Local.i = 4) break; endif write Local.i;\n"
                     "endwhile write '|' + Local.i;"),
              "13|4");
    // A loop whose condition fails at once never runs its body.
    EXPECT_EQ(Output("while (0) write 'x'; while (1) endwhile endwhile write 'y';"), "y");
    // Nested loops, each with its own break.
    EXPECT_EQ(Output("Local.i = 0; while (1) Local.i = Local.i + 1; Local.j = 0;\n"
                     " while (1) Local.j = Local.j + 1; if (Local.j > Local.i) break; endif write Local.j; endwhile\n"
                     " write ';'; if (Local.i = 3) break; endif endwhile"),
              "1;12;123;");
}

TEST_F(StatementTest, BreakOnFirstAndLaterPasses)
{
    // The first break scans to the endwhile and records where it is; later ones jump there. The end
    // may lie in another code block, whose mode the jump restores.
    EXPECT_EQ(Run("p.twp", "<!--{ Local.n = 0; while (1) Local.n = Local.n + 1; Local.i = 0;\n"
                           "while (1) Local.i = Local.i + 1; if (Local.i = Local.n) break; endif }-->x<!--{\n"
                           "endwhile }-->[--{ Local.i }--]<!--{ if (Local.n = 3) break; endif endwhile }-->."),
              kRunCompleted);
    EXPECT_EQ(sink.output, "[1]x[2]xx[3].");
}

TEST_F(StatementTest, UnclosedBlocksAreReportedAtTheirKeyword)
{
    EXPECT_EQ(Run("t.tws", "if (1)\n write 'x';"), kRunFailed);
    EXPECT_EQ(errorText, Report(1, 1, "if (1)", "Missing matching endif."));
    EXPECT_EQ(Run("t.tws", "Local.i = 0;\nwhile (Local.i < 2) Local.i = Local.i + 1;"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 1, "while (Local.i < 2) Local.i = Local.i + 1;", "Missing matching endwhile."));
    // Both open: the while wins.
    EXPECT_EQ(Run("t.tws", "if (1)\n while (1)"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 2, " while (1)", "Missing matching endwhile."));
    // An if opened in the loop body and still open at its end.
    EXPECT_EQ(Run("t.tws", "while (1)\n if (1)\nendwhile;"), kRunFailed);
    EXPECT_EQ(errorText, Report(3, 9, "endwhile;", "Missing matching endif."));
    // A skip that runs off the end is reported where it began.
    EXPECT_EQ(Run("t.tws", "if (0) write 1;\n if (1) write 2; else"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 4, " if (1) write 2; else", "Missing matching endif."));
    EXPECT_EQ(Run("t.tws", "while (0) write 1;"), kRunFailed);
    EXPECT_EQ(errorText, Report(1, 10, "while (0) write 1;", "Missing matching endwhile."));
}

TEST_F(StatementTest, StrayControlKeywords)
{
    EXPECT_EQ(Failure("else"), "Found an 'elseif', 'else' or 'endif' without a matching 'if'");
    EXPECT_EQ(Failure("endif"), "Found an 'elseif', 'else' or 'endif' without a matching 'if'");
    EXPECT_EQ(Failure("elseif (1)"), "Found an 'elseif', 'else' or 'endif' without a matching 'if'");
    EXPECT_EQ(Failure("endwhile"), "Missing matching while. ");
    EXPECT_EQ(Failure("break;"), "Break must be inside a while loop.");
    EXPECT_EQ(Failure("continue;"), "continue must be inside a while loop.");
}

TEST_F(StatementTest, Assignments)
{
    EXPECT_EQ(Output("set Local.a = 2; Local.B = Local.a * 3; write local.b + LOCAL.A;"), "8");
    EXPECT_EQ(Output("Local.s = 'x'; Local.s = Local.s + 'y'; write Local.Var('S') + Local.Var('none', '-');"), "xy-");
    EXPECT_EQ(Run("t.tws", "set a = 1;"), kRunFailed);
    EXPECT_EQ(errorText, Report(1, 6, "set a = 1;", "Missing . in set a.b = ... statement."));
    EXPECT_EQ(Run("t.tws", "set Local.a 1;"), kRunFailed);
    EXPECT_EQ(errorText, Report(1, 5, "set Local.a 1;", "Missing = in set statement."));
    EXPECT_EQ(Failure("write Local.missing;"), "Local variable not defined. Use a set statement to define it: missing");
    EXPECT_EQ(Failure("Local.SetVar('a');"), "Incorrect number of parameter.");
}

TEST_F(StatementTest, AppendingToAVariableCostsEachPieceOnly)
{
    // Appended where the text stands, with the operators' meaning: numbers in texts still add.
    EXPECT_EQ(Output("Local.s = 'ab'; Local.n = 3; Local.s = Local.s + Local.n; Local.s = Local.s || Local.s;\n"
                     "Local.s = Local.s + 1.5; write Local.s; Local.t = '1'; Local.t = Local.t + '2';\n"
                     "write ' ' + (Local.t + 1);"),
              "ab3ab31.5 4");

    // Four times the appends take about four times as long, not sixteen: each append costs its
    // piece, not a copy of the text built so far. CPU time of this thread, the least of five runs
    // of each size, taken in turns so that both sizes meet the same load on the machine. The runs
    // last milliseconds, so that the rest of a loaded machine's work does not weigh on either. The
    // texts stay small enough that the allocator does not give memory back to the system between
    // runs, which costs the larger runs alone.
    auto script = [](int appends) {
        return "Local.s = ''; Local.i = 0; while (Local.i < " + std::to_string(appends) +
               ") Local.s = Local.s + 'x'; Local.i = Local.i + 1; endwhile\nwrite String.length(Local.s);";
    };
    auto threadSeconds = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    };
    double best[2] = {};
    for (int run = 0; run < 10; ++run) {
        const int appends = run % 2 == 0 ? 25000 : 100000;
        const double start = threadSeconds();
        EXPECT_EQ(Output(script(appends)), std::to_string(appends));
        const double took = threadSeconds() - start;
        double& least = best[run % 2];
        least = run < 2 ? took : std::min(least, took);
    }
    EXPECT_LT(best[1], 6 * best[0]) << best[0] << " s for 25,000 appends, " << best[1] << " s for 100,000";
}

TEST_F(StatementTest, ErrorReturnAndRedirectEndTheRun)
{
    EXPECT_EQ(Run("t.tws", "write 'a'; error 'Stopped at ' + 3; write 'b';"), kRunFailed);
    EXPECT_EQ(errorText, "Stopped at 3");
    EXPECT_EQ(errorPosition, kNoPosition);
    EXPECT_EQ(sink.output, "a");

    EXPECT_EQ(Run("t.tws", "write 'a'; return 5; write 'b';"), kRunReturned);
    EXPECT_EQ(sink.output, "a");
    EXPECT_EQ(Output("write Local.twice(21); function twice(n) return arg.n * 2; write 'never'; endfunction"), "42");

    EXPECT_EQ(Run("t.tws", "Response.Redirect('x'); write 'after';"), kRunFailed);
    EXPECT_EQ(errorText, Report(1, 1, "Response.Redirect('x'); write 'after';", "Unknown response field: Redirect"));
}

// Answers Redirect like a response does, so the statement that redirects can end the run.
class RedirectingSink : public StringSink
{
public:
    void CallMember(CSspCall& call, CSspValue& result) override
    {
        if (call.m_member != "REDIRECT")
            return StringSink::CallMember(call, result);
        Write("redirect " + call.GetParamStr(0));
    }
};

TEST_F(StatementTest, RedirectEndsTheRunAfterItsStatement)
{
    RedirectingSink redirecting;
    CSspEngine engine;
    std::string file = folder.Write("r.tws", "write 'a'; RESPONSE.REDIRECT('/x'); write 'b';");
    EXPECT_EQ(engine.Run(CSspRunArgs{.filePath = file, .urlPath = "/r.tws", .response = &redirecting}), kRunRedirected);
    EXPECT_EQ(redirecting.output, "aredirect /x");
}

TEST_F(StatementTest, OutputBlocksWriteExpressionStatements)
{
    EXPECT_EQ(Run("p.twp", "<!--{ Local.x = 4; Local.x * 2; }-->|--{ Local.x * 2; 'z' }--|"), kRunCompleted);
    EXPECT_EQ(sink.output, "|8z|");
    EXPECT_EQ(Run("p.twp", "--{ write 'w'; Local.v = 1; Local.v }--"), kRunCompleted);
    EXPECT_EQ(sink.output, "w1");
}

TEST_F(StatementTest, LogWritesTheTextLiterally)
{
    std::vector<std::string> entries;
    TheLog().SetCallbackMode([&entries](std::string_view entry) { entries.emplace_back(entry); });
    EXPECT_EQ(Output("log 'at 100% ' + 2;"), "");
    TheLog().SetFileMode("");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].find("at 100% 2"), std::string::npos) << entries[0];
}

TEST_F(StatementTest, RepeatedPassesBehaveAsTheFirst)
{
    // The third pass fails; the memo of the first passes must not move the reported place.
    EXPECT_EQ(Run("t.tws", "Local.i = 0;\nwhile (Local.i < 5) Local.i = Local.i + 1;\n"
                           "  if (Local.i = 3) write Local.nothing; endif\nendwhile"),
              kRunFailed);
    EXPECT_EQ(errorText, Report(3, 26, "  if (Local.i = 3) write Local.nothing; endif",
                                "Local variable not defined. Use a set statement to define it: nothing"));

    // The memo does not grow with the number of passes.
    CSspEngine engine;
    size_t entriesAfter[2] = {};
    for (int passes : {10, 1000}) {
        std::string file = folder.Write("m" + std::to_string(passes) + ".tws",
                                        "Local.i = 0; while (Local.i < " + std::to_string(passes) +
                                            ") Local.i = Local.i + 1; Local.s = 'a' + Local.i; endwhile Local.memo();\n"
                                            "function memo() endfunction");
        struct : CSspDebugHooks
        {
            // The function runs after the loop: its start shows what the loop left in the memo.
            void OnInterpreterStart(CSspEngine& e) override
            {
                if (!e.IsTopEngine())
                    size = e.SourceFile()->CompiledSize();
            }
            void OnStatement(CSspEngine&) override {}
            void OnTextLine(CSspEngine&) override {}
            void OnInterpreterEnd(CSspEngine&) override {}
            bool IsStopRequested() const override { return false; }
            size_t size = 0;
        } hooks;
        engine.SetDebugHooks(&hooks);
        EXPECT_EQ(engine.Run(CSspRunArgs{.filePath = file, .urlPath = "/m.tws"}), kRunCompleted) << engine.ErrorText();
        entriesAfter[passes == 10 ? 0 : 1] = hooks.size;
    }
    EXPECT_GT(entriesAfter[0], 0u);
    EXPECT_EQ(entriesAfter[0], entriesAfter[1]);

    // A loop body of many statements fills the memo well past its first size; every pass still
    // reads the same tokens and lists.
    std::string body;
    for (int n = 0; n < 300; ++n)
        body += "write '[' || (Local.i * " + std::to_string(n) + ") || ']';\n";
    std::string expected;
    for (int i = 1; i <= 3; ++i) {
        for (int n = 0; n < 300; ++n)
            expected += "[" + std::to_string(i * n) + "]";
    }
    EXPECT_EQ(Output("Local.i = 0; while (Local.i < 3) Local.i = Local.i + 1;\n" + body + "endwhile"), expected);
}

}  // namespace
