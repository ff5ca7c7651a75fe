#include "foundation/ssp_date_time.h"

#include "foundation/ascii_text.h"
#include "foundation/log.h"
#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_tokenizer.h"
#include "foundation/ssp_value.h"

#include <climits>
#include <cstdio>
#include <ctime>
#include <langinfo.h>
#include <locale.h>

namespace {

CLocaleDateTime g_locale;

constexpr int kFirstValidYear = 1;
constexpr int kLastValidYear = 9999;
// A year written with at most this many digits is a two-digit year.
constexpr size_t kTwoDigitYear = 2;

// --- Reading the locale's formats -----------------------------------------------------------------

// Replaces the composite conversions that locales use in their date and time formats by the fields
// they stand for, so the field order and separators can be read off one flat pattern.
std::string ExpandComposites(const std::string& format, const std::string& ampmFormat)
{
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        switch (format[i + 1]) {
        case 'D': out += "%m/%d/%y"; break;
        case 'F': out += "%Y-%m-%d"; break;
        case 'T': out += "%H:%M:%S"; break;
        case 'R': out += "%H:%M"; break;
        case 'r': out += ampmFormat.empty() ? "%I:%M:%S %p" : ampmFormat; break;
        default: out.append(format, i, 2); break;
        }
        ++i;
    }
    return out;
}

// One conversion of a strftime pattern: its letter and the index just behind it.
struct Conversion
{
    char letter;
    size_t end;
};

// Walks the conversions of a pattern, skipping flags, widths and the E/O modifiers.
template <typename Visit>
void ForEachConversion(const std::string& pattern, Visit visit)
{
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%')
            continue;
        size_t j = i + 1;
        while (j < pattern.size() && std::string_view("-_0^#EO123456789").find(pattern[j]) != std::string_view::npos)
            ++j;
        if (j >= pattern.size())
            return;
        if (!visit(Conversion{pattern[j], j + 1}))
            return;
        i = j;
    }
}

// A separator must be a single ASCII punctuation byte or blank; anything else (a letter, a byte of a
// multibyte character) cannot serve as one.
bool IsSeparator(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7F && !(u >= '0' && u <= '9') && !((u | 0x20) >= 'a' && (u | 0x20) <= 'z') && c != '%';
}

void ReadDateFormat(const std::string& pattern, CLocaleDateTime& s)
{
    ForEachConversion(pattern, [&](Conversion c) {
        int order = -1;
        if (c.letter == 'm' || c.letter == 'b' || c.letter == 'B' || c.letter == 'h')
            order = 0;
        else if (c.letter == 'd' || c.letter == 'e')
            order = 1;
        else if (c.letter == 'Y' || c.letter == 'y' || c.letter == 'C' || c.letter == 'G')
            order = 2;
        if (order < 0)
            return true;
        s.dateOrder = order;
        if (c.end < pattern.size() && IsSeparator(pattern[c.end]))
            s.dateSeparator = pattern[c.end];
        return false;
    });
}

void ReadTimeFormat(const std::string& pattern, CLocaleDateTime& s)
{
    ForEachConversion(pattern, [&](Conversion c) {
        if (c.letter != 'H' && c.letter != 'k' && c.letter != 'I' && c.letter != 'l')
            return true;
        s.clock = (c.letter == 'H' || c.letter == 'k') ? 1 : 0;
        if (c.end < pattern.size() && IsSeparator(pattern[c.end]))
            s.timeSeparator = pattern[c.end];
        return false;
    });
}

// --- Broken-down times ------------------------------------------------------------------------------

bool ToLocalTm(std::int64_t time, std::tm& out)
{
    const std::time_t t = static_cast<std::time_t>(time);
    return localtime_r(&t, &out) != nullptr;
}

bool ToUtcTm(std::int64_t time, std::tm& out)
{
    const std::time_t t = static_cast<std::time_t>(time);
    return gmtime_r(&t, &out) != nullptr;
}

// The local time of a broken-down date, daylight saving decided by the time zone rules;
// kNoDateTime when it cannot be represented.
std::int64_t FromLocalTm(std::tm tm)
{
    tm.tm_isdst = -1;
    // mktime answers -1 both when it fails and for the last second of 1969; only a success fills
    // in the weekday.
    tm.tm_wday = -1;
    const std::time_t t = std::mktime(&tm);
    return t == -1 && tm.tm_wday == -1 ? kNoDateTime : static_cast<std::int64_t>(t);
}

int ClampToInt(std::int64_t value)
{
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

int DaysInMonth(int year, int month)
{
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The day must exist in its month: "2/30/2004" is no date, mktime would quietly make it 1 March.
bool IsValidDate(int year, int month, int day)
{
    return year >= kFirstValidYear && year <= kLastValidYear && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month);
}

std::string FormatTm(const std::tm& tm, std::string_view format)
{
    if (format.empty())
        return {};
    const std::string pattern(format);
    // strftime gives 0 both for "too small" and for an empty result; grow a few times, then give up.
    for (size_t size = 256; size <= 65536; size *= 4) {
        std::string buffer(size, '\0');
        // The pattern is a script's or one of ours. strftime takes no arguments beyond the broken-down
        // time, so a pattern of any content can only produce text, never read memory it should not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        const size_t n = std::strftime(buffer.data(), buffer.size(), pattern.c_str(), &tm);
#pragma GCC diagnostic pop
        if (n > 0) {
            buffer.resize(n);
            return buffer;
        }
    }
    return {};
}

// The three date fields in the locale order, joined by `sep`.
std::string FieldPattern(const char* month, const char* day, const char* year, const std::string& sep)
{
    switch (g_locale.dateOrder) {
    case 1: return std::string(day) + sep + month + sep + year;
    case 2: return std::string(year) + sep + month + sep + day;
    default: return std::string(month) + sep + day + sep + year;
    }
}

// The year in four digits: "%Y" writes the year 99 as "99", which reads back as 1999.
constexpr const char* kYearPattern = "%04Y";

// The date separator inside a strftime pattern, where a '%' would start a conversion of its own.
std::string StrftimeSeparator()
{
    return g_locale.dateSeparator == '%' ? "%%" : std::string(1, g_locale.dateSeparator);
}

const std::string& RequireParameter(std::span<const CSspValue> args, int position, std::string& text)
{
    if (args.empty())
        RaiseCatalogText(kMsgMissingParameter, position);
    text = args[0].ToString();
    return text;
}

}  // namespace

std::string NotADateMessage(std::string_view text, std::string_view after)
{
    return "The value [" + std::string(text) + "] is not a date or time" + std::string(after);
}

std::int64_t MakeLocalTime(int year, int month, int day, int hour, int minute, int second)
{
    // The fields may be any numbers a caller was given: their offsets must not overflow an int.
    if (year < INT_MIN + 1900 || month == INT_MIN)
        return kNoDateTime;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return FromLocalTm(tm);
}

bool InitLocaleDateTime(const char* localeName)
{
    locale_t locale = newlocale(LC_TIME_MASK, localeName ? localeName : "", static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0))
        return false;
    CLocaleDateTime s;
    const std::string ampmFormat = nl_langinfo_l(T_FMT_AMPM, locale);
    ReadDateFormat(ExpandComposites(nl_langinfo_l(D_FMT, locale), ampmFormat), s);
    ReadTimeFormat(ExpandComposites(nl_langinfo_l(T_FMT, locale), ampmFormat), s);
    s.amText = nl_langinfo_l(AM_STR, locale);
    s.pmText = nl_langinfo_l(PM_STR, locale);
    freelocale(locale);
    g_locale = s;
    return true;
}

void InitUserLocaleDateTime()
{
    if (!InitLocaleDateTime(""))
        TheLog().WriteLine("Failed to load the date and time formats of the user's locale; the C locale's are used.");
}

const CLocaleDateTime& GetLocaleDateTime()
{
    return g_locale;
}

void SetLocaleDateTime(const CLocaleDateTime& settings)
{
    g_locale = settings;
}

CSspDateTime CSspDateTime::FromScriptValue(const CSspValue& value, int position)
{
    if (value.IsDate())
        return CSspDateTime(value.m_time);
    const std::string text = value.ToString();
    CSspDateTime date(text);
    if (!date.IsValid() && !TrimWhiteAscii(text).empty())
        throw CSspException(NotADateMessage(text), position);
    return date;
}

void CSspDateTime::SetTime(std::int64_t time)
{
    m_time = time;
    std::tm tm{};
    m_valid = time != kNoDateTime && ToLocalTm(m_time, tm) && tm.tm_year + 1900 >= kFirstValidYear &&
              tm.tm_year + 1900 <= kLastValidYear;
}

void CSspDateTime::SetText(std::string_view text)
{
    m_time = kNoDateTime;
    m_valid = false;
    const std::string trimmed(TrimWhiteAscii(text));
    if (trimmed.starts_with("{d"))
        m_valid = ParseOdbcLiteral(trimmed, false);
    else if (trimmed.starts_with("{ts"))
        m_valid = ParseOdbcLiteral(trimmed, true);
    else if (!trimmed.empty() && trimmed[0] >= '0' && trimmed[0] <= '9')
        m_valid = ParseIsoDateTime(trimmed) || ParseLocaleDateTime(trimmed);
}

void CSspDateTime::SetLocalTime(int year, int month, int day, int hour, int minute, int second)
{
    m_time = kNoDateTime;
    m_valid = StoreLocalTime(year, month, day, hour, minute, second);
}

bool CSspDateTime::ParseIsoDateTime(std::string_view text)
{
    // Reads a run of 1 to `most` digits (exactly `most` when `exact`) at `at` into `value`.
    size_t at = 0;
    auto number = [&](size_t most, bool exact, int& value) {
        size_t digits = 0;
        value = 0;
        while (at < text.size() && digits < most && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + (text[at++] - '0');
            ++digits;
        }
        return digits > 0 && (!exact || digits == most);
    };
    auto separator = [&](char c) {
        if (at >= text.size() || text[at] != c)
            return false;
        ++at;
        return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, fraction = 0;
    if (!number(4, true, year) || !separator('-') || !number(2, false, month) || !separator('-') ||
        !number(2, false, day))
        return false;
    if (at < text.size()) {
        if (text[at] != ' ' && text[at] != 'T')
            return false;
        ++at;
        if (!number(2, false, hour) || !separator(':') || !number(2, true, minute))
            return false;
        if (separator(':') && !number(2, true, second))
            return false;
        // Fractions of a second, as databases write time stamps, are dropped.
        if (separator('.') && !number(9, false, fraction))
            return false;
        if (at != text.size())
            return false;
    }
    return StoreLocalTime(year, month, day, hour, minute, second);
}

bool CSspDateTime::ParseOdbcLiteral(const std::string& text, bool withTime)
{
    CSspTokenizer tokens(text.c_str(), withTime ? "{ts '-:}" : "{d '-}", false);
    const std::string yearText = tokens.NextToken();
    int year = ParseInt32(yearText);
    const int month = ParseInt32(tokens.NextToken());
    const int day = ParseInt32(tokens.NextToken());
    const int hour = withTime ? ParseInt32(tokens.NextToken()) : 0;
    const int minute = withTime ? ParseInt32(tokens.NextToken()) : 0;
    const int second = withTime ? ParseInt32(tokens.NextToken()) : 0;
    if (yearText.size() <= kTwoDigitYear)
        year += 1900;
    return StoreLocalTime(year, month, day, hour, minute, second);
}

bool CSspDateTime::StoreLocalTime(int year, int month, int day, int hour, int minute, int second)
{
    if (!IsValidDate(year, month, day) || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
        second > 59)
        return false;
    const std::int64_t time = MakeLocalTime(year, month, day, hour, minute, second);
    if (time == kNoDateTime)
        return false;
    m_time = time;
    return true;
}

bool CSspDateTime::ParseLocaleDateTime(const std::string& text)
{
    const std::string delimiters = std::string(1, g_locale.dateSeparator) + " /-.";
    CSspTokenizer tokens(text.c_str(), delimiters.c_str(), false);
    std::string fields[3];
    for (std::string& field : fields) {
        field = tokens.NextToken();
        // "11/12" has no year: every field must be there and be digits only.
        if (field.empty() || !IsAllDigits(field))
            return false;
    }
    static constexpr int kFieldOf[3][3] = {{1, 0, 2}, {0, 1, 2}, {2, 1, 0}};  // day, month, year
    const int* slot = kFieldOf[g_locale.dateOrder >= 0 && g_locale.dateOrder <= 2 ? g_locale.dateOrder : 0];
    const int day = ParseInt32(fields[slot[0]]);
    const int month = ParseInt32(fields[slot[1]]);
    int year = ParseInt32(fields[slot[2]]);
    if (fields[slot[2]].size() <= kTwoDigitYear)
        year += year < 70 ? 2000 : 1900;
    if (!IsValidDate(year, month, day))
        return false;

    int hour = 0;
    int minute = 0;
    const std::string_view rest = std::string_view(text).substr(static_cast<size_t>(tokens.GetPosition()));
    const size_t timeStart = rest.find_first_not_of(" \t\r\n\v\f");
    if (timeStart != std::string_view::npos && !ParseLocaleTime(rest.substr(timeStart), hour, minute))
        return false;
    const std::int64_t time = MakeLocalTime(year, month, day, hour, minute, 0);
    if (time == kNoDateTime)
        return false;
    m_time = time;
    return true;
}

bool CSspDateTime::ParseLocaleTime(std::string_view text, int& hour, int& minute)
{
    hour = 0;
    minute = 0;
    if (text.empty())
        return true;
    std::string delimiters(1, g_locale.timeSeparator);
    for (const std::string* marker : {&g_locale.amText, &g_locale.pmText}) {
        for (char c : *marker) {
            delimiters += ToUpperAscii(c);
            delimiters += ToLowerAscii(c);
        }
    }
    delimiters += " :AP";
    const std::string owned(text);
    CSspTokenizer tokens(owned.c_str(), delimiters.c_str(), false);
    const std::string hourText = tokens.NextToken();
    const std::string minuteText = tokens.NextToken();
    // A rest without an hour ("PM" alone, or a stray word) is not a time.
    if (hourText.empty() || !IsAllDigits(hourText) || !IsAllDigits(minuteText))
        return false;
    hour = ParseInt32(hourText);
    minute = ParseInt32(minuteText);
    if (hour > 24 || minute > 59)
        return false;
    if (g_locale.clock != 0)
        return true;
    // An empty marker text must not match an empty rest, or every time without a marker would be
    // taken as AM (or PM) in a locale that writes none.
    const std::string_view rest = std::string_view(owned).substr(static_cast<size_t>(tokens.GetPosition()));
    const std::string_view marker = TrimWhiteAscii(rest);
    if (marker.empty())
        return true;
    if (marker == g_locale.amText || marker == "AM") {
        if (hour == 12)
            hour = 0;
    } else if (marker == g_locale.pmText || marker == "PM") {
        if (hour < 12)
            hour += 12;
    }
    return true;
}

std::string CSspDateTime::GetDateStr() const
{
    if (m_time == kNoDateTime)
        return {};
    return Format(FieldPattern("%m", "%d", kYearPattern, StrftimeSeparator()));
}

std::string CSspDateTime::GetDateStr2() const
{
    if (m_time == kNoDateTime)
        return {};
    const std::string sep = StrftimeSeparator();
    return Format(g_locale.dateOrder == 1 ? "%d" + sep + "%m" : "%m" + sep + "%d");
}

std::string CSspDateTime::GetTimeStr() const
{
    std::tm tm{};
    if (m_time == kNoDateTime || !ToLocalTm(m_time, tm))
        return {};
    int hour = tm.tm_hour;
    const char* suffix = "";
    if (g_locale.clock == 0) {
        suffix = hour > 11 ? g_locale.pmText.c_str() : g_locale.amText.c_str();
        if (hour == 0)
            hour = 12;
        else if (hour > 12)
            hour -= 12;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%02d%c%02d", hour, g_locale.timeSeparator, tm.tm_min);
    return buffer + std::string(suffix);
}

std::string CSspDateTime::GetDateTimeStr() const
{
    return GetDateStr() + " " + GetTimeStr();
}

std::string CSspDateTime::GetDateTimeStr2() const
{
    return GetDateStr2() + " " + GetTimeStr();
}

std::string CSspDateTime::GetOdbcDateStr() const
{
    return Format("{d '%04Y-%m-%d'}");
}

std::string CSspDateTime::GetOdbcDateTimeStr() const
{
    return Format("{ts '%04Y-%m-%d %H:%M:%S'}");
}

std::string CSspDateTime::GetHttpDateTimeStr() const
{
    static constexpr const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    if (m_time == kNoDateTime || !ToUtcTm(m_time, tm))
        return {};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buffer;
}

std::string CSspDateTime::Format(std::string_view format) const
{
    std::tm tm{};
    return ToLocalTm(m_time, tm) ? FormatTm(tm, format) : std::string();
}

std::string CSspDateTime::FormatGmt(std::string_view format) const
{
    std::tm tm{};
    return ToUtcTm(m_time, tm) ? FormatTm(tm, format) : std::string();
}

std::string CSspDateTime::GetLocaleDatePattern()
{
    return FieldPattern("mm", "dd", "yyyy", std::string(1, g_locale.dateSeparator));
}

std::string CSspDateTime::GetLocaleDateTimePattern()
{
    const char t = g_locale.timeSeparator;
    return GetLocaleDatePattern() + " hh" + t + "mm" + t + "ss";
}

std::int64_t CSspDateTime::AddDays(int n) const
{
    std::tm tm{};
    if (m_time == kNoDateTime || !ToLocalTm(m_time, tm))
        return kNoDateTime;
    // Calendar arithmetic: across a daylight-saving change a day is 23 or 25 hours long, and the
    // wall-clock time must stay what it was.
    tm.tm_mday = ClampToInt(static_cast<std::int64_t>(tm.tm_mday) + n);
    return FromLocalTm(tm);
}

std::int64_t CSspDateTime::AddInterval(int unit, int n) const
{
    if (unit == kWeeks)
        return n > INT_MAX / 7 || n < INT_MIN / 7 ? kNoDateTime : AddDays(n * 7);
    if (unit != kMonths && unit != kQuarters)
        return kNoDateTime;
    std::tm tm{};
    if (m_time == kNoDateTime || !ToLocalTm(m_time, tm))
        return kNoDateTime;
    const std::int64_t months = static_cast<std::int64_t>(tm.tm_mon) + (unit == kQuarters ? 3LL * n : n);
    // Floor division, so that month -1 is December of the year before.
    std::int64_t years = months / 12;
    std::int64_t month = months % 12;
    if (month < 0) {
        month += 12;
        --years;
    }
    const std::int64_t year = tm.tm_year + years;
    if (year > INT_MAX || year < INT_MIN)
        return kNoDateTime;
    tm.tm_year = static_cast<int>(year);
    tm.tm_mon = static_cast<int>(month);
    tm.tm_sec = 0;
    return FromLocalTm(tm);
}

bool CSspDateTime::IsAllDigits(std::string_view text)
{
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

void CSspDateTime::CallMethod(const std::string& method, std::span<const CSspValue> args, int position,
                              CSspValue& result)
{
    if (method.empty()) {
        result.SetInteger(0);
        return;
    }
    std::tm tm{};
    const bool broken = ToLocalTm(m_time, tm);
    const auto field = [&](int value) { result.SetInteger(broken ? value : 0); };
    std::string argument;

    if (method == "isValid")
        result.SetInteger(m_valid ? 1 : 0);
    else if (method == "getYear")
        field(tm.tm_year + 1900);
    else if (method == "getMonth")
        field(tm.tm_mon + 1);
    else if (method == "getDay")
        field(tm.tm_mday);
    else if (method == "getDayOfWeek")
        field(tm.tm_wday + 1);
    else if (method == "getHour")
        field(tm.tm_hour);
    else if (method == "getMinute")
        field(tm.tm_min);
    else if (method == "getSecond")
        field(tm.tm_sec);
    else if (method == "format")
        result.SetString(Format(RequireParameter(args, position, argument)));
    else if (method == "formatGmt")
        result.SetString(FormatGmt(RequireParameter(args, position, argument)));
    else if (method == "getDateStr")
        result.SetString(GetDateStr());
    else if (method == "getDateStr2")
        result.SetString(GetDateStr2());
    else if (method == "getTimeStr")
        result.SetString(GetTimeStr());
    else if (method == "getDateTimeStr")
        result.SetString(GetDateTimeStr());
    else if (method == "getDateTimeStr2")
        result.SetString(GetDateTimeStr2());
    else if (method == "getOdbcDateStr")
        result.SetString(GetOdbcDateStr());
    else if (method == "getOdbcDateTimeStr")
        result.SetString(GetOdbcDateTimeStr());
    else if (method == "getHttpDateTimeStr")
        result.SetString(GetHttpDateTimeStr());
    else if (method == "addDay" || method == "addWeek" || method == "addMonth" || method == "addQuarter") {
        const int n = ParseInt32(RequireParameter(args, position, argument));
        if (method == "addDay")
            SetTime(AddDays(n));
        else
            SetTime(AddInterval(method == "addWeek" ? kWeeks : method == "addMonth" ? kMonths : kQuarters, n));
        result.SetTime(m_time);
    } else if (method == "copy") {
        if (args.empty())
            RaiseCatalogText(kMsgMissingParameter, position);
        SetTime(args[0].ToTime());
        result.SetTime(m_time);
    } else {
        throw CSspException(CMessageCatalog::Text(kMsgUnknownDateTimeField) + method, position);
    }
}
