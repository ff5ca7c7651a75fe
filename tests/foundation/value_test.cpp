#include "foundation/ssp_date_time.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace {

CSspValue Int(std::int64_t v, int type = CSspValue::kInteger)
{
    CSspValue value;
    value.SetInteger(v, type);
    return value;
}

CSspValue Str(std::string text, int type = CSspValue::kVarChar)
{
    CSspValue value;
    value.SetString(std::move(text), type);
    return value;
}

CSspValue Dbl(double v, int type = CSspValue::kDouble)
{
    CSspValue value;
    value.SetDouble(v, type);
    return value;
}

CSspValue Span(std::int64_t seconds)
{
    CSspValue value;
    value.SetTimeSpan(seconds);
    return value;
}

CSspValue Date(std::int64_t time, int type = CSspValue::kDate)
{
    CSspValue value;
    value.SetTime(time, type);
    return value;
}

CSspValue Null(int type)
{
    CSspValue value;
    value.m_type = type;
    value.SetNull();
    return value;
}

struct Result
{
    int code;
    CSspValue value;
};

Result Apply(const CSspValue& left, const char* op, const CSspValue& right)
{
    Result r{0, {}};
    r.code = r.value.ApplyOperator(left, op, right);
    return r;
}

// Dates in these tests are shown in UTC with the default (month-day-year, 12-hour) conventions.
class ValueTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        SetLocaleDateTime(CLocaleDateTime{});
    }
};

constexpr std::int64_t kNov12_2004 = 1100217600;  // 2004-11-12 00:00:00 UTC

}  // namespace

TEST_F(ValueTest, NullFormsOfEveryKind)
{
    for (int type :
         {CSspValue::kInteger, CSspValue::kReal, CSspValue::kDouble, CSspValue::kNumeric, CSspValue::kVarChar,
          CSspValue::kLongVarChar, CSspValue::kBinary, CSspValue::kDate, CSspValue::kUnknown}) {
        const CSspValue v = Null(type);
        EXPECT_TRUE(v.IsNull()) << type;
        EXPECT_EQ(v.ToString(), "") << type;
    }
    EXPECT_FALSE(Null(CSspValue::kTimeSpan).IsNull());
    EXPECT_EQ(Str("").ToInt64(), 1246576928);
    EXPECT_EQ(Str("").ToDouble(), -9.123e19);
    EXPECT_EQ(CSspValue().m_size, 250);
}

TEST_F(ValueTest, SetFromTextKeepsZeroAndNullsOnlyNonNumbers)
{
    for (int type : {CSspValue::kReal, CSspValue::kDouble, CSspValue::kFloat}) {
        CSspValue v = Null(type);
        v.SetFromText("0");
        EXPECT_FALSE(v.IsNull()) << type;
        EXPECT_EQ(v.ToString(), "0.000000");
        EXPECT_EQ(v.ToSqlLiteral(), "0.000000");
        for (const char* nothing : {"", "   ", "abc", "-", "inf"}) {
            v.SetFromText(nothing);
            EXPECT_TRUE(v.IsNull()) << type << " '" << nothing << "'";
        }
        v.SetFromText("  2.5kg");
        EXPECT_EQ(v.ToDouble(), 2.5);
    }
    CSspValue real = Null(CSspValue::kReal);
    real.SetFromText("1e300");  // beyond float: infinity, not an undefined conversion
    EXPECT_TRUE(std::isinf(real.m_real));

    CSspValue i = Null(CSspValue::kInteger);
    i.SetFromText("");
    EXPECT_TRUE(i.IsNull());
    i.SetFromText("99999999999");
    EXPECT_EQ(i.m_integer, 99999999999);
    i.SetFromText("-99999999999999999999");
    EXPECT_EQ(i.m_integer, INT64_MIN);

    CSspValue d = Null(CSspValue::kNumeric);
    d.SetFromText("12.345");
    EXPECT_EQ(d.m_scale, 3);
    EXPECT_EQ(d.m_text, "12.345");

    CSspValue date = Null(CSspValue::kTimestamp);
    date.SetFromText("{d '2004-11-12'}");
    EXPECT_EQ(date.m_time, kNov12_2004);
    date.SetFromText("nonsense");
    EXPECT_TRUE(date.IsNull());
}

TEST_F(ValueTest, AdditionKindsFollowTheOperands)
{
    Result r = Apply(Str("5"), "+", Str("7"));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.value.m_type, CSspValue::kInteger);
    EXPECT_EQ(r.value.m_integer, 12);

    r = Apply(Str("5", CSspValue::kChar), "+", Str("x"));
    EXPECT_EQ(r.value.m_type, CSspValue::kChar);
    EXPECT_EQ(r.value.ToString(), "5x");

    r = Apply(Int(5), "+", Str("x", CSspValue::kWVarChar));
    EXPECT_EQ(r.value.m_type, CSspValue::kWVarChar);
    EXPECT_EQ(r.value.ToString(), "5x");

    r = Apply(Str("1.50"), "+", Int(1));
    EXPECT_EQ(r.value.m_type, CSspValue::kNumeric);
    EXPECT_EQ(r.value.m_scale, 2);
    EXPECT_EQ(r.value.ToString(), "2.50");

    r = Apply(Str("1.5"), "*", Str("3.0"));
    EXPECT_EQ(r.value.ToString(), "4.5");
    EXPECT_EQ(r.value.m_scale, 1);

    CSspValue longText;
    longText.SetBinary("ab", 2, CSspValue::kLongVarChar);
    r = Apply(Int(1), "+", longText);
    EXPECT_EQ(r.value.m_type, CSspValue::kVarChar);
    EXPECT_EQ(r.value.ToString(), "1ab");

    CSspValue binary;
    binary.SetBinary("\x01", 1, CSspValue::kVarBinary);
    EXPECT_EQ(Apply(binary, "+", Int(1)).code, CSspValue::kOperationNotAllowed);
    EXPECT_EQ(Apply(Int(1), "+", binary).code, CSspValue::kOperationNotAllowed);
}

TEST_F(ValueTest, NumericResultTakesTheWiderKindAndItsCode)
{
    Result r = Apply(Int(2, CSspValue::kSmallInt), "+", Int(3));
    EXPECT_EQ(r.value.m_type, CSspValue::kInteger);  // same kind: right operand's code
    r = Apply(Int(2), "+", Int(3, CSspValue::kSmallInt));
    EXPECT_EQ(r.value.m_type, CSspValue::kSmallInt);

    CSspValue real;
    real.SetReal(1.5f);
    r = Apply(real, "*", Int(2));
    EXPECT_EQ(r.value.m_type, CSspValue::kReal);
    EXPECT_EQ(r.value.m_real, 3.0f);
    r = Apply(real, "+", Dbl(1.0, CSspValue::kFloat));
    EXPECT_EQ(r.value.m_type, CSspValue::kFloat);
    EXPECT_EQ(r.value.m_double, 2.5);

    CSspValue left;
    left.SetDecimal("1.5", 1, CSspValue::kDecimal);
    CSspValue right;
    right.SetDecimal("2.25", 2, CSspValue::kNumeric);
    r = Apply(left, "+", right);
    EXPECT_EQ(r.value.m_type, CSspValue::kDecimal);  // same kind: left operand's code
    EXPECT_EQ(r.value.ToString(), "3.75");
    r = Apply(right, "+", real);
    EXPECT_EQ(r.value.m_type, CSspValue::kReal);
}

TEST_F(ValueTest, IntegerArithmeticNeverWrapsAndRefusesDivisionByZero)
{
    // Past 32 bits a result is an exact integer of the same kind, past 64 bits the nearest double.
    Result r = Apply(Int(INT_MAX), "+", Int(1));
    EXPECT_EQ(r.value.m_type, CSspValue::kInteger);
    EXPECT_EQ(r.value.ToString(), "2147483648");
    EXPECT_EQ(Apply(Int(INT_MIN), "-", Int(1)).value.ToString(), "-2147483649");
    EXPECT_EQ(Apply(Int(65536), "*", Int(65536)).value.ToString(), "4294967296");
    EXPECT_EQ(Apply(Int(-1), "*", Int(INT_MIN)).value.ToString(), "2147483648");
    EXPECT_EQ(Apply(Int(INT_MIN), "/", Int(-1)).value.ToString(), "2147483648");
    EXPECT_EQ(Apply(Str("2147483647"), "+", Str("1")).value.ToString(), "2147483648");
    EXPECT_EQ(Apply(Int(INT64_MAX), "-", Int(1)).value.m_integer, INT64_MAX - 1);
    r = Apply(Int(INT64_MAX), "+", Int(1));
    EXPECT_EQ(r.value.m_type, CSspValue::kDouble);
    EXPECT_EQ(r.value.ToString(), "9223372036854775808.000000");
    EXPECT_EQ(Apply(Int(INT64_MIN), "-", Int(1)).value.m_double, -9223372036854775809.0);
    EXPECT_EQ(Apply(Int(-1), "*", Int(INT64_MIN)).value.ToString(), "9223372036854775808.000000");
    EXPECT_EQ(Apply(Int(INT64_MIN), "/", Int(-1)).value.m_double, 9223372036854775808.0);
    EXPECT_EQ(Apply(Int(INT64_MAX), "*", Int(INT64_MAX)).value.m_double, 8.5070591730234616e37);
    EXPECT_EQ(Apply(Int(INT64_MIN), "%", Int(-1)).value.m_integer, 0);
    EXPECT_EQ(Apply(Str("9223372036854775807"), "%", Int(10)).value.m_integer, 7);
    EXPECT_EQ(Apply(Str("4294967296"), "%", Str("4294967295")).value.m_integer, 1);
    CSspValue bigDecimal;
    bigDecimal.SetDecimal("9223372036854775807", 0);
    EXPECT_EQ(Apply(bigDecimal, "+", Int(1)).value.ToString(), "9223372036854775808");
    CSspValue number;
    number.SetNumberText("99999999999999999999");
    EXPECT_EQ(number.m_type, CSspValue::kDouble);
    EXPECT_EQ(number.m_double, 1e20);

    EXPECT_EQ(Apply(Int(-7), "/", Int(2)).value.m_integer, -3);
    EXPECT_EQ(Apply(Int(-7), "%", Int(3)).value.m_integer, -1);
    // The target may be an operand; a null integer is no number.
    CSspValue a = Int(3, CSspValue::kSmallInt);
    EXPECT_EQ(a.ApplyOperator(a, "-", Int(5)), 0);
    EXPECT_EQ(a.m_integer, -2);
    EXPECT_EQ(a.m_type, CSspValue::kInteger);
    CSspValue b = Int(4);
    EXPECT_EQ(b.ApplyOperator(Int(6, CSspValue::kSmallInt), "*", b), 0);
    EXPECT_EQ(b.m_integer, 24);
    EXPECT_EQ(Apply(Null(CSspValue::kInteger), "+", Int(5)).value.m_integer, 5);
    EXPECT_EQ(Apply(Int(5), "*", Null(CSspValue::kInteger)).value.ToString(), "");

    for (const char* op : {"/", "%"}) {
        EXPECT_EQ(Apply(Int(5), op, Int(0)).code, CSspValue::kOperationNotAllowed) << op;
        EXPECT_EQ(Apply(Str("5"), op, Str("0")).code, CSspValue::kOperationNotAllowed) << op;
    }
    CSspValue wholeDecimal;
    wholeDecimal.SetDecimal("6", 0);
    const Result byZero = Apply(wholeDecimal, "/", Int(0));
    EXPECT_EQ(byZero.code, CSspValue::kOperationNotAllowed);
    EXPECT_EQ(byZero.value.m_type, CSspValue().m_type) << "a refused division leaves its target alone";
    EXPECT_EQ(Apply(wholeDecimal, "/", Int(4)).value.ToString(), "1");
}

TEST_F(ValueTest, FloatingDivisionByZeroGivesInfinity)
{
    EXPECT_EQ(Apply(Dbl(1.0), "/", Int(0)).value.m_double, INFINITY);
    EXPECT_EQ(Apply(Dbl(-1.0), "/", Int(0)).value.m_double, -INFINITY);
    CSspValue real;
    real.SetReal(2.0f);
    EXPECT_EQ(Apply(real, "/", Int(0)).value.m_real, INFINITY);
    EXPECT_EQ(Apply(Str("1.50"), "/", Str("0")).value.ToString(), "inf");
}

TEST_F(ValueTest, NullOperands)
{
    const CSspValue nullInt = Null(CSspValue::kInteger);
    Result r = Apply(nullInt, "+", Int(5));
    EXPECT_EQ(r.value.m_integer, 5);
    r = Apply(Str("a"), "||", Null(CSspValue::kVarChar));
    EXPECT_EQ(r.value.ToString(), "a");
    r = Apply(nullInt, "*", Int(5));
    EXPECT_EQ(r.value.m_type, CSspValue::kVarChar);
    EXPECT_TRUE(r.value.IsNull());
    r = Apply(Int(5), "%", nullInt);
    EXPECT_TRUE(r.value.IsNull());

    r = Apply(nullInt, "-", Int(5));
    EXPECT_EQ(r.value.m_integer, -5);
    r = Apply(nullInt, "-", Span(60));
    EXPECT_EQ(r.value.m_span, -60);
    // The null marker must not be negated as if it were a number.
    r = Apply(nullInt, "-", nullInt);
    EXPECT_EQ(r.value.m_type, CSspValue::kVarChar);
    EXPECT_TRUE(r.value.IsNull());
    r = Apply(Int(5), "-", nullInt);
    EXPECT_EQ(r.value.m_integer, 5);
}

TEST_F(ValueTest, DateAndSpanArithmetic)
{
    Result r = Apply(Date(kNov12_2004, CSspValue::kTimestamp), "+", Span(86400));
    EXPECT_EQ(r.value.m_type, CSspValue::kTimestamp);
    EXPECT_EQ(r.value.m_time, kNov12_2004 + 86400);

    r = Apply(Span(60), "+", Date(kNov12_2004));
    EXPECT_EQ(r.value.m_time, kNov12_2004 + 60);
    EXPECT_EQ(Apply(Span(60), "+", Span(30)).value.m_span, 90);
    EXPECT_EQ(Apply(Span(60), "-", Span(90)).value.m_span, -30);

    r = Apply(Date(kNov12_2004 + 3600), "-", Date(kNov12_2004));
    EXPECT_EQ(r.value.m_type, CSspValue::kTimeSpan);
    EXPECT_EQ(r.value.m_span, 3600);
    r = Apply(Str("{d '2004-11-13'}"), "-", Date(kNov12_2004));
    EXPECT_EQ(r.value.m_span, 86400);
    r = Apply(Str("{d '2004-11-12'}"), "+", Span(60));
    EXPECT_EQ(r.value.m_type, CSspValue::kDate);
    EXPECT_EQ(r.value.m_time, kNov12_2004 + 60);

    EXPECT_EQ(Apply(Date(kNov12_2004), "+", Int(1)).code, CSspValue::kNeedsTimeSpan);
    EXPECT_EQ(Apply(Span(1), "+", Int(1)).code, CSspValue::kNeedsDateTime);
    EXPECT_EQ(Apply(Span(1), "-", Int(1)).code, CSspValue::kNeedsTimeSpan);
    EXPECT_EQ(Apply(Date(kNov12_2004), "-", Str("abc")).code, CSspValue::kNeedsTimeSpanOrDate);
    EXPECT_EQ(Apply(Str("abc"), "-", Int(1)).code, CSspValue::kOperationNotAllowed);
    EXPECT_EQ(Apply(Int(1), "-", Str("abc")).code, CSspValue::kOperationNotAllowed);
    EXPECT_EQ(Apply(Str("abc"), "*", Str("def")).code, CSspValue::kOperationNotAllowed);

    r = Apply(Date(kNov12_2004), "+", Str("!"));
    EXPECT_EQ(r.value.ToString(), "11/12/2004 12:00AM!");
}

TEST_F(ValueTest, OperatorsMayWriteIntoAnOperand)
{
    CSspValue v = Str("3");
    EXPECT_EQ(v.ApplyOperator(v, "+", Int(4)), 0);
    EXPECT_EQ(v.m_integer, 7);
    EXPECT_EQ(v.ApplyOperator(v, "||", v), 0);
    EXPECT_EQ(v.ToString(), "77");

    // Text appended to the left operand grows it in place, with the kind the general rules give.
    CSspValue text = Str("a text of some length", CSspValue::kChar);
    text.m_text.reserve(100);
    const char* block = text.m_text.data();
    EXPECT_EQ(text.ApplyOperator(text, "+", Int(5)), 0);
    EXPECT_EQ(text.ApplyOperator(text, "+", text), 0);
    EXPECT_EQ(text.ToString(), "a text of some length5a text of some length5");
    EXPECT_EQ(text.m_type, CSspValue::kChar);
    EXPECT_EQ(text.m_text.data(), block) << "appended in place";
    EXPECT_EQ(text.ApplyOperator(text, "||", Str("!")), 0);
    EXPECT_EQ(text.m_type, CSspValue::kVarChar);
    EXPECT_EQ(text.ToString(), "a text of some length5a text of some length5!");

    CSspValue unchanged = Str("keep");
    EXPECT_EQ(unchanged.ApplyOperator(Int(1), "^", Int(2)), 0);
    EXPECT_EQ(unchanged.ToString(), "keep");
    CSspValue date = Date(kNov12_2004);
    EXPECT_EQ(date.ApplyOperator(date, "+", Int(1)), CSspValue::kNeedsTimeSpan);
    EXPECT_EQ(date.ToString(), "11/12/2004 12:00AM") << "a refused operation keeps its target";
}

TEST_F(ValueTest, ComparisonsWithNulls)
{
    const CSspValue nullInt = Null(CSspValue::kInteger);
    EXPECT_TRUE(nullInt.Compare("=", Null(CSspValue::kVarChar)));
    EXPECT_TRUE(nullInt.Compare("==", nullInt));
    EXPECT_FALSE(nullInt.Compare("<>", nullInt));
    EXPECT_TRUE(nullInt.Compare("<>", Int(5)));
    EXPECT_TRUE(Int(5).Compare("!=", nullInt));
    EXPECT_FALSE(nullInt.Compare("<", Int(5)));
    EXPECT_FALSE(nullInt.Compare("=", Int(5)));
}

TEST_F(ValueTest, ComparisonsTextVersusNumber)
{
    EXPECT_TRUE(Str("10").Compare("<", Str("9")));
    EXPECT_FALSE(Int(10).Compare("<", Str("9")));
    EXPECT_TRUE(Str("9").Compare("<", Int(10)));
    EXPECT_TRUE(Dbl(2.5).Compare(">=", Str("2.5")));
    EXPECT_TRUE(Str("abc").Compare("<", Str("abd")));
    EXPECT_TRUE(Str("\xC3\xA9").Compare(">", Str("z")));  // bytes compare unsigned
    // Integers beyond 2^53, which doubles would take for equal, compare exactly.
    EXPECT_TRUE(Int(INT64_MAX).Compare(">", Int(INT64_MAX - 1)));
    EXPECT_TRUE(Int(INT64_MAX).Compare("<", Apply(Int(INT64_MAX), "+", Int(1)).value));
    EXPECT_TRUE(Int(INT64_MAX).Compare("<>", Str("9223372036854775806")));
    EXPECT_TRUE(Str("9007199254740993").Compare(">", Int(9007199254740992)));
    EXPECT_TRUE(Dbl(2147483648.5).Compare(">", Int(2147483648)));
    EXPECT_TRUE(Dbl(-9223372036854775808.0).Compare("=", Int(INT64_MIN)));
    EXPECT_FALSE(Int(1).Compare("=~", Int(1)));

    CSspValue longText;
    longText.SetBinary("42", 2, CSspValue::kLongVarChar);
    EXPECT_TRUE(Int(42).Compare("=", longText));

    EXPECT_TRUE(Date(kNov12_2004).Compare("=", Str("{d '2004-11-12'}")));
    EXPECT_TRUE(Span(5).Compare(">", Int(3)));  // numeric right: seconds against the number
    EXPECT_EQ(Apply(Span(125), "%", Int(60)).value.m_integer, 5);
    EXPECT_TRUE(Span(5).Compare(">", Str("x")));  // span against a non-span counts as 0
}

TEST_F(ValueTest, TextConversions)
{
    EXPECT_EQ(Span(86400 + 3600 + 60 + 1).ToString(), "1 1:1:1");
    EXPECT_EQ(Span(-90061).ToString(), "-1 -1:-1:-1");
    EXPECT_EQ(Int(-3).ToString(), "-3");
    EXPECT_EQ(Int(INT_MIN).ToString(), "-2147483648");
    EXPECT_EQ(Int(INT_MAX).ToString(), "2147483647");
    EXPECT_EQ(Int(0).ToSqlLiteral(), "0");
    EXPECT_EQ(Dbl(0.5).ToString(), "0.500000");
    EXPECT_EQ(Date(kNov12_2004 + 21 * 3600 + 30 * 60).ToString(), "11/12/2004 09:30PM");

    CSspValue blank;
    blank.SetBinary(" ", 1, CSspValue::kLongVarChar);
    EXPECT_EQ(blank.ToString(), "");

    EXPECT_EQ(Dbl(-2.9).ToInt64(), -2);
    EXPECT_EQ(Dbl(3e10).ToInt64(), 30000000000);
    EXPECT_EQ(Dbl(-1e30).ToInt64(), INT64_MIN);
    EXPECT_EQ(Str("12abc").ToInt64(), 12);
    EXPECT_EQ(Str("abc").ToTime(), kNoDateTime);
    EXPECT_EQ(Int(5).ToTime(), kNoDateTime);
}

TEST_F(ValueTest, NumericTextAndNumberText)
{
    for (const char* yes : {"-", "1,5.3", "007", "-1.5"})
        EXPECT_TRUE(Str(yes).IsNumericText()) << yes;
    for (const char* no : {"", "1e5", "+1", " 1", "1-"})
        EXPECT_FALSE(Str(no).IsNumericText()) << no;

    CSspValue v;
    v.SetNumberText("3.14159", "2");
    EXPECT_EQ(v.m_type, CSspValue::kNumeric);
    EXPECT_EQ(v.ToString(), "3.14");
    v.SetNumberText("3.99", "");
    EXPECT_EQ(v.m_type, CSspValue::kInteger);
    EXPECT_EQ(v.m_integer, 3);
    v.SetNumberText("2.500");
    EXPECT_EQ(v.m_scale, 3);
    v.SetNumberText("1", "2000000000");  // the scale cannot make the text arbitrarily long
    EXPECT_LE(v.ToString().size(), 1100u);
}

TEST_F(ValueTest, SqlLiterals)
{
    EXPECT_EQ(Str("O'Brien").ToSqlLiteral(), "'O''Brien'");
    EXPECT_EQ(Str("''").ToSqlLiteral(), "''''''");
    EXPECT_EQ(Str("").ToSqlLiteral(), "NULL");
    EXPECT_EQ(Date(kNov12_2004 + 3600).ToSqlLiteral(), "{d '2004-11-12'}");
    EXPECT_EQ(Date(kNov12_2004 + 3661, CSspValue::kTimestamp).ToSqlLiteral(), "{ts '2004-11-12 01:01:01'}")
        << "a time stamp keeps its time";
    EXPECT_EQ(Null(CSspValue::kTimestamp).ToSqlLiteral(), "NULL");
    EXPECT_EQ(Null(CSspValue::kDate).ToSqlLiteral(), "NULL");
    EXPECT_EQ(Int(-4).ToSqlLiteral(), "-4");
    EXPECT_EQ(Null(CSspValue::kInteger).ToSqlLiteral(), "NULL");
    EXPECT_EQ(Dbl(1.5).ToSqlLiteral(), "1.500000");
    EXPECT_EQ(Dbl(INFINITY).ToSqlLiteral(), "NULL");
    EXPECT_EQ(Span(61).ToSqlLiteral(), "'0 0:1:1'");

    CSspValue decimal;
    decimal.SetDecimal("12.50", 2);
    EXPECT_EQ(decimal.ToSqlLiteral(), "12.50");
    decimal.SetFromText("1); DROP TABLE bugs; --");
    EXPECT_EQ(decimal.ToSqlLiteral(), "1");
    decimal.SetFromText("+3.5");
    EXPECT_EQ(decimal.ToSqlLiteral(), "3.5");
    decimal.SetFromText("abc");
    EXPECT_EQ(decimal.ToSqlLiteral(), "NULL");
    decimal.SetFromText("");
    EXPECT_EQ(decimal.ToSqlLiteral(), "NULL");
}

TEST_F(ValueTest, BinaryBlocksAreCopiedAndMoved)
{
    CSspValue source;
    source.SetBinary("abc", 3, CSspValue::kVarBinary);
    CSspValue target;
    target.SetBinary("0123456789abcdefghij", 20, CSspValue::kVarBinary);
    const char* block = target.m_text.data();
    target = source;
    EXPECT_EQ(target.ToString(), "abc");
    EXPECT_EQ(target.m_text.data(), block);  // large enough: the block is reused
    EXPECT_EQ(source.ToString(), "abc");

    std::string fetched("x\0y", 3);
    target.TakeBinary(fetched);
    EXPECT_TRUE(fetched.empty());
    EXPECT_EQ(target.ToString(), std::string("x\0y", 3));

    CSspValue::CopyLongBinary(target.m_text, std::string());
    EXPECT_TRUE(target.IsNull());
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// More bytes than the process can ever get: 64 TiB of address space, reserved and never touched.
// A copy of them is refused by the allocator before a byte is read.
class UnallocatableBytes
{
public:
    UnallocatableBytes() : m_data(mmap(nullptr, kSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0))
    {}
    ~UnallocatableBytes()
    {
        if (m_data != MAP_FAILED)
            munmap(m_data, kSize);
    }
    UnallocatableBytes(const UnallocatableBytes&) = delete;
    UnallocatableBytes& operator=(const UnallocatableBytes&) = delete;

    bool Reserved() const { return m_data != MAP_FAILED; }
    std::string_view View() const { return {static_cast<const char*>(m_data), kSize}; }

private:
    static constexpr size_t kSize = size_t{1} << 46;
    void* m_data;
};
#endif

TEST_F(ValueTest, ALongValueThatGetsNoMemoryRaisesOutOfMemoryAndKeepsItsBytes)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's operator new aborts on a refused request instead of throwing";
#else
    UnallocatableBytes huge;
    ASSERT_TRUE(huge.Reserved());
    for (int type : {CSspValue::kLongVarChar, CSspValue::kLongVarBinary}) {
        CSspValue value;
        value.SetBinary("kept", 4, type);
        try {
            value.SetFromText(huge.View());
            ADD_FAILURE() << "no error was raised";
        } catch (const CSspException& error) {
            EXPECT_EQ(error.GetMessage(), "Out of memory");
        }
        EXPECT_EQ(value.ToString(), "kept") << "type " << type;
        EXPECT_THROW(value.SetBinary(huge.View().data(), huge.View().size(), type), CSspException);
    }
#endif
}
