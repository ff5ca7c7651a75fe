#include "foundation/message_catalog.h"
#include "script_runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using DispatchTest = ScriptTest;

constexpr std::string_view kNameUsed = "The variable or function name has been used. Please choose another one: ";

TEST_F(DispatchTest, BareNamesGoToADeclaredDateTimeElseToTheFunctionLibrary)
{
    EXPECT_EQ(Output("datetime d(2004, 11, 12); write d + '|' + D;"), "0|0");
    EXPECT_EQ(Output("write upper('x');"), "X");
    // A member written after the name never reaches the function library.
    EXPECT_EQ(Failure("write upper.x;"), "Unknown Object: upper");
}

TEST_F(DispatchTest, BuiltInObjectsMatchInAnyCaseAndHideDeclaredOnes)
{
    EXPECT_EQ(Output("Local.x = 1; LOCAL.X = local.x + 1; write lOcAl.X;"), "2");
    // A datetime named Local is declared, but Local.x still means the local variable.
    EXPECT_EQ(Output("datetime local(2004, 1, 2); Local.x = 5; write Local.x + local.x;"), "10");
    EXPECT_EQ(Failure("datetime local(2004, 1, 2); write Local.getYear();"),
              "Function getYear not found in file " + path);
    // Declared objects answer only after every built-in name failed to match.
    EXPECT_EQ(Output("datetime when(2004, 1, 2); write WHEN.getYear();"), "2004");
}

TEST_F(DispatchTest, BuiltInsWithoutTheirObject)
{
    EXPECT_EQ(Failure("write Request.field;"), "Request object not available.");
    EXPECT_EQ(Failure("write Session.IsValid;"), "Session object can only be used in .twp files.");

    std::string script = folder.Write("task.tws", "Local.x = 1;\nResponse.write('x');");
    CSspEngine engine;
    EXPECT_EQ(engine.Run(CSspRunArgs{.filePath = script, .urlPath = "/task.tws"}), kRunFailed);
    EXPECT_EQ(engine.ErrorPosition(), 13);
    EXPECT_NE(engine.ErrorText().find("\r\n\r\nResponse object not available."), std::string::npos);
}

// Answers every member with its own name, so a test sees which object was reached.
class EchoObject : public CSspRequestObject
{
public:
    void CallMember(CSspCall& call, CSspValue& result) override
    {
        result.SetString("req:" + call.m_member + (call.m_hasParentheses ? "()" : ""));
    }
};

TEST_F(DispatchTest, RequestAndResponseAreTheRunsObjects)
{
    EchoObject echo;
    request = &echo;
    EXPECT_EQ(Output("write Request.name + ' ' + REQUEST.Form();"), "req:name req:Form()");
    // The output sink of these tests is a response without members.
    EXPECT_EQ(Failure("Response.ContentType('x');"), "Unknown response field: ContentType");
}

TEST_F(DispatchTest, UnknownObjectsAndMembers)
{
    EXPECT_EQ(Run("t.tws", "Local.x = 1;\nwrite nothing.here(1);"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 7, "write nothing.here(1);", "Unknown Object: nothing"));
    EXPECT_EQ(Failure("tokenizer t('a', ','); write t.Next;"), "Unknown tokenizer field: Next");
    EXPECT_EQ(Failure("datetime d(2004, 1, 2); write d.getyear();"), "Unknown datetime field: getyear");
    EXPECT_EQ(Failure("datetime d(2004, 1, 2); write d.format();"), "Missing parameter.");
    EXPECT_EQ(Failure("Local.setErrorFile();"), "Missing parameter.");
}

TEST_F(DispatchTest, DeclaredObjectsAnswerTheirMembers)
{
    EXPECT_EQ(Output("tokenizer t('a, b', ', '); write t.NextToken() + '|' + t.NextPart() + '|' + t.NextToken();"),
              "a|, |b");
    EXPECT_EQ(Output("datetime d(2004, 11, 12); write d.format('%Y-%m-%d %H:%M:%S');"), "2004-11-12 00:00:00");
    EXPECT_EQ(
        Output("datetime d(2004, 11, 12, 13, 14, 15); write d.getHour() + ':' + d.getMinute() + ':' + d.getSecond();"),
        "13:14:15");
    EXPECT_EQ(Output("datetime d('11/12/2004 10:20'); write d.format('%d.%m.%Y %H.%M');"), "12.11.2004 10.20");
    EXPECT_EQ(Output("datetime d(''); write d.isValid() + '|' + d.getOdbcDateStr();"), "0|");
    EXPECT_EQ(Failure("datetime d('nonsense');"), "The value [nonsense] is not a date or time.");
    // Numbers from a form are checked, not rolled over into another date or past the year's range.
    EXPECT_EQ(Output("datetime d(-2147483647, 1, 1); datetime e(2004, 2, 30); datetime f(2004, 2, 29, 24);\n"
                     "write d.isValid() + '|' + e.isValid() + '|' + f.isValid();"),
              "0|0|0");
}

TEST_F(DispatchTest, DeclarationsNeedTheirArguments)
{
    EXPECT_EQ(Run("t.tws", "Local.x = 1;\ndatetime d;"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 1, "datetime d;", "Missing parameter."));
    EXPECT_EQ(Failure("datetime d(2004, 11);"), "Missing parameter.");
    EXPECT_EQ(Failure("datetime d(1, 2, 3, 4, 5, 6, 7);"), "Missing parameter.");
    EXPECT_EQ(Failure("tokenizer t('only text');"), "Missing parameter.");
    EXPECT_EQ(Failure("tokenizer t('a', ','"), "Missing ending )");
}

TEST_F(DispatchTest, ADeclarationThatRunsAgainReinitialisesItsObject)
{
    EXPECT_EQ(Output("Local.i = 0; while (Local.i < 3) Local.i = Local.i + 1;\n"
                     "  tokenizer t('x' + Local.i + ' rest', ' '); write t.NextToken();\n"
                     "  datetime d(2000 + Local.i, 1, 1); write d.getYear();\n"
                     "endwhile"),
              "x12001x22002x32003");
}

TEST_F(DispatchTest, NamesAreUsedOnce)
{
    EXPECT_EQ(Run("t.tws", "datetime x(2004, 1, 1);\ntokenizer X('a', ',');"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 11, "tokenizer X('a', ',');", std::string(kNameUsed) + "X"));
    EXPECT_EQ(Failure("tokenizer t('a', ','); datetime T(2004, 1, 1);"), std::string(kNameUsed) + "T");
    EXPECT_EQ(Failure("datetime d(2004, 1, 1); datetime d(2005, 1, 1);"), std::string(kNameUsed) + "d");
}

TEST_F(DispatchTest, AnObjectDeclaredLaterTakesOverTheNameInALoop)
{
    // An LDAP object leaves its name free for other kinds, which the search tries first: on the
    // loop's second pass the same operand reaches the array declared in between.
    EXPECT_EQ(Run("t.tws", "LDAP d; Local.n = 0;\n"
                           "while (Local.n < 2) write '[' + d.last_err_code + ']'; array d; Local.n = Local.n + 1;\n"
                           "endwhile"),
              kRunFailed);
    EXPECT_EQ(sink.output, "[0]");
    EXPECT_NE(errorText.find("Unknown array function: last_err_code"), std::string::npos) << errorText;
}

TEST_F(DispatchTest, KindsThisProgramMakesNoObjectsOfSaySo)
{
    for (auto [keyword, kind] :
         std::vector<std::pair<std::string, std::string>>{{"email_in m;", "email_in"}, {"email_out m;", "email_out"}}) {
        EXPECT_EQ(Failure(keyword), CMessageCatalog::Text(kMsgKindNotMade) + kind) << keyword;
    }
}

TEST_F(DispatchTest, LocalFunctionsAreFoundBeforeAndAfterTheirDefinition)
{
    EXPECT_EQ(Output("write Local.Before(2) + '|';\n"
                     "function before(n) return arg.N * 10; endfunction\n"
                     "function after(n) return arg.n + 1; endfunction\n"
                     "write Local.after(2) + '|' + local.AFTER(3);"),
              "20|3|4");
    // Each call runs in an engine of its own: the caller's locals stay apart.
    EXPECT_EQ(Output("Local.x = 'outer'; Local.f(); write Local.x;\n"
                     "function f() Local.x = 'inner'; write Local.x + ' '; endfunction"),
              "inner outer");
    // Calls made again and again, recursive ones too, each start without the locals and objects
    // of the call before.
    EXPECT_EQ(
        Output("Local.i = 2; while (Local.i < 5) write Local.fact(Local.i) + Local.count() + '|';"
               " Local.i = Local.i + 1; endwhile\n"
               "function fact(n) if (arg.n <= 1) return 1; endif return arg.n * Local.fact(arg.n - 1); endfunction\n"
               "function count() array a; a.Add(Local.Var('seen', 0)); Local.seen = 5; a.Add(Local.seen);\n"
               "  return a.GetSize() * 10 + a.GetAt(0); endfunction"),
        "22|26|44|");
}

TEST_F(DispatchTest, ArgumentsOfAFunctionCall)
{
    constexpr std::string_view kFunction = "\nfunction f(a) write arg.a; endfunction"
                                           "\nfunction g(a, b) write arg.b; endfunction";
    EXPECT_EQ(Output("Local.f(1, 2);" + std::string(kFunction)), "1");
    EXPECT_EQ(Failure("write arg.a;"), "This is not a function or no parameter is defined.");
    // The callee's report, with its own line, stands inside the caller's.
    EXPECT_EQ(Run("t.tws", "Local.g(1);" + std::string(kFunction)), kRunFailed);
    EXPECT_EQ(errorText, Report(1, 1, "Local.g(1);",
                                Report(3, 24, "function g(a, b) write arg.b; endfunction",
                                       "Argument not found in function call statement.")));
    EXPECT_NE(Failure("Local.f(1); function f(a) write arg.b; endfunction")
                  .find("Argument not found in function definition."),
              std::string::npos);
    // Each parameter, named in any case, reads its own argument; a name given twice, the first.
    EXPECT_EQ(Output("write Local.h(1, 2, 3);\nfunction h(a, B, a) return arg.b * 10 + arg.A; endfunction"), "21");
}

TEST_F(DispatchTest, AFunctionCallBesideAnOperand)
{
    constexpr std::string_view kTwice = "\nfunction twice(n) write '<' + arg.n + '>'; return arg.n * 2; endfunction";
    // On either side of an operator or a comparison, also beside the variable being assigned.
    EXPECT_EQ(Output("Local.s = 1; Local.s = Local.s + Local.twice(3); write Local.s;"
                     " write 10 - Local.twice(Local.s); if (Local.twice(2) = 4) write 'y'; endif" +
                     std::string(kTwice)),
              "<3>7<7>-4<2>y");
    // An operand written before the call is read before it: its error comes before the call runs.
    EXPECT_EQ(Run("t.tws", "write Local.nope + Local.twice(1);" + std::string(kTwice)), kRunFailed);
    EXPECT_EQ(sink.output, "");
    EXPECT_NE(errorText.find("Local variable not defined"), std::string::npos);
}

TEST_F(DispatchTest, RunawayRecursionFailsTheRun)
{
    // The report is the innermost one, once: where the call that went one level too deep stands,
    // with the depth, not the callers' reports wrapped round it 256 times.
    EXPECT_EQ(Run("t.tws", "Local.down(0);\nfunction down(n) Local.down(arg.n + 1); endfunction"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 18, "function down(n) Local.down(arg.n + 1); endfunction",
                                "Too many nested calls (more than 256)."));

    std::string deep = "write ";
    for (int i = 0; i < 300; ++i)
        deep += "Local.f(";
    deep += "1" + std::string(300, ')') + ";\nfunction f(x) return arg.x; endfunction";
    EXPECT_NE(Failure(deep).find("Too many nested calls"), std::string::npos);
}

TEST_F(DispatchTest, PercentSignsStandAsWrittenAtEveryDepth)
{
    EXPECT_EQ(Run("t.tws", "Local.f1();\n"
                           "function f1() Local.f2(); endfunction\n"
                           "function f2() Local.f3(); endfunction\n"
                           "function f3() Local.f4(); endfunction\n"
                           "function f4() write 1; write Local.Var('50%'); endfunction // 100%"),
              kRunFailed);
    const std::string innermost = Report(5, 30, "function f4() write 1; write Local.Var('50%'); endfunction // 100%",
                                         "Local variable not defined. Use a set statement to define it: 50%");
    EXPECT_EQ(errorText, Report(1, 1, "Local.f1();",
                                Report(2, 15, "function f1() Local.f2(); endfunction",
                                       Report(3, 15, "function f2() Local.f3(); endfunction",
                                              Report(4, 15, "function f3() Local.f4(); endfunction", innermost)))));
    EXPECT_EQ(errorText.find("%%"), std::string::npos);
}

TEST_F(DispatchTest, LocalUrlMembers)
{
    EXPECT_EQ(Output("write Local.url + ' ' + Local.urlPath;"), "/app/t.tws /app/");
    EXPECT_EQ(Output("write Local.Var('x', 'default') + Local.Var('x', 'default', 'extra');"), "defaultdefault");
    // Variables named like Local's own members are reached through Var only; a name may hold dots.
    EXPECT_EQ(
        Output("Local.URL = 'v'; Local.SetVar('urlpath', 'w'); Local.a.b = 3;\n"
               "write Local.url + ' ' + Local.UrlPath + ' ' + Local.Var('url') + Local.Var('urlPath') + Local.a.b;"),
        "/app/t.tws /app/ vw3");
}

}  // namespace
