#pragma once
// Dates and times of the script language: the `datetime` object, and the one place where times
// are turned into text and parsed from it: in the user's locale order for pages, as ODBC escape
// literals for SQL statements and as HTTP dates for headers. Times are whole seconds since 1970
// (UTC), before it too, shown in local time; the years 1 to 9999 (those of SQL and ODBC dates) count
// as valid. "No date" (a NULL column, a text that is no date) is a time of its own, kNoDateTime, so
// that 1970-01-01 00:00:00 UTC is a date like any other.
//
// The user's date and time conventions are read once at start-up by InitLocaleDateTime through
// newlocale/nl_langinfo_l; the process locale itself stays "C".

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

class CSspValue;

inline constexpr std::int64_t kNoDateTime = std::numeric_limits<std::int64_t>::min();

// The error for a text given as a date that is none: "The value [<text>] is not a date or time"
// followed by `after`.
std::string NotADateMessage(std::string_view text, std::string_view after = ".");

// The locale conventions that dates are shown and parsed in.
struct CLocaleDateTime
{
    char dateSeparator = '/';
    char timeSeparator = ':';
    int dateOrder = 0;  // 0 month-day-year, 1 day-month-year, 2 year-month-day
    int clock = 0;      // 0 12-hour clock, 1 24-hour clock
    std::string amText = "AM";
    std::string pmText = "PM";
};

// Reads the date and time conventions of a locale ("" takes the environment's LC_ALL, LC_TIME or
// LANG, as programs do at start-up). Returns false, leaving the current settings, when the locale
// cannot be loaded. Call it before threads that show or parse dates start.
[[nodiscard]] bool InitLocaleDateTime(const char* localeName = "");
// InitLocaleDateTime of the environment's locale for a program's start: a locale that cannot be
// loaded is logged, and the program goes on with the conventions it had.
void InitUserLocaleDateTime();
const CLocaleDateTime& GetLocaleDateTime();
// Replaces the conventions outright (start-up only, like InitLocaleDateTime).
void SetLocaleDateTime(const CLocaleDateTime& settings);

// The local time of a date and wall-clock time (month 1 to 12). Fields beyond their range roll over
// by the calendar (day 32 is a day of the next month), and daylight saving follows the time zone's
// rules, so adding to `day` keeps the wall-clock time across a change. kNoDateTime when not
// representable.
std::int64_t MakeLocalTime(int year, int month, int day, int hour, int minute, int second);

class CSspDateTime
{
public:
    enum IntervalUnit
    {
        kWeeks = 0,
        kMonths = 1,
        kQuarters = 2
    };

    CSspDateTime() = default;
    explicit CSspDateTime(std::int64_t time) { SetTime(time); }
    explicit CSspDateTime(std::string_view text) { SetText(text); }
    // The date of a value that a script passed to be made a date. A date value keeps its time to the
    // second, which its text would round to minutes. An empty text is no date; any other text that
    // is no date throws CSspException NotADateMessage(text) at `position`, so that a mistyped date
    // is reported as typed instead of standing in the database as a date of its own.
    static CSspDateTime FromScriptValue(const CSspValue& value, int position);

    // Valid when the time is a date whose local year lies in 1 to 9999.
    void SetTime(std::int64_t time);
    // Parses "{d 'y-m-d'}", "{ts 'y-m-d h:m:s'}", an ISO date with an optional time, or a date in
    // the locale order with an optional time; anything else leaves no date, invalid. A year of one
    // or two digits is one of the 1900s ({d ...}) or, in the locale form, before 2070.
    void SetText(std::string_view text);
    // The local date and time of numbers as a script gives them (month 1 to 12). A field outside its
    // range (the day in its month, the year in the valid years) leaves no date, invalid.
    void SetLocalTime(int year, int month, int day, int hour, int minute, int second);
    bool IsValid() const { return m_valid; }
    std::int64_t GetTime() const { return m_time; }

    // Texts in local time, the year in four digits; empty for no date.
    std::string GetDateStr() const;          // date in the locale order
    std::string GetDateStr2() const;         // month and day only
    std::string GetTimeStr() const;          // hours and minutes on the locale's clock
    std::string GetDateTimeStr() const;      // GetDateStr, a blank, GetTimeStr
    std::string GetDateTimeStr2() const;     // GetDateStr2, a blank, GetTimeStr
    std::string GetOdbcDateStr() const;      // {d 'yyyy-mm-dd'}
    std::string GetOdbcDateTimeStr() const;  // {ts 'yyyy-mm-dd hh:mm:ss'}
    // RFC 1123 date of the UTC time; empty for no date.
    std::string GetHttpDateTimeStr() const;
    // strftime of the local or UTC time; "" when the time cannot be broken down.
    std::string Format(std::string_view format) const;
    std::string FormatGmt(std::string_view format) const;

    // Hints for users: "mm/dd/yyyy" and "mm/dd/yyyy hh:mm:ss" in the locale's order and separators.
    static std::string GetLocaleDatePattern();
    static std::string GetLocaleDateTimePattern();

    // The time moved by n weeks, months or quarters, by the calendar in local time, without changing
    // the object; no date for another unit, for no date or for a result outside the representable
    // range.
    std::int64_t AddInterval(int unit, int n) const;
    // The time moved by n calendar days, keeping the wall-clock time across daylight-saving changes.
    std::int64_t AddDays(int n) const;

    // True when every character is '0' to '9' (the empty text included).
    static bool IsAllDigits(std::string_view text);
    // A time of day in the locale's form (hours, minutes, an AM/PM marker on a 12-hour clock);
    // an empty text is midnight. False when the text is no time. The console reads typed task
    // times with it.
    [[nodiscard]] static bool ParseLocaleTime(std::string_view text, int& hour, int& minute);

    // The script members of the datetime object (names exact and case-sensitive): isValid, getYear,
    // getMonth, getDay, getDayOfWeek, getHour, getMinute, getSecond, format(f), formatGmt(f),
    // getDateStr ... getHttpDateTimeStr, addDay(n), addWeek(n), addMonth(n), addQuarter(n), copy(v).
    // `args` are the evaluated arguments in order. A missing argument throws CSspException
    // "Missing parameter.", an unknown name "Unknown datetime field: <name>", both at `position`.
    void CallMethod(const std::string& method, std::span<const CSspValue> args, int position, CSspValue& result);

private:
    // "{d 'y-m-d'}", or with the time "{ts 'y-m-d h:m:s'}"; a two-digit year is in the 1900s.
    [[nodiscard]] bool ParseOdbcLiteral(const std::string& text, bool withTime);
    [[nodiscard]] bool ParseLocaleDateTime(const std::string& text);
    // "yyyy-mm-dd", optionally followed by a blank or "T" and "hh:mm", "hh:mm:ss" or
    // "hh:mm:ss.fff" (the fraction is dropped): the form of HTML date inputs and of databases.
    [[nodiscard]] bool ParseIsoDateTime(std::string_view text);
    // Takes a local date and time whose every field lies in its range (the day in its month, the
    // year in 1 to 9999); false, leaving the time alone, otherwise.
    [[nodiscard]] bool StoreLocalTime(int year, int month, int day, int hour, int minute, int second);

    bool m_valid = false;
    std::int64_t m_time = kNoDateTime;  // seconds since 1970 (UTC)
};
