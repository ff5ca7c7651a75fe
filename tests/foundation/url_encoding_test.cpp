#include "foundation/url_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Encoded(std::string text)
{
    UrlEncode(text);
    return text;
}

std::string Decoded(std::string text)
{
    UrlDecode(text);
    return text;
}

TEST(UrlEncodingTest, EncodesExactlyTheReservedBytesInLowerCase)
{
    const std::string reserved = "\r\n!\"#$%&'()+,/:;<=>?[\\]^`{|}~";
    for (int byte = 0; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        const std::string result = Encoded(one);
        if (byte == ' ')
            EXPECT_EQ(result, "+");
        else if (reserved.find(static_cast<char>(byte)) != std::string::npos)
            EXPECT_EQ(result, "%" + ByteToHex(static_cast<unsigned char>(byte))) << "byte " << byte;
        else
            EXPECT_EQ(result, one) << "byte " << byte;
    }
    EXPECT_EQ(Encoded("a b/c"), "a+b%2fc");
    EXPECT_EQ(Encoded("x\t\x01\xC3\xA9"), "x\t\x01\xC3\xA9");
}

TEST(UrlEncodingTest, DecodesPlusAndEitherCaseOfHex)
{
    EXPECT_EQ(Decoded("a+b%2Fc"), "a b/c");
    EXPECT_EQ(Decoded("a+b%2fc"), "a b/c");
    EXPECT_EQ(Decoded("%00%ff"), std::string("\0\xff", 2));
    // A '%' without two characters after it stays as it is.
    EXPECT_EQ(Decoded("100%"), "100%");
    EXPECT_EQ(Decoded("1%4"), "1%4");
    // Decoded bytes are not decoded again.
    EXPECT_EQ(Decoded("%2541"), "%41");
}

TEST(UrlEncodingTest, DecodingUndoesEncodingForEveryByte)
{
    std::string all;
    for (int byte = 0; byte < 256; ++byte)
        all += static_cast<char>(byte);
    EXPECT_EQ(Decoded(Encoded(all)), all);
}

TEST(UrlEncodingTest, HexHelpers)
{
    EXPECT_EQ(HexToByte("2F"), 0x2F);
    EXPECT_EQ(HexToByte("2f"), 0x2F);
    EXPECT_EQ(HexToByte("ff"), 0xFF);
    EXPECT_EQ(HexToByte("7"), '?');
    EXPECT_EQ(HexToByte("123"), '?');
    EXPECT_EQ(ByteToHex(0x0A), "0a");
    EXPECT_EQ(ByteToHex(0xFF), "ff");
    EXPECT_EQ(EscapePercent("100% of %s"), "100%% of %%s");
}

}  // namespace
