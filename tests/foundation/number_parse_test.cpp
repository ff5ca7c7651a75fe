#include "foundation/number_parse.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

TEST(NumberParse, IntegersReadTheLeadingNumber)
{
    EXPECT_EQ(ParseInt32("42"), 42);
    EXPECT_EQ(ParseInt32("  -17abc"), -17);
    EXPECT_EQ(ParseInt32("+8"), 8);
    EXPECT_EQ(ParseInt32("1.9"), 1);
    EXPECT_EQ(ParseInt32("abc"), 0);
    EXPECT_EQ(ParseInt32("-"), 0);
    EXPECT_EQ(ParseInt32("2147483647"), INT_MAX);
    EXPECT_EQ(ParseInt32("2147483648"), INT_MAX);
    EXPECT_EQ(ParseInt32("-2147483648"), INT_MIN);
    EXPECT_EQ(ParseInt32("-2147483649"), INT_MIN);
    EXPECT_EQ(ParseInt32("99999999999999999999999999"), INT_MAX);
    EXPECT_EQ(ParseInt32("-99999999999999999999999999"), INT_MIN);

    std::int64_t value = 0;
    EXPECT_TRUE(ParseInt64(" 9223372036854775807x", value));
    EXPECT_EQ(value, INT64_MAX);
    EXPECT_TRUE(ParseInt64("-9223372036854775808", value));
    EXPECT_EQ(value, INT64_MIN);
    EXPECT_FALSE(ParseInt64("9223372036854775808", value)) << "one past the range is no 64-bit integer";
    EXPECT_EQ(value, INT64_MAX);
    EXPECT_FALSE(ParseInt64("-92233720368547758080", value));
    EXPECT_EQ(value, INT64_MIN);
}

TEST(NumberParse, DoublesAcceptOnlyDecimalNotation)
{
    double v = -1;
    EXPECT_TRUE(ParseLeadingDouble("0", v));
    EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(ParseLeadingDouble(" -1.25e2x", v));
    EXPECT_EQ(v, -125.0);
    EXPECT_TRUE(ParseLeadingDouble(".5", v));
    EXPECT_EQ(v, 0.5);
    EXPECT_FALSE(ParseLeadingDouble("", v));
    EXPECT_FALSE(ParseLeadingDouble("   ", v));
    EXPECT_FALSE(ParseLeadingDouble("-.", v));
    EXPECT_FALSE(ParseLeadingDouble("inf", v));
    EXPECT_FALSE(ParseLeadingDouble("nan", v));
    EXPECT_EQ(ParseDouble("0x10"), 0.0);
    EXPECT_EQ(ParseDouble("1,5"), 1.0);
    EXPECT_TRUE(std::isinf(ParseDouble("1e999")));
}

TEST(NumberParse, LeadingNumberSlices)
{
    EXPECT_EQ(LeadingNumber("  -1.50kg"), "-1.50");
    EXPECT_EQ(LeadingNumber("1e"), "1");
    EXPECT_EQ(LeadingNumber("2E+3;drop"), "2E+3");
    EXPECT_EQ(LeadingNumber("1); DROP TABLE t"), "1");
    EXPECT_EQ(LeadingNumber("abc"), "");
    EXPECT_EQ(LeadingNumber("-"), "");
}

TEST(NumberParse, DoubleToIntClamps)
{
    EXPECT_EQ(ClampToInt32(2.9), 2);
    EXPECT_EQ(ClampToInt32(-2.9), -2);
    EXPECT_EQ(ClampToInt32(1e12), INT_MAX);
    EXPECT_EQ(ClampToInt32(-1e12), INT_MIN);
    EXPECT_EQ(ClampToInt32(INFINITY), INT_MAX);
    EXPECT_EQ(ClampToInt32(NAN), 0);
}
