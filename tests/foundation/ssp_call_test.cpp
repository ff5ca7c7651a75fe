#include "foundation/ssp_call.h"

#include <gtest/gtest.h>

#include "foundation/ssp_exception.h"

TEST(SspCall, ArgumentsReadAsTextAndOutOfRangeIndexRaises)
{
    CSspCall call;
    CSspValue number;
    number.SetInteger(42);
    CSspValue text;
    text.SetString("abc");
    call.m_args = {number, text};

    EXPECT_EQ(call.GetParamStr(0), "42");
    EXPECT_EQ(call.GetParamStr(1), "abc");
    for (int bad : {-1, 2}) {
        try {
            call.GetParamStr(bad);
            ADD_FAILURE() << "index " << bad << " did not raise";
        } catch (const CSspException& e) {
            EXPECT_STREQ(e.what(), "out of bound in GetParamStr.");
            EXPECT_EQ(e.GetPosition(), kNoPosition);
        }
    }
}
