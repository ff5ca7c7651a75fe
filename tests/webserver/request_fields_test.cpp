#include "webserver/request_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Value(const CRequestFields& fields, const std::string& name)
{
    std::string value = "<absent>";
    fields.GetValue(name, value);
    return value;
}

void ParseUrlEncoded(CRequestFields& fields, const std::string& body)
{
    ASSERT_EQ(fields.SetBody(body), 1);
    fields.Parse();
}

const std::string kBoundary = "------------------------a1b2c3";

std::string TextPart(const std::string& name, const std::string& value)
{
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string FilePart(const std::string& name, const std::string& fileName, const std::string& data)
{
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n";
}

std::string Closing()
{
    return "--" + kBoundary + "--\r\n";
}

int ParseMultipart(CRequestFields& fields, const std::string& body)
{
    fields.SetMultipart(true);
    EXPECT_EQ(fields.SetBody(body), 1);
    return fields.ParseMultipart();
}

TEST(RequestFieldsTest, UrlEncodedPairs)
{
    CRequestFields fields;
    ParseUrlEncoded(fields, "x=a+b%26c&y=&Name=%20Ann%20");
    EXPECT_EQ(Value(fields, "x"), "a b&c");
    EXPECT_TRUE(fields.Exists("y"));
    EXPECT_EQ(Value(fields, "y"), "");
    EXPECT_EQ(fields.GetLength("y"), 0);
    // Names are matched without regard to case; values are trimmed after decoding.
    EXPECT_EQ(Value(fields, "NAME"), "Ann");
    EXPECT_EQ(fields.GetLength("name"), 3);
    EXPECT_FALSE(fields.Exists("z"));
    EXPECT_EQ(fields.GetLength("z"), 0);
}

TEST(RequestFieldsTest, UrlEncodedNameAndHashRules)
{
    CRequestFields fields;
    // '&' does not end a name, and names keep their encoding.
    ParseUrlEncoded(fields, "flag&z=1&a%20b=2&last");
    EXPECT_EQ(Value(fields, "flag&z"), "1");
    EXPECT_FALSE(fields.Exists("flag"));
    EXPECT_EQ(Value(fields, "a%20b"), "2");
    EXPECT_TRUE(fields.Exists("last"));

    CRequestFields hashed;
    ParseUrlEncoded(hashed, "a=1#b=2&c=3");
    EXPECT_EQ(Value(hashed, "a"), "1");
    EXPECT_FALSE(hashed.Exists("b"));
    EXPECT_FALSE(hashed.Exists("c"));

    CRequestFields leading;
    ParseUrlEncoded(leading, "#a=1");
    EXPECT_FALSE(leading.Exists("a"));
}

TEST(RequestFieldsTest, RepeatedNamesAreJoinedWithLineFeeds)
{
    CRequestFields fields;
    ParseUrlEncoded(fields, "a=1&b=2&A=&a=3");
    EXPECT_EQ(Value(fields, "a"), "1\n3");
    EXPECT_EQ(Value(fields, "b"), "2");

    CRequestFields added;
    added.Add("t", "");
    added.Add("t", " red ");
    EXPECT_EQ(Value(added, "t"), "red");
    added.Set("T", "  green\t");
    EXPECT_EQ(Value(added, "t"), "green");
}

TEST(RequestFieldsTest, BodyBufferKeepsATerminatingZero)
{
    CRequestFields fields;
    ASSERT_EQ(fields.SetBody("abcdef"), 1);
    EXPECT_EQ(fields.GetBody(), "abcdef");
    EXPECT_EQ(fields.GetBody().data()[6], '\0');
    // A shorter body reuses the buffer and is terminated at its own end.
    ASSERT_EQ(fields.SetBody("xy"), 1);
    EXPECT_EQ(fields.GetBody(), "xy");
    EXPECT_EQ(fields.GetBody().data()[2], '\0');
    EXPECT_EQ(fields.ReserveBody(static_cast<std::size_t>(-1)), 0);
    EXPECT_EQ(fields.GetBodyCapacity(), 0U);
    EXPECT_EQ(fields.GetBody(), "");
}

TEST(RequestFieldsTest, MultipartTextFields)
{
    CRequestFields fields;
    const std::string body = TextPart("tag", "red") + TextPart("Tag", "blue") + TextPart("x", "  x  ") +
                             TextPart("lines", "one\r\ntwo") + FilePart("none", "", "") + Closing();
    EXPECT_EQ(ParseMultipart(fields, body), 1);
    EXPECT_EQ(Value(fields, "tag"), "red\nblue");
    EXPECT_EQ(Value(fields, "x"), "x");
    EXPECT_EQ(Value(fields, "lines"), "one\r\ntwo");
    // A file field without a chosen file is an ordinary empty field.
    EXPECT_EQ(Value(fields, "none"), "");
    std::string fileName;
    std::vector<unsigned char> block;
    EXPECT_EQ(fields.GetUploadedFile("none", fileName, block), CRequestFields::kUploadNoFileData);
    EXPECT_EQ(fields.GetUploadedFile("missing", fileName, block), CRequestFields::kUploadNoField);
}

TEST(RequestFieldsTest, UploadFileNamesLoseTheirFolders)
{
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\My Files\\a b.txt", "a_b.txt"},
        {"/home/ann/my notes.txt", "my_notes.txt"},
        {"D:report.doc", "report.doc"},
        {"plain; name.txt", "plain;_name.txt"},
    };
    for (const auto& [sent, kept] : cases) {
        CRequestFields fields;
        ParseMultipart(fields, FilePart("f", sent, "data") + Closing());
        std::string fileName;
        std::vector<unsigned char> block;
        ASSERT_EQ(fields.GetUploadedFile("f", fileName, block), CRequestFields::kUploadOk) << sent;
        EXPECT_EQ(fileName, kept);
        EXPECT_EQ(std::string(block.begin(), block.end()), "data");
    }
}

TEST(RequestFieldsTest, TruncatedOrMalformedBodiesKeepWhatWasFound)
{
    // The upload's closing delimiter never arrived: the bytes up to where it could have begun.
    const std::string whole = TextPart("a", "1") + FilePart("f", "x.bin", std::string(100, 'z')) + Closing();
    const std::size_t cut = whole.size() - Closing().size() - 2;
    CRequestFields truncated;
    EXPECT_EQ(ParseMultipart(truncated, whole.substr(0, cut)), 0);
    EXPECT_EQ(Value(truncated, "a"), "1");
    std::string fileName;
    std::vector<unsigned char> block;
    ASSERT_EQ(truncated.GetUploadedFile("f", fileName, block), CRequestFields::kUploadOk);
    EXPECT_GT(block.size(), 0U);
    EXPECT_LE(block.size(), 100U);
    EXPECT_EQ(std::string(block.begin(), block.end()), std::string(block.size(), 'z'));

    // Cut inside the part's head, and a file part with less data than a delimiter's length.
    for (std::size_t extra : {50, 95, 1000}) {
        CRequestFields fields;
        const std::string body = TextPart("a", "1") + FilePart("f", "x.bin", "");
        const std::size_t length = TextPart("a", "1").size() + extra;
        EXPECT_EQ(ParseMultipart(fields, body.substr(0, std::min(length, body.size()))), 0);
        EXPECT_EQ(Value(fields, "a"), "1");
        if (fields.GetUploadedFile("f", fileName, block) == CRequestFields::kUploadOk) {
            EXPECT_TRUE(block.empty());
        }
    }

    // A part without a name ends parsing; the text field without its delimiter is not stored.
    CRequestFields nameless;
    EXPECT_EQ(ParseMultipart(nameless, TextPart("a", "1") + "--" + kBoundary +
                                           "\r\nContent-Disposition: form-data\r\n\r\nv\r\n" + TextPart("b", "2") +
                                           Closing()),
              0);
    EXPECT_EQ(Value(nameless, "a"), "1");
    EXPECT_FALSE(nameless.Exists("b"));

    CRequestFields open;
    EXPECT_EQ(ParseMultipart(open, TextPart("a", "1") + TextPart("b", "no end").substr(0, 60)), 0);
    EXPECT_FALSE(open.Exists("b"));

    CRequestFields empty;
    EXPECT_EQ(ParseMultipart(empty, ""), 0);
    EXPECT_EQ(ParseMultipart(empty, "\r\n\r\n"), 0);
}

}  // namespace
