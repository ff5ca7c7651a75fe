#include "foundation/ssp_date_time.h"
#include "foundation/ssp_exception.h"
#include "language/ssp_library.h"
#include "language/ssp_to_library.h"
#include "script_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

CSspValue Text(std::string text)
{
    CSspValue value;
    value.SetString(std::move(text));
    return value;
}

CSspValue Span(std::int64_t seconds)
{
    CSspValue value;
    value.SetTimeSpan(seconds);
    return value;
}

// Calls String.member, To.member of `to`, or (object "") the free function `member`.
CSspValue Call(std::string object, std::string member, std::vector<CSspValue> args, CSspToLibrary* to = nullptr)
{
    CSspCall call;
    call.m_object = object.empty() ? member : object;
    call.m_member = object.empty() ? std::string() : member;
    call.m_args = std::move(args);
    call.m_position = 7;
    CSspValue result;
    CSspToLibrary own;
    if (object == "String")
        CallStringLibrary(call, result);
    else if (object == "To")
        (to ? *to : own).CallMember(call, result);
    else
        CallGlobalFunction(call, result);
    return result;
}

std::string S(std::string member, std::vector<CSspValue> args)
{
    return Call("String", std::move(member), std::move(args)).ToString();
}

std::string T(std::string member, std::vector<CSspValue> args, CSspToLibrary* to = nullptr)
{
    return Call("To", std::move(member), std::move(args), to).ToString();
}

// The message of the exception a call raises at the call's position, "" when it raises none.
template <typename F>
std::string Raised(F&& f)
{
    try {
        f();
    } catch (const CSspException& e) {
        EXPECT_EQ(e.GetPosition(), 7) << e.GetMessage();
        return e.GetMessage();
    }
    return {};
}

TEST(StringLibrary, SearchesAndSlicesCountFromOneAndClip)
{
    EXPECT_EQ(S("FindOneOf", {Text("abc"), Text("xc")}), "3");
    EXPECT_EQ(S("findoneof", {Text("abc"), Text("xyz")}), "0");
    EXPECT_EQ(S("FindString", {Text("abcabc"), Text("c"), Text("4")}), "6");
    EXPECT_EQ(S("FindString", {Text("abcabc"), Text("c")}), "3");
    // Starts outside 1..length + 1 find nothing instead of reading outside the text.
    EXPECT_EQ(S("FindString", {Text("abc"), Text(""), Text("4")}), "4");
    EXPECT_EQ(S("FindString", {Text("abc"), Text(""), Text("5")}), "0");
    EXPECT_EQ(S("FindString", {Text("abc"), Text("a"), Text("0")}), "0");

    EXPECT_EQ(S("substring", {Text("abcdef"), Text("5"), Text("10")}), "ef");
    EXPECT_EQ(S("mid", {Text("abcdef"), Text("7"), Text("1")}), "");
    EXPECT_EQ(S("substring", {Text("abcdef"), Text("-3"), Text("2")}), "ab");
    EXPECT_EQ(S("substring", {Text("abcdef"), Text("2"), Text("-1")}), "");
    EXPECT_EQ(S("left", {Text("abcdef"), Text("99")}), "abcdef");
    EXPECT_EQ(S("right", {Text("abcdef"), Text("2")}), "ef");
    EXPECT_EQ(S("right", {Text("abcdef"), Text("-1")}), "");
    EXPECT_EQ(S("length", {Text("h\xc3\xa9")}), "3");
    EXPECT_EQ(S("trim", {Text(" \t a b \r\n")}), "a b");
}

TEST(StringLibrary, ValidityTestsLetBlankNumbersButNoBlankDatesPass)
{
    EXPECT_EQ(S("IsValidNumber", {}) + S("IsValidNumber", {Text("")}) + S("IsValidNumber", {Text("-1,234.5")}), "111");
    EXPECT_EQ(S("IsValidNumber", {Text("12a")}), "0");
    EXPECT_EQ(S("IsValidDateTime", {}) + S("IsValidDateTime", {Text("")}) + S("IsValidDateTime", {Text("soon")}),
              "000");
    EXPECT_EQ(S("IsValidDateTime", {Text("{d '1969-01-01'}")}) + S("IsValidDateTime", {Text("9999-12-31")}), "11");
}

TEST(StringLibrary, RandomNumbersHaveTheirDigitCountAndDiffer)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string three = S("random", {Text("3")});
        ASSERT_EQ(three.size(), 3u) << three;
        ASSERT_EQ(three.find_first_not_of("0123456789"), std::string::npos) << three;
        const std::string plain = S("random", {});
        ASSERT_EQ(plain.find_first_not_of("0123456789"), std::string::npos) << plain;
        ASSERT_LE(std::stoi(plain), 32767);
        seen.insert(plain);
    }
    EXPECT_GT(seen.size(), 150u);  // calls within one second differ
    EXPECT_EQ(S("random", {Text("8")}).substr(0, 3), "000");
}

TEST(ToLibrary, EscapesAndCaseMapping)
{
    EXPECT_EQ(T("html", {Text("")}), "None");
    EXPECT_EQ(T("html2", {Text("")}), "");
    EXPECT_EQ(T("HTML", {Text("<a \"x\">&\r\nb")}), "&lt;a &quot;x&quot;&gt;&amp;<br>\r\nb");
    EXPECT_EQ(T("html2", {Text("a\r\n<b>")}), "a\r\n&lt;b&gt;");
    EXPECT_EQ(T("cgi", {Text("a b&c")}), "a+b%26c");
    EXPECT_EQ(T("js", {Text("it's")}) + T("sql", {Text("it's")}), "it\\'sit''s");

    EXPECT_EQ(T("upper", {Text("h\xc3\xa9llo \xcf\x83!")}), "H\xc3\x89LLO \xce\xa3!");
    EXPECT_EQ(T("lower", {Text("H\xc3\x89LLO \xce\xa3!")}), "h\xc3\xa9llo \xcf\x83!");
    // Bytes that are no well-formed character (a cut sequence, a surrogate) stay as they are.
    EXPECT_EQ(T("upper", {Text("a\xc3(\xff\xe9z")}), "A\xc3(\xff\xe9Z");
    EXPECT_EQ(T("lower", {Text("\xed\xa0\x80X")}), "\xed\xa0\x80x");
}

TEST(ToLibrary, JsLeavesNothingThatEndsAQuotedStringOrTheScriptBlock)
{
    // A backslash of the input is escaped first, so it cannot swallow the escape of a quote.
    EXPECT_EQ(T("js", {Text("\\';alert(1)//")}), "\\\\\\';alert(1)//");
    EXPECT_EQ(T("js", {Text("say \"hi\"")}), "say \\\"hi\\\"");
    EXPECT_EQ(T("js", {Text("a\r\nb")}), "a\\r\\nb");
    EXPECT_EQ(T("js", {Text("</script><script>x()</script>")}),
              "\\x3c/script\\x3e\\x3cscript\\x3ex()\\x3c/script\\x3e");
    // The line and paragraph separators end a line in a script; other characters of that block stay.
    EXPECT_EQ(T("js", {Text("a\xE2\x80\xA8"
                            "b\xE2\x80\xA9"
                            "c\xE2\x80\xA6"
                            "d")}),
              "a\\u2028b\\u2029c\xE2\x80\xA6"
              "d");
    // A cut sequence at the end stays as it is.
    EXPECT_EQ(T("js", {Text("x\xE2\x80")}), "x\xE2\x80");
    EXPECT_EQ(T("js", {Text("plain text 1.5 & more")}), "plain text 1.5 & more");
}

TEST(StringLibrary, OneCallMakesAtMostSixteenMebibytes)
{
    EXPECT_EQ(Raised([] { Call("String", "random", {Text("99999999")}); }),
              "A text that one call makes may hold at most 16 MiB (16777216 bytes).");
    EXPECT_EQ(Raised([] { Call("String", "random", {Text("16777217")}); }),
              "A text that one call makes may hold at most 16 MiB (16777216 bytes).");
    EXPECT_EQ(S("random", {Text("16777216")}).size(), 16777216u);
    // A result that grows from its argument is held to the same limit.
    const std::string big(16777216 / 4 + 1, '<');
    EXPECT_EQ(Raised([&] { Call("To", "html2", {Text(big)}); }),
              "A text that one call makes may hold at most 16 MiB (16777216 bytes).");
    EXPECT_EQ(T("html2", {Text(std::string(16777216 / 4, '<'))}).size(), 16777216u);
}

TEST(ToLibrary, NumbersDatesAndTimeSpans)
{
    CSspValue integer = Call("To", "Integer", {Text("")});
    EXPECT_EQ(integer.m_type, CSspValue::kInteger);
    EXPECT_EQ(integer.m_integer, 1246576928);
    EXPECT_EQ(Call("To", "Integer", {Text("12abc")}).m_integer, 12);
    CSspValue number = Call("To", "Number", {Text("3.14159"), Text("2")});
    EXPECT_EQ(number.ToString() + "|" + T("Number", {Text("2.50")}), "3.14|2.50");

    CSspValue span = Call("To", "TimeSpan", {Text("1"), Text("2"), Text("3")});
    EXPECT_EQ(span.m_type, CSspValue::kTimeSpan);
    EXPECT_EQ(span.m_span, 93780);
    EXPECT_EQ(Call("To", "TimeSpan", {Text("100000"), Text("0"), Text("0"), Text("5")}).m_span, 8640000005LL);
    EXPECT_EQ(Call("To", "Minutes", {span}).m_integer, 1563);
    EXPECT_EQ(Call("To", "Minutes", {Text("42x")}).m_integer, 42);

    CSspValue hours = Call("To", "Hours", {Span(5400)});
    EXPECT_EQ(hours.m_type, CSspValue::kInteger);
    EXPECT_EQ(hours.m_integer, 1);
    hours = Call("To", "Hours", {Span(5459), Text("2")});  // seconds below a minute do not count
    EXPECT_EQ(hours.m_scale, 2);
    EXPECT_EQ(hours.ToString(), "1.50");
    EXPECT_EQ(Call("To", "Hours", {number}).m_scale, 2);  // numbers pass unchanged

    EXPECT_EQ(T("OdbcDateStr", {Text("{ts '2004-11-12 21:30:05'}")}), "{d '2004-11-12'}");
    EXPECT_EQ(T("OdbcDateTimeStr", {Text("{d '2004-11-12'}")}), "{ts '2004-11-12 00:00:00'}");
    // Any year of SQL, written back as read; no date is none, and a text that is no date is an
    // error naming it, never a date of 1970.
    EXPECT_EQ(T("OdbcDateStr", {Text("12/31/0099")}), "{d '0099-12-31'}");
    EXPECT_EQ(T("OdbcDateTimeStr", {Text("2039-01-01")}), "{ts '2039-01-01 00:00:00'}");
    EXPECT_EQ(T("OdbcDateStr", {Text("")}), "");
    CSspValue stamp;
    stamp.SetTime(CSspDateTime("{ts '2050-06-01 10:15:30'}").GetTime(), CSspValue::kTimestamp);
    EXPECT_EQ(T("OdbcDateTimeStr", {stamp}), "{ts '2050-06-01 10:15:30'}") << "a date value keeps its seconds";
    EXPECT_EQ(Raised([] { T("OdbcDateStr", {Text("garbage")}); }), "The value [garbage] is not a date or time.");
}

TEST(ToLibrary, HexScramblingAndFileUrls)
{
    CSspValue binary;
    binary.SetBinary("\x00\xff", 2);
    EXPECT_EQ(T("hex", {Text("AB\n")}) + "|" + T("hex", {binary}), "41420a|00ff");
    EXPECT_EQ(T("dec", {Text("41 42 43")}), "ABC");
    EXPECT_EQ(T("dec", {Call("To", "hex", {Text("AB")})}), "A");

    EXPECT_EQ(T("Encrypted", {Text("")}) + T("Decrypted", {Text("")}) + T("Decrypted", {Text("!!")}), "");
    std::set<std::string> forms;
    for (const std::string& text : std::vector<std::string>{"x", "hello world", std::string(200, 'z') + "\xc3\xa9"}) {
        for (int i = 0; i < 20; ++i) {
            const std::string scrambled = T("Encrypted", {Text(text)});
            ASSERT_EQ(scrambled.find(text), std::string::npos);
            forms.insert(scrambled);
            ASSERT_EQ(T("Decrypted", {Text(scrambled)}), text);
        }
    }
    EXPECT_GT(forms.size(), 8u);  // the random first letter varies the form
    // Long values come on one line, for links; values made with the line breaks of 76-column
    // base64 still come back.
    const std::string longText(300, 'q');
    const std::string oneLine = T("Encrypted", {Text(longText)});
    EXPECT_GT(oneLine.size(), 76u);
    EXPECT_EQ(oneLine.find_first_of("\r\n"), std::string::npos) << oneLine;
    std::string broken = oneLine.substr(0, 76) + "\r\n" + oneLine.substr(76, 76) + "\r\n" + oneLine.substr(152);
    EXPECT_EQ(T("Decrypted", {Text(broken)}), longText);

    const std::string url = T("fileUrl", {Text("docs"), Text("id"), Text("7"), Text("body"), Text("a b.pdf")});
    EXPECT_EQ(url.rfind("fileInDB/", 0), 0u);
    EXPECT_EQ(url.substr(url.size() - 8), "/a b.pdf");
    // Names long enough for several lines of base64 still give an ID on one line.
    const std::string longName(120, 'n');
    const std::string longUrl = T("fileUrl", {Text(longName), Text(longName), Text("7"), Text(longName), Text("f")});
    EXPECT_GT(longUrl.size(), 300u);
    EXPECT_EQ(longUrl.find_first_of("\r\n"), std::string::npos) << longUrl;
}

TEST(ToLibrary, UnknownNamesAndMissingArguments)
{
    EXPECT_EQ(Raised([] { Call("To", "nothing", {}); }), "Unknown conversion library \"to\" function: nothing");
    EXPECT_EQ(Raised([] { Call("String", "nothing", {}); }), "Unknown string library \"string\" function: nothing");
    EXPECT_EQ(Raised([] { Call("", "left", {Text("a"), Text("1")}); }), "Unknown global function: left");
    EXPECT_EQ(Raised([] { Call("To", "TimeSpan", {Text("1"), Text("2")}); }), "Missing parameter.");
    EXPECT_EQ(Raised([] { Call("", "substring", {Text("a"), Text("1")}); }), "Missing parameter.");
    EXPECT_EQ(Raised([] { Call("To", "createCipherKey", {}); }), "Missing parameter.");
}

TEST(ToCipher, KeyLifecycleAndLimits)
{
    CSspToLibrary to;
    EXPECT_EQ(T("cipherKeyCreated", {}, &to), "0");
    EXPECT_EQ(T("cipher", {Text("")}, &to), "");  // no key needed for nothing
    EXPECT_EQ(Raised([&] { T("cipher", {Text("a")}, &to); }), "Call to.createCipherKey first.");
    EXPECT_EQ(Raised([&] { T("cipher", {Text(std::string(257, 'a'))}, &to); }),
              "text to be encrypted cannot exceed 256 characters.");

    EXPECT_EQ(T("createCipherKey", {Text("secret")}, &to), "1");
    EXPECT_EQ(T("CIPHERKEYCREATED", {}, &to), "1");
    // A second pass phrase is ignored, and its result left as it was.
    CSspValue result = Text("kept");
    CSspCall call{.m_object = "To", .m_member = "createCipherKey", .m_args = {Text("other")}};
    to.CallMember(call, result);
    EXPECT_EQ(result.ToString(), "kept");
    EXPECT_EQ(T("cipher", {Text("hello world")}, &to), "/nmUs9Rf2OkPeds=");
    EXPECT_EQ(T("decipher", {Text(T("cipher", {Text(std::string(256, 'q'))}, &to))}, &to), std::string(256, 'q'));
    EXPECT_EQ(Raised([&] { T("decipher", {Text(std::string(400, 'A'))}, &to); }), "Ciphertext limited to 256.");

    T("destroyCipherKey", {}, &to);
    EXPECT_EQ(T("cipherKeyCreated", {}, &to), "0");
    T("createCipherKey", {Text("other")}, &to);
    EXPECT_NE(T("cipher", {Text("hello world")}, &to), "/nmUs9Rf2OkPeds=");
}

// Pages on many threads create the one key and cipher while another thread keeps destroying it;
// every text that comes back must be the one that went in, and nothing may crash.
TEST(ToCipher, ThreadsShareTheKeyWithoutALock)
{
    CSspToLibrary to;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::vector<int> roundTrips(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string text = "thread " + std::to_string(t);
            std::string expected;
            ASSERT_TRUE(CValueCipher::FromPassPhrase("secret")->Encrypt(text, expected));
            for (int i = 0; i < 1000000 && roundTrips[t] < 300; ++i) {
                try {
                    T("createCipherKey", {Text("secret")}, &to);
                    const std::string base64 = T("cipher", {Text(text)}, &to);
                    ASSERT_EQ(base64, expected);
                    ASSERT_EQ(T("decipher", {Text(base64)}, &to), text);
                    ++roundTrips[t];
                } catch (const CSspException& e) {
                    ASSERT_EQ(e.GetMessage(), "Call to.createCipherKey first.");
                }
            }
        });
    }
    std::thread destroyer([&] {
        while (!stop)
            T("destroyCipherKey", {}, &to);
    });
    for (std::thread& thread : threads)
        thread.join();
    stop = true;
    destroyer.join();
    for (int count : roundTrips)
        EXPECT_EQ(count, 300);
}

using LibraryScriptTest = ScriptTest;

TEST_F(LibraryScriptTest, ScriptsReachTheLibrariesAndFreeFunctions)
{
    EXPECT_EQ(Output("write STRING.Length('abc') + '|' + to.Sql('it\\'s') + '|' + To.2QuoteStr('a\\'');"),
              "3|it''s|a''");
    EXPECT_EQ(Output("write upper('ab') + HasChars('abc', 'c') + char_length('abcd') + ToInteger('5x');"), "AB345");
    EXPECT_EQ(Output("write ToMinutes(TimeSpan(1, 2, 3)) + '|' + ToHours(TimeSpan(0, 1, 30), 2);"), "1563|1.50");
    // A declared datetime hides the free function of its name.
    EXPECT_EQ(Output("datetime upper(2004, 1, 2); write upper;"), Output("datetime d(2004, 1, 2); write d;"));
    EXPECT_EQ(Failure("write nothing('x');"), "Unknown global function: nothing");
}

TEST_F(LibraryScriptTest, TheCipherKeyIsOneForTheProcess)
{
    T("destroyCipherKey", {}, &TheToLibrary());
    EXPECT_EQ(Output("write To.cipherKeyCreated;"), "0");
    EXPECT_EQ(Output("write To.createCipherKey('secret');"), "1");
    // Another run, as another page would, finds the key.
    EXPECT_EQ(Output("write to.cipher('hello world') + '|' + To.decipher(To.cipher('x y'));"), "/nmUs9Rf2OkPeds=|x y");
    EXPECT_EQ(Output("To.destroyCipherKey(); write To.cipherKeyCreated();"), "0");
    EXPECT_EQ(Failure("write To.cipher('a');"), "Call to.createCipherKey first.");
}

}  // namespace
