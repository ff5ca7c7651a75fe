#include "foundation/ssp_date_time.h"
#include "language/source_file.h"
#include "language/ssp_token_list.h"
#include "script_runner.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

// f writes "f" each time it runs and returns its argument; t and z write their names and return 1
// and 0, so a condition shows which of its parts were evaluated.
constexpr std::string_view kProbes = "function f(v) write 'f'; return arg.v; endfunction\n"
                                     "function t() write 't'; return 1; endfunction\n"
                                     "function z() write 'z'; return 0; endfunction\n";

class ExpressionTest : public ScriptTest
{
protected:
    std::string Value(std::string_view expression) { return Output("write " + std::string(expression) + ";"); }
    std::string WithProbes(std::string_view script)
    {
        return Output(std::string(script) + "\n" + std::string(kProbes));
    }
};

TEST_F(ExpressionTest, PrecedenceAndAssociativity)
{
    EXPECT_EQ(Value("2 + 3 * 4"), "14");
    EXPECT_EQ(Value("(2 + 3) * 4"), "20");
    EXPECT_EQ(Value("10 - 4 - 3"), "3");
    EXPECT_EQ(Value("-3 + 2"), "-1");
    EXPECT_EQ(Value("2 * (-3)"), "-6");
    EXPECT_EQ(Value("100 / 10 / 5"), "2");
    EXPECT_EQ(Value("17 % 5 + 1"), "3");
    EXPECT_EQ(Value("((1 + 2) * (3 + 4))"), "21");
    EXPECT_EQ(Value("'a' + 'b' || 'c'"), "abc");
    EXPECT_EQ(Value("1.50 + 1"), "2.50");
    EXPECT_EQ(Value(""), "");
}

TEST_F(ExpressionTest, IntegersPast32BitsAreExact)
{
    // A total that passes 2,147,483,647 goes on counting; past 2^63 it becomes the nearest double.
    EXPECT_EQ(Value("2000000000 + 2000000000"), "4000000000");
    EXPECT_EQ(Value("65536 * 65536"), "4294967296");
    EXPECT_EQ(Value("-(0 - 2147483648) * 3"), "6442450944");
    EXPECT_EQ(Value("-2147483648 - 1"), "-2147483649");
    EXPECT_EQ(Value("4294967296 % 7"), "4");
    EXPECT_EQ(Value("9223372036854775807 % 1000"), "807");
    EXPECT_EQ(Value("9223372036854775807 + 1"), "9223372036854775808.000000");
    EXPECT_EQ(Value("-9223372036854775807 - 3"), "-9223372036854775808.000000");
    EXPECT_EQ(Output("Local.s = 0; Local.i = 0;\n"
                     "while (Local.i < 3) Local.s = Local.s + 1000000000; Local.i = Local.i + 1; endwhile\n"
                     "write Local.s; if (Local.s > 2147483647) write ' more'; endif"),
              "3000000000 more");
    EXPECT_EQ(Output("if (9223372036854775807 + 1 > 9223372036854775807) write 'y'; endif "
                     "if (4294967296 = 0) write 'wrapped'; endif"),
              "y");
}

TEST_F(ExpressionTest, VariablesKeepTheValueTheyWereReadWith)
{
    // Operators that chain or use a variable twice compute apart from the variables they read.
    EXPECT_EQ(Output("Local.a = 2; write Local.a + Local.a * Local.a - Local.a; write ' ' + Local.a;"), "4 2");
    EXPECT_EQ(Output("Local.a = 2; write (Local.a) + 1 + (Local.a) || '|' || Local.a;"), "5|2");
    EXPECT_EQ(Output("Local.a = 2; if (Local.a + 1 = 3 and Local.a = 2) write 'yes'; endif"), "yes");
    // Each call of a function reads its own variables, though every call evaluates the same lists.
    EXPECT_EQ(Output("write Local.f(1) + Local.f(2) + Local.f(3);\n"
                     "function f(a) Local.v = arg.a * 10; return Local.v + Local.v; endfunction"),
              "120");
    // A call later in the expression may assign a variable read before it: the earlier read stands.
    EXPECT_EQ(Output("Local.a = 1; write Local.a || Local.SetVar('a', 'x') || Local.a;"), "1x");
    EXPECT_EQ(Run("t.tws", "Local.a = 1;\nwrite Local.a + Local.nope;"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 17, "write Local.a + Local.nope;",
                                "Local variable not defined. Use a set statement to define it: nope"));
}

TEST_F(ExpressionTest, OperatorErrorsNameTheirPlace)
{
    // A minus right after "*" finds its operand consumed.
    EXPECT_EQ(Run("t.tws", "Local.a = 2; Local.b = 3;\nwrite Local.a*-Local.b;"), kRunFailed);
    // The report doubles per-cent signs, so that it can serve as a format.
    EXPECT_EQ(errorText, Report(2, 15, "write Local.a*-Local.b;", "Missing right operand after */%+-."));
    EXPECT_EQ(Failure("write * 2;"), "Missing left operand before */%+-.");
    EXPECT_EQ(Failure("write 2 +;"), "Missing right operand after */%+-.");
    // Comparisons belong in conditions only.
    EXPECT_EQ(Run("t.tws", "write 1 < 2;"), kRunFailed);
    EXPECT_EQ(errorText, Report(1, 8, "write 1 < 2;", "Missing operator."));
    EXPECT_EQ(Failure("Local.x = (1 = 1);"), "Missing operator.");
    EXPECT_EQ(Failure("write 1 + {d '2004-01-02'};"), "Operation not allowed on these operands.");
    EXPECT_EQ(Failure("write {d '2004-01-02'} + 1;"), "Right operand should be a TimeSpan.");
}

TEST_F(ExpressionTest, Literals)
{
    EXPECT_EQ(Value("'one' 'two'"), "onetwo");
    EXPECT_EQ(Value("'line' // a comment\n   'break'"), "linebreak");
    EXPECT_EQ(Value("'tab\\tand\\\\ and \\'q\\' and ''two'''"), "tab\tand\\ and 'q' and ''two''");
    EXPECT_EQ(Value("0.25 * 4"), "1.00");
    EXPECT_EQ(Value("null"), "");
    EXPECT_EQ(Value("null + 5"), "5");

    std::tm tm{};
    tm.tm_year = 104;
    tm.tm_mon = 10;
    tm.tm_mday = 12;
    tm.tm_hour = 13;
    tm.tm_min = 14;
    tm.tm_sec = 15;
    tm.tm_isdst = -1;
    std::time_t noon = std::mktime(&tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    std::time_t midnight = std::mktime(&tm);
    // Blanks inside the braces never reach the date parser; the opener takes any case.
    EXPECT_EQ(Value("{d '2004-11-12' }"), CSspDateTime(midnight).GetDateTimeStr());
    EXPECT_EQ(Value("{D'2004-11-12'}"), CSspDateTime(midnight).GetDateTimeStr());
    EXPECT_EQ(Value("{ts '2004-11-12 13:14:15'}"), CSspDateTime(noon).GetDateTimeStr());
    EXPECT_EQ(Failure("write {d '2004-11-12';"), "Missing ending }.");
}

TEST_F(ExpressionTest, ConditionsCompareOnceAndTestForOne)
{
    auto taken = [this](std::string_view condition) {
        return Output("if " + std::string(condition) + " write 'y'; else write 'n'; endif");
    };
    EXPECT_EQ(taken("(1)"), "y");
    EXPECT_EQ(taken("(2)"), "n");
    EXPECT_EQ(taken("('1')"), "y");
    EXPECT_EQ(taken("('yes')"), "n");
    EXPECT_EQ(taken("(2 + 3 = 5)"), "y");
    EXPECT_EQ(taken("('abc' < 'abd')"), "y");
    EXPECT_EQ(taken("(1 <> 1)"), "n");
    EXPECT_EQ(taken("((1 = 2) or (2 = 2))"), "y");
    EXPECT_EQ(taken("()"), "n");

    EXPECT_EQ(Failure("if (1 < 2 < 3) endif"), "Found two consecutive comparison operators.");
    EXPECT_EQ(Failure("if (< 2) endif"), "Expression missing before comparison.");
    EXPECT_EQ(Failure("if (2 >=) endif"), "Expression missing after comparison.");
    EXPECT_EQ(Failure("if (and 1) endif"), "Expression missing before And/Or.");
    EXPECT_EQ(Failure("if (1 or) endif"), "Expression missing after And/Or.");
}

TEST_F(ExpressionTest, AndOrShortCircuitAndGroupToTheRight)
{
    // a and b or c is a and (b or c): with a false nothing else runs.
    EXPECT_EQ(WithProbes("if (Local.z() and Local.t() or Local.t()) write '!'; endif"), "z");
    EXPECT_EQ(WithProbes("if (Local.t() and Local.z() or Local.t()) write '!'; endif"), "tzt!");
    EXPECT_EQ(WithProbes("if (Local.t() or Local.z() and Local.z()) write '!'; endif"), "t!");
    EXPECT_EQ(WithProbes("if ((Local.t() or Local.z()) and Local.z()) write '!'; endif"), "tz");
    EXPECT_EQ(WithProbes("if (Local.z() OR Local.t() AND Local.t()) write '!'; endif"), "ztt!");
}

TEST_F(ExpressionTest, ParenthesisedCallRunsOnce)
{
    EXPECT_EQ(WithProbes("write (Local.f(4)) + 1;"), "f5");
    EXPECT_EQ(WithProbes("write ((Local.f(4)));"), "f4");
    EXPECT_EQ(WithProbes("write 2 * (Local.f(3)) - (Local.f(1));"), "ff5");
    EXPECT_EQ(WithProbes("if ((Local.f(1)) = 1) write '!'; endif"), "f!");
}

TEST_F(ExpressionTest, ArgumentLists)
{
    constexpr std::string_view kCount = "function count(a, b, c) write arg.a; write '|'; write arg.b; endfunction\n";
    EXPECT_EQ(Output("Local.count(1,(2));" + std::string(kCount)), "1|2");
    EXPECT_EQ(Output("Local.count((1+1)*3, 'x',);" + std::string(kCount)), "6|x");
    EXPECT_EQ(Output("Local.count(Local.count(1, 2), 3);" + std::string(kCount)), "1|2|3");
    EXPECT_EQ(Failure("Local.count(, 1);" + std::string(kCount)), "Missing parameter before comma.");
    EXPECT_EQ(Failure("Local.count(1,, 2);" + std::string(kCount)), "Missing parameter before comma.");
    EXPECT_EQ(Failure("Local.count(1 < 2);" + std::string(kCount)), "Missing operator.");
    EXPECT_EQ(Failure("Local.count(1, 2;" + std::string(kCount)), "Missing ending )");
}

// Records the calls it answers, so a test sees what the dispatcher handed over.
class RecordingObject : public CSspRequestObject
{
public:
    void CallMember(CSspCall& call, CSspValue& result) override
    {
        calls.push_back(call.m_object + "." + call.m_member);
        for (const CSspValue& argument : call.m_args)
            calls.back() += " [" + argument.ToString() + "]";
        result.SetString("answer");
    }
    std::vector<std::string> calls;
};

TEST_F(ExpressionTest, NameArgumentsAreTakenAsWritten)
{
    RecordingObject object;
    request = &object;
    EXPECT_EQ(Output("write Request.exist('field'); write request.SIZE(Local.x, 2); write Request.Form(1 + 1);"),
              "answeransweranswer");
    EXPECT_EQ(object.calls,
              (std::vector<std::string>{"Request.exist ['field']", "request.SIZE [Local.x] [2]", "Request.Form [2]"}));
}

TEST_F(ExpressionTest, CollectorErrors)
{
    EXPECT_EQ(Failure("write (1 + 2;"), "Missing ending )");
    EXPECT_EQ(Run("t.tws", "write 1 + 2);"), kRunFailed);
    EXPECT_EQ(errorText, Report(1, 12, "write 1 + 2);", "Missing ("));
    EXPECT_EQ(Failure("write 1 + 2 endif"), "Missing ending ;");
    EXPECT_EQ(Failure("write 1"), "Missing ending ;");
    EXPECT_EQ(Failure("if 1 = 1) endif"), "Missing (");
    EXPECT_EQ(Failure("if (1 = 1; endif"), "Missing ending )");
    EXPECT_EQ(Failure("if (1 = 1 endif"), "Missing ending )");
    // The end of an output block ends the expression and the block.
    EXPECT_EQ(Run("p.twp", "a--{ 1 + 2 }--b"), kRunCompleted);
    EXPECT_EQ(sink.output, "a3b");
}

TEST_F(ExpressionTest, CommentDirectlyAfterAWordEndsIt)
{
    EXPECT_EQ(Output("Local.x = 5;\nwrite Local.x// the value\n;"), "5");
}

// The SQL collectors read a statement's parts; they stop before their stop token.
class SqlCollectorTest : public ::testing::Test
{
protected:
    std::vector<std::string> Collect(CSspCollector collector, std::string_view code, std::string* rest = nullptr)
    {
        cache.CloseAll();
        CSourceFile* file = cache.Get(folder.Write("q.tws", code));
        EXPECT_NE(file, nullptr);
        int cursor = 0;
        CSspTokenList list;
        CollectTokens(collector, *file, cursor, file->Size(), list);
        std::vector<std::string> texts;
        for (size_t i = 0; i < list.Size(); ++i)
            texts.push_back(std::string(list[i].text) + "@" + std::to_string(list[i].depth));
        if (rest)
            *rest = std::string(file->Text().substr(static_cast<size_t>(cursor)));
        return texts;
    }
    std::string Error(CSspCollector collector, std::string_view code)
    {
        try {
            Collect(collector, code);
        } catch (const CSspException& e) {
            return e.GetMessage() + "@" + std::to_string(e.GetPosition());
        }
        return "";
    }
    ScriptFolder folder;
    CSourceFileCache cache;
};

using Texts = std::vector<std::string>;

TEST_F(SqlCollectorTest, ListItemsStopAtCommaWhereOrSemicolon)
{
    std::string rest;
    EXPECT_EQ(Collect(CSspCollector::kSqlListItem, "count(a, b) + 1, c", &rest), (Texts{"count(a,b)@0", "+@0", "1@0"}));
    EXPECT_EQ(rest, ", c");
    EXPECT_EQ(Collect(CSspCollector::kSqlListItem, "(x) WHERE y", &rest), (Texts{"x@1"}));
    EXPECT_EQ(rest, "WHERE y");
    EXPECT_EQ(Error(CSspCollector::kSqlListItem, "a }--"), "Missing , or WHERE@0");
    EXPECT_EQ(Error(CSspCollector::kSqlListItem, "a) ,"), "Missing (@1");
}

TEST_F(SqlCollectorTest, ConditionsStopAtAndOrOutsideParentheses)
{
    std::string rest;
    EXPECT_EQ(Collect(CSspCollector::kSqlCondition, "a = 1 AND b = 2", &rest), (Texts{"a@0", "=@0", "1@0"}));
    EXPECT_EQ(rest, "AND b = 2");
    EXPECT_EQ(Collect(CSspCollector::kSqlCondition, "(a or b) and c", &rest), (Texts{"a@1", "or@1", "b@1"}));
    EXPECT_EQ(rest, "and c");
    EXPECT_EQ(Collect(CSspCollector::kSqlCondition, "x > {ts '2004-01-02 10:00:00'}) order by x", &rest),
              (Texts{"x@0", ">@0", "{ts'2004-01-02 10:00:00'}@0"}));
    EXPECT_EQ(rest, ") order by x");
    EXPECT_EQ(Error(CSspCollector::kSqlCondition, "a = 1 endif"), "Missing ending ;@0");
    EXPECT_EQ(Error(CSspCollector::kSqlCondition, "(a = 1;"), "Missing ending )@0");
}

TEST_F(SqlCollectorTest, AValueEndsWhereItsRangeEnds)
{
    EXPECT_EQ(Collect(CSspCollector::kSqlValue, "(a or b) * 2"), (Texts{"a@1", "or@1", "b@1", "*@0", "2@0"}));
    EXPECT_EQ(Collect(CSspCollector::kSqlValue, ""), Texts{});
    EXPECT_EQ(Error(CSspCollector::kSqlValue, "a; b"), "Missing ending ;@0");
    EXPECT_EQ(Error(CSspCollector::kSqlValue, "a)"), "Missing (@1");
    EXPECT_EQ(Error(CSspCollector::kSqlValue, "(a"), "Missing ending )@0");
}

}  // namespace
