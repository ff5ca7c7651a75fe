#include "foundation/codecs.h"
#include "foundation/ssp_exception.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Vector
{
    std::string kind;
    bool flag;
    std::string input;
    std::string expected;
    int line;
};

std::string FromHex(const std::string& hex)
{
    if (hex == "-")
        return {};
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    return bytes;
}

// Reference results of Python's base64 and quopri, made by data/make_codec_vectors.py.
std::vector<Vector> LoadVectors(const std::string& kind)
{
    const char* source = std::getenv("TW_SOURCE_DIR");
    if (source == nullptr)
        throw std::runtime_error("TW_SOURCE_DIR is not set");
    std::ifstream in(std::string(source) + "/tests/foundation/data/codec_vectors.txt");
    if (!in)
        throw std::runtime_error("codec_vectors.txt is missing");
    std::vector<Vector> vectors;
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        std::istringstream fields(text);
        std::string name, flag, input, expected;
        if (!(fields >> name >> flag >> input >> expected) || name != kind)
            continue;
        vectors.push_back({name, flag == "1", FromHex(input), FromHex(expected), line});
    }
    return vectors;
}

TEST(Base64, EncodingMatchesTheReferenceWithLinesOf76)
{
    auto vectors = LoadVectors("base64-encode");
    ASSERT_GT(vectors.size(), 10u);
    for (const auto& v : vectors) {
        std::string out = "stale";
        Base64Encode(v.input.data(), v.input.size(), out);
        EXPECT_EQ(out, v.expected) << "line " << v.line;
    }
}

TEST(Base64, IdsComeOnOneLineWithTheSameCharacters)
{
    auto vectors = LoadVectors("base64-encode");
    for (const auto& v : vectors) {
        std::string lines, id = "stale";
        Base64Encode(v.input.data(), v.input.size(), lines);
        Base64EncodeId(v.input, id);
        std::string joined;
        for (char c : lines) {
            if (c != '\r' && c != '\n')
                joined += c;
        }
        EXPECT_EQ(id, joined) << "line " << v.line;
    }
    std::string id;
    Base64EncodeId(std::string(300, '\xff'), id);
    EXPECT_EQ(id, std::string(400, '/'));
    Base64EncodeId("", id);
    EXPECT_EQ(id, "");
}

TEST(Base64, DecodingMatchesTheReferenceAndConsumesTheWholeText)
{
    auto vectors = LoadVectors("base64-decode");
    ASSERT_GT(vectors.size(), 10u);
    for (const auto& v : vectors) {
        std::vector<char> buffer(v.expected.size() + 8, '#');
        int length = -1;
        int consumed = Base64Decode(v.input.c_str(), buffer.data(), static_cast<int>(buffer.size()), length, v.flag);
        ASSERT_EQ(length, static_cast<int>(v.expected.size())) << "line " << v.line;
        EXPECT_EQ(std::string(buffer.data(), length), v.expected) << "line " << v.line;
        EXPECT_EQ(buffer[length], '\0') << "line " << v.line;
        // Without the flag a text of whole groups is consumed up to its last alphabet character.
        if (v.flag) {
            EXPECT_EQ(consumed, static_cast<int>(v.input.size())) << "line " << v.line;
        } else {
            EXPECT_EQ(consumed, static_cast<int>(v.input.find_last_not_of("=\r\n \t") + 1)) << "line " << v.line;
        }
    }
}

TEST(Base64, IncompleteGroupIsLeftForTheNextCallUnlessFlushed)
{
    char buffer[16];
    int length = -1;
    EXPECT_EQ(Base64Decode("QQ", buffer, sizeof buffer, length, false), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(Base64Decode("QQ", buffer, sizeof buffer, length, true), 2);
    EXPECT_EQ(std::string(buffer, length), "A");

    // Consumed stops after the last complete group, so the caller can append more text to the rest.
    EXPECT_EQ(Base64Decode("Zm9v\r\nYm", buffer, sizeof buffer, length, false), 4);
    EXPECT_EQ(std::string(buffer, length), "foo");
    EXPECT_EQ(Base64Decode("YmFy", buffer, sizeof buffer, length, false), 4);
    EXPECT_EQ(std::string(buffer, length), "bar");
}

TEST(Base64, DecodingStopsBeforeTheBufferOverflows)
{
    char buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    int length = -1;
    // "foobarbaz" needs 9 bytes; a buffer of 7 takes two groups (6 bytes) and the NUL.
    int consumed = Base64Decode("Zm9vYmFyYmF6", buffer, 7, length, true);
    EXPECT_EQ(consumed, 8);
    EXPECT_EQ(std::string(buffer, length), "foobar");
    EXPECT_EQ(buffer[6], '\0');
    EXPECT_EQ(buffer[7], '#');

    // A flush writes only the bytes that fit before the NUL.
    consumed = Base64Decode("YmF", buffer, 2, length, true);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(consumed, 0);
    EXPECT_EQ(buffer[0], '\0');

    EXPECT_EQ(Base64Decode(nullptr, buffer, 8, length, true), 0);
    EXPECT_EQ(Base64Decode("QUJD", buffer, 0, length, true), 0);
    EXPECT_EQ(length, 0);
}

TEST(QuotedPrintable, DecodingMatchesTheReference)
{
    auto vectors = LoadVectors("qp-decode");
    ASSERT_GT(vectors.size(), 10u);
    for (const auto& v : vectors) {
        std::vector<char> buffer(v.input.size() + 1, '#');
        int length = -1;
        int consumed =
            QuotedPrintableDecode(v.input.c_str(), buffer.data(), static_cast<int>(buffer.size()), length, v.flag);
        EXPECT_EQ(std::string(buffer.data(), length), v.expected) << "line " << v.line;
        EXPECT_EQ(consumed, static_cast<int>(v.input.size())) << "line " << v.line;
        EXPECT_EQ(buffer[length], '\0');
    }
}

TEST(QuotedPrintable, LoneCarriageReturnIsASoftBreakAndOutputStopsBeforeTheEnd)
{
    char buffer[8];
    int length = -1;
    EXPECT_EQ(QuotedPrintableDecode("a=\rb", buffer, sizeof buffer, length, false), 4);
    EXPECT_EQ(std::string(buffer, length), "ab");

    // An "=" that starts no escape is copied and the next "=" is read afresh.
    QuotedPrintableDecode("==41", buffer, sizeof buffer, length, false);
    EXPECT_EQ(std::string(buffer, length), "=A");

    int consumed = QuotedPrintableDecode("abc=41def", buffer, 5, length, false);
    EXPECT_EQ(std::string(buffer, length), "abcA");
    EXPECT_EQ(consumed, 6);
    EXPECT_EQ(QuotedPrintableDecode("abc", buffer, 1, length, false), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(QuotedPrintableDecode(nullptr, buffer, 8, length, false), 0);
    EXPECT_EQ(length, 0);
}

TEST(QuotedPrintable, EncodingGivesBackEveryByteInLinesMailServersPass)
{
    const std::string data = "caf\xC3\xA9 = 1 \r\ntab\t\r\nlone\rCR, lone\nLF\r\n\r\n" + std::string(200, 'x') +
                             " \r\n" + std::string(100, '\xE9') + " ";
    std::string encoded;
    QuotedPrintableEncode(data, encoded);
    std::size_t start = 0;
    while (start < encoded.size()) {
        std::size_t end = encoded.find("\r\n", start);
        const std::string line = encoded.substr(start, end == std::string::npos ? std::string::npos : end - start);
        EXPECT_LE(line.size(), 76u) << line;
        EXPECT_TRUE(line.empty() || (line.back() != ' ' && line.back() != '\t')) << "a blank at a line's end is lost";
        for (char c : line)
            EXPECT_TRUE(c >= ' ' && c < 127) << line;
        start = end == std::string::npos ? encoded.size() : end + 2;
    }
    std::vector<char> buffer(encoded.size() + 1);
    int length = -1;
    QuotedPrintableDecode(encoded.c_str(), buffer.data(), static_cast<int>(buffer.size()), length, false);
    EXPECT_EQ(std::string(buffer.data(), length), data) << encoded;
}

TEST(HtmlEscape, EscapesMarkupAndOptionallyLineEnds)
{
    std::string text = "a<b\r\n";
    HtmlEscape(text, true);
    EXPECT_EQ(text, "a&lt;b<br>\r\n");

    text = "\"Tom & Jerry\" <x>\r\n";
    HtmlEscape(text, false);
    EXPECT_EQ(text, "&quot;Tom &amp; Jerry&quot; &lt;x&gt;\r\n");

    text = "nothing to do here";
    const char* before = text.data();
    HtmlEscape(text, true);
    EXPECT_EQ(text, "nothing to do here");
    EXPECT_EQ(text.data(), before);

    text = "one\rtwo";
    HtmlEscape(text, true);
    EXPECT_EQ(text, "onetwo");
}

TEST(SwapBytePairs, SwapsPairsAndKeepsAnOddLastByte)
{
    std::string text = "abcde";
    SwapBytePairs(text);
    EXPECT_EQ(text, "badce");
    text = "";
    SwapBytePairs(text);
    EXPECT_EQ(text, "");
}

}  // namespace
