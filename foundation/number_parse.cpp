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

int ParseInt32(std::string_view text)
{
    size_t i = SkipSpace(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // Accumulate the magnitude in 64 bits and stop growing it once it passes the 32-bit range, so
    // any number of digits is read without overflow.
    long long magnitude = 0;
    for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
        if (magnitude <= static_cast<long long>(INT_MAX) + 1)
            magnitude = magnitude * 10 + (text[i] - '0');
    }
    if (negative)
        return magnitude > static_cast<long long>(INT_MAX) ? INT_MIN : -static_cast<int>(magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
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
