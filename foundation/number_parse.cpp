#include "foundation/number_parse.h"

#include "foundation/ascii_text.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

bool IsAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

size_t SkipSpace(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && IsWhiteAscii(text[i]))
        ++i;
    return i;
}

size_t SkipDigits(std::string_view text, size_t i)
{
    while (i < text.size() && IsAsciiDigit(text[i]))
        ++i;
    return i;
}

}  // namespace

bool ParseInt64(std::string_view text, std::int64_t& value)
{
    size_t i = SkipSpace(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // The magnitude grows in unsigned 64 bits and stops at the first digit that would take it past
    // the range, so any number of digits is read without overflow.
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;  // |INT64_MIN|
    std::uint64_t magnitude = 0;
    bool fits = true;
    for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (fits && magnitude <= (kLimit - digit) / 10)
            magnitude = magnitude * 10 + digit;
        else
            fits = false;
    }
    if (!negative && magnitude == kLimit)
        fits = false;
    if (!fits) {
        value = negative ? INT64_MIN : INT64_MAX;
        return false;
    }
    value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

int ParseInt32(std::string_view text)
{
    std::int64_t value = 0;
    ParseInt64(text, value);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

std::string_view LeadingNumber(std::string_view text)
{
    const size_t start = SkipSpace(text);
    size_t i = start;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    const size_t integerEnd = SkipDigits(text, i);
    size_t end = integerEnd;
    size_t digits = integerEnd - i;
    if (end < text.size() && text[end] == '.') {
        const size_t fractionEnd = SkipDigits(text, end + 1);
        digits += fractionEnd - (end + 1);
        end = fractionEnd;
    }
    if (digits == 0)
        return {};
    // An exponent counts only when digits follow it: "1e" and "1e+" are the number 1.
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        size_t e = end + 1;
        if (e < text.size() && (text[e] == '+' || text[e] == '-'))
            ++e;
        const size_t exponentEnd = SkipDigits(text, e);
        if (exponentEnd > e)
            end = exponentEnd;
    }
    return text.substr(start, end - start);
}

bool ParseLeadingDouble(std::string_view text, double& value)
{
    const std::string_view number = LeadingNumber(text);
    if (number.empty())
        return false;
    // strtod needs a terminated buffer; the process locale is "C", so '.' is the decimal point.
    const std::string buffer(number);
    value = std::strtod(buffer.c_str(), nullptr);
    return true;
}

double ParseDouble(std::string_view text)
{
    double value = 0.0;
    ParseLeadingDouble(text, value);
    return value;
}

int ClampToInt32(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

std::int64_t ClampToInt64(double value)
{
    if (std::isnan(value))
        return 0;
    // 2^63 is exactly representable; every double below it converts without overflow.
    if (value >= 9223372036854775808.0)
        return INT64_MAX;
    if (value <= -9223372036854775808.0)
        return INT64_MIN;
    return static_cast<std::int64_t>(value);
}
