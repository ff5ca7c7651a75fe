#include "script_runner.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using ArrayTest = ScriptTest;

TEST_F(ArrayTest, MembersAndTheirBounds)
{
    EXPECT_EQ(Output("array a; write a.GetSize() + '|' + a.add('x') + a.ADD(2) + '|' + a.getsize() + '|';"
                     "write a.GetAt(0) + a.GetAt(1) + '|';"
                     "a.InsertAt(1, 'y'); a.SetAt(0, 'z'); write a.GetAt(0) + a.GetAt(1) + a.GetAt(2) + '|';"
                     "a.RemoveAt(0); write a.GetSize() + a.GetAt(0);"),
              "0|11|2|x2|zy2|2y");
    // SetSize empties the array and fills it with null values; a negative size is 0.
    EXPECT_EQ(Output("array a; a.Add('x'); a.SetSize(3, 8); write a.GetSize() + '[' + a.GetAt(2) + ']';"
                     "a.SetSize(-1); write a.GetSize();"),
              "3[]0");
    // Indexes are read as numbers from the front of their text.
    EXPECT_EQ(Output("array a; a.Add('first'); a.Add('second'); write a.GetAt('x') + a.GetAt(' 1st');"), "firstsecond");

    EXPECT_EQ(Failure("array a; a.SetSize(3); write a.GetAt(3);"), "Array index 3 out of bound. Valid: 0 - 2");
    EXPECT_EQ(Failure("array a; a.Add(1); a.InsertAt(1, 2);"), "Array index 1 out of bound. Valid: 0 - 0");
    EXPECT_EQ(Failure("array a; a.RemoveAt(0);"), "Array index 0 out of bound. Valid: 0 - -1");
    EXPECT_EQ(Failure("array a; a.Add(1); a.SetAt(-1, 2);"), "Array index -1 out of bound. Valid: 0 - 0");
    EXPECT_EQ(Failure("array a; a.SetAt(0);"), "Missing parameter.");
    EXPECT_EQ(Failure("array a; a.Add();"), "Missing parameter.");
    EXPECT_EQ(Failure("array a; a.Count();"), "Unknown array function: Count");
}

TEST_F(ArrayTest, ACallMadeAgainInALoopSeesTheArrayAsItIsThen)
{
    // An element read while the same expression adds to the array keeps its value.
    EXPECT_EQ(Output("array a; Local.i = 0; Local.t = '';"
                     "while (Local.i < 3) a.Add('v' + Local.i);"
                     "  Local.t = Local.t + a.GetAt(Local.i) + a.Add('w') + a.GetSize() + ',';"
                     "  Local.i = Local.i + 1; endwhile write Local.t + a.GetAt(5);"),
              "v012,w14,v116,w");
    // A loop up to the size, reading each element into an operator.
    EXPECT_EQ(Output("array a; a.Add(2); a.Add('3'); a.Add(4); Local.i = 0; Local.p = 1;"
                     "while (Local.i < a.GetSize()) Local.p = Local.p * a.GetAt(Local.i);"
                     "  Local.i = Local.i + 1; a.RemoveAt(Local.i - 1); Local.i = Local.i - 1; endwhile "
                     "write Local.p + '/' + a.GetSize();"),
              "24/0");
    // The bounds are those of the pass that reads.
    EXPECT_EQ(Failure("array a; a.Add(1); Local.i = 0;"
                      "while (Local.i < 3) write a.GetAt(Local.i); a.Add(2); Local.i = Local.i + 2; endwhile"),
              "Array index 2 out of bound. Valid: 0 - 1");
    // Arguments computed by an operator give each pass its own value, and the operator's error on
    // the pass that meets it, at the operator.
    EXPECT_EQ(Output("array a; Local.i = 1; while (Local.i <= 3) a.Add('r' + Local.i); a.Add(-Local.i);"
                     " a.Add(Local.i * 10); Local.i = Local.i + 1; endwhile Local.i = 0;"
                     "while (Local.i < 9) write a.GetAt(Local.i + 0); write '|'; Local.i = Local.i + 1; endwhile"),
              "r1|-1|10|r2|-2|20|r3|-3|30|");
    EXPECT_EQ(Run("t.tws", "array a; Local.v = 1; Local.i = 0; while (Local.i < 3) a.Add(Local.v - 1);\n"
                           "Local.i = Local.i + 1; Local.v = 'x'; endwhile"),
              kRunFailed);
    EXPECT_EQ(errorText, Report(1, 70, "array a; Local.v = 1; Local.i = 0; while (Local.i < 3) a.Add(Local.v - 1);",
                                "Operation not allowed on these operands."));
}

TEST_F(ArrayTest, AnArrayHoldsAtMostAMillionEntries)
{
    const std::string refused = "An array may hold at most 1000000 entries.";
    EXPECT_EQ(Failure("array a; a.SetSize(100000000);"), refused);
    EXPECT_EQ(Failure("array a; a.SetSize(2000000000);"), refused);
    EXPECT_EQ(Failure("array a; a.SetSize(1000001);"), refused);
    // Refused at the call, before anything is spent.
    EXPECT_EQ(Run("t.tws", "array a; a.Add('kept');\n a.SetSize(1000001);"), kRunFailed);
    EXPECT_EQ(errorText, Report(2, 2, " a.SetSize(1000001);", refused));
    // Growing one entry at a time meets the same bound.
    EXPECT_EQ(Failure("array a; a.SetSize(1000000); a.Add(1);"), refused);
    EXPECT_EQ(Failure("array a; a.SetSize(1000000); a.InsertAt(0, 1);"), refused);
    EXPECT_EQ(Output("array a; a.SetSize(1000000); a.SetAt(999999, 'last'); write a.GetSize() + a.GetAt(999999);"),
              "1000000last");
}

TEST_F(ArrayTest, ADeclarationThatRunsAgainEmptiesTheSameArray)
{
    EXPECT_EQ(Output("Local.i = 0; while (Local.i < 3) array a; a.Add(Local.i); write a.GetSize();"
                     " Local.i = Local.i + 1; endwhile"),
              "111");
    EXPECT_EQ(Failure("array a; datetime a(2004, 1, 1);"),
              "The variable or function name has been used. Please choose another one: a");
}

TEST_F(ArrayTest, FunctionsHandBackWholeArrays)
{
    constexpr std::string_view kFunctions =
        "\nfunction list(n) array r; r.Add(arg.n); r.Add(arg.n + 1); return r; endfunction"
        "\nfunction none() array r; return r; endfunction"
        "\nfunction one() return 'single'; endfunction";
    EXPECT_EQ(
        Output("array a = Local.list(5); write a.GetSize() + ':' + a.GetAt(0) + a.GetAt(1);" + std::string(kFunctions)),
        "2:56");
    // The array is filled afresh each time; a plain value becomes one element.
    EXPECT_EQ(Output("Local.i = 0; while (Local.i < 2) array a = local.one(); Local.i = Local.i + 1; endwhile "
                     "write a.GetSize() + a.GetAt(0);" +
                     std::string(kFunctions)),
              "1single");
    // A caller that takes one value gets the first element; an empty array leaves the value alone.
    EXPECT_EQ(Output("write Local.list(7) + '|' + Local.none() + '|';" + std::string(kFunctions)), "7||");

    EXPECT_EQ(Failure("array a = 1 + Local.one();" + std::string(kFunctions)),
              "Correct Syntax: array a; or array b = function();");
    EXPECT_EQ(Failure("array a = String.upper('x');"), "Correct Syntax: array a; or array b = function();");
    EXPECT_EQ(Failure("array a = Local.one;" + std::string(kFunctions)), "Function must end with ();");
}

}  // namespace
