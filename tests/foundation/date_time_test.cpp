#include "foundation/ssp_date_time.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace {

void UseTimeZone(const char* zone)
{
    setenv("TZ", zone, 1);
    tzset();
}

std::int64_t Local(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// Compiles locales with localedef into a private folder and points LOCPATH at it, so the tests see
// the real conventions of each locale whatever the machine has installed.
class GeneratedLocales
{
public:
    GeneratedLocales()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tw-locales-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            m_folder = pattern;
        setenv("LOCPATH", m_folder.c_str(), 1);
    }
    ~GeneratedLocales()
    {
        std::error_code ignored;
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder, ignored);
    }

    // Builds "<name>.UTF-8" and returns its locale name, or "" when localedef could not build it.
    std::string Generate(const std::string& name)
    {
        const std::string locale = name + ".UTF-8";
        const std::string command =
            "localedef -i " + name + " -f UTF-8 '" + m_folder + "/" + locale + "' >/dev/null 2>&1";
        std::system(command.c_str());
        return std::filesystem::exists(m_folder + "/" + locale + "/LC_TIME") ? locale : std::string();
    }

private:
    std::string m_folder;
};

struct LocaleCase
{
    const char* name;  // "C" or a locale source to compile
    char dateSeparator;
    int dateOrder;
    int clock;
    const char* am;
    const char* shown;    // 12 November 2004 21:30 local time
    const char* pattern;  // GetLocaleDateTimePattern
};

class LocaleRoundTrip : public ::testing::TestWithParam<LocaleCase>
{};

}  // namespace

TEST_P(LocaleRoundTrip, ReadsConventionsAndParsesWhatItShows)
{
    const LocaleCase& c = GetParam();
    UseTimeZone("Europe/Berlin");
    GeneratedLocales locales;
    std::string locale = c.name;
    if (locale != "C") {
        locale = locales.Generate(c.name);
        ASSERT_FALSE(locale.empty()) << "localedef could not build " << c.name;
    }
    ASSERT_TRUE(InitLocaleDateTime(locale.c_str()));

    const CLocaleDateTime& s = GetLocaleDateTime();
    EXPECT_EQ(s.dateSeparator, c.dateSeparator);
    EXPECT_EQ(s.dateOrder, c.dateOrder);
    EXPECT_EQ(s.clock, c.clock);
    EXPECT_EQ(s.timeSeparator, ':');
    EXPECT_EQ(s.amText, c.am);
    EXPECT_EQ(CSspDateTime::GetLocaleDateTimePattern(), c.pattern);

    const std::int64_t evening = Local(2004, 11, 12, 21, 30);
    const CSspDateTime shown(evening);
    EXPECT_EQ(shown.GetDateTimeStr(), c.shown);
    const CSspDateTime parsed(shown.GetDateTimeStr());
    EXPECT_TRUE(parsed.IsValid());
    EXPECT_EQ(parsed.GetTime(), evening);

    // A date alone is midnight; a two-digit year pivots at 70.
    const CSspDateTime midnight(shown.GetDateStr());
    EXPECT_EQ(midnight.GetTime(), Local(2004, 11, 12));
    std::string twoDigit = shown.GetDateStr();
    twoDigit.replace(twoDigit.find("2004"), 4, "70");
    EXPECT_EQ(CSspDateTime(twoDigit).GetTime(), Local(1970, 11, 12));
    twoDigit.replace(twoDigit.find("70"), 2, "69");
    EXPECT_EQ(CSspDateTime(twoDigit).GetTime(), Local(2069, 11, 12));
    // Four digits are the year as written, however small: a date read from a column goes back as it came.
    const CSspDateTime early(Local(99, 12, 31, 21, 30));
    EXPECT_EQ(CSspDateTime(early.GetDateTimeStr()).GetTime(), early.GetTime()) << early.GetDateTimeStr();
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LocaleRoundTrip,
    ::testing::Values(LocaleCase{"C", '/', 0, 1, "AM", "11/12/2004 21:30", "mm/dd/yyyy hh:mm:ss"},
                      LocaleCase{"en_US", '/', 0, 0, "AM", "11/12/2004 09:30PM", "mm/dd/yyyy hh:mm:ss"},
                      LocaleCase{"en_GB", '/', 1, 1, "am", "12/11/2004 21:30", "dd/mm/yyyy hh:mm:ss"},
                      LocaleCase{"de_DE", '.', 1, 1, "", "12.11.2004 21:30", "dd.mm.yyyy hh:mm:ss"},
                      LocaleCase{"sv_SE", '-', 2, 1, "", "2004-11-12 21:30", "yyyy-mm-dd hh:mm:ss"}),
    [](const ::testing::TestParamInfo<LocaleCase>& info) { return std::string(info.param.name); });

TEST(LocaleDateTime, UnknownLocaleKeepsTheSettings)
{
    CLocaleDateTime custom;
    custom.dateSeparator = '#';
    SetLocaleDateTime(custom);
    EXPECT_FALSE(InitLocaleDateTime("xx_NOWHERE.UTF-8"));
    EXPECT_EQ(GetLocaleDateTime().dateSeparator, '#');
}

class DateTimeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        UseTimeZone("UTC");
        SetLocaleDateTime(CLocaleDateTime{});  // month-day-year, '/', 12-hour clock, AM/PM
    }
};

TEST_F(DateTimeTest, OdbcLiterals)
{
    CSspDateTime d("{d '2004-11-12'}");
    EXPECT_TRUE(d.IsValid());
    EXPECT_EQ(d.GetTime(), Local(2004, 11, 12));
    EXPECT_EQ(d.GetOdbcDateStr(), "{d '2004-11-12'}");
    EXPECT_EQ(CSspDateTime("{d '69-1-1'}").GetTime(), Local(1969, 1, 1));
    EXPECT_EQ(CSspDateTime("{d '70-1-2'}").GetTime(), Local(1970, 1, 2));
    EXPECT_FALSE(CSspDateTime("{d '2004-02-30'}").IsValid());
    // The years of SQL dates, 1 to 9999, each written with four digits.
    const CSspDateTime first("{d '0001-01-01'}");
    EXPECT_EQ(first.GetTime(), Local(1, 1, 1));
    EXPECT_EQ(first.GetOdbcDateStr(), "{d '0001-01-01'}");
    EXPECT_EQ(CSspDateTime("{d '0099-12-31'}").GetOdbcDateStr(), "{d '0099-12-31'}");
    EXPECT_EQ(CSspDateTime("{ts '9999-12-31 23:59:59'}").GetOdbcDateTimeStr(), "{ts '9999-12-31 23:59:59'}");
    EXPECT_FALSE(CSspDateTime("{d '10000-01-01'}").IsValid());
    EXPECT_FALSE(CSspDateTime("{d '0000-01-01'}").IsValid());

    CSspDateTime ts("  {ts '2004-11-12 23:59:59'}  ");
    EXPECT_TRUE(ts.IsValid());
    EXPECT_EQ(ts.GetOdbcDateTimeStr(), "{ts '2004-11-12 23:59:59'}");
    EXPECT_FALSE(CSspDateTime("{ts '2004-11-12 25:00:00'}").IsValid());
    EXPECT_FALSE(CSspDateTime("{ts '2004-11-12 23:60:00'}").IsValid());
}

TEST_F(DateTimeTest, LocaleTextsNeedThreeFieldsAndARealDay)
{
    CSspDateTime d("11/12/04 9:30 PM");
    EXPECT_TRUE(d.IsValid());
    EXPECT_EQ(d.GetTime(), Local(2004, 11, 12, 21, 30));
    EXPECT_EQ(CSspDateTime("11/12/04 12:05 AM").GetTime(), Local(2004, 11, 12, 0, 5));
    EXPECT_EQ(CSspDateTime("11/12/04 12:05 PM").GetTime(), Local(2004, 11, 12, 12, 5));
    EXPECT_EQ(CSspDateTime("11-12-2004 24:00").GetTime(), Local(2004, 11, 13));
    EXPECT_EQ(CSspDateTime("2/29/2004").GetTime(), Local(2004, 2, 29));

    for (const char* invalid :
         {"11/12", "11/12/", "2/30/2004", "2/29/2005", "13/1/2004", "11/x/2004", "11/12/2004 25:00", "11/12/2004 9:75",
          "11/12/2004 PM", "11/12/2004 9h30", "abc", "", "Nov 12 2004"}) {
        const CSspDateTime bad(invalid);
        EXPECT_FALSE(bad.IsValid()) << invalid;
        EXPECT_EQ(bad.GetTime(), kNoDateTime) << invalid;
    }
}

TEST_F(DateTimeTest, IsoDatesAndTimesWhateverTheLocaleOrder)
{
    // As HTML date and datetime-local inputs send them, and as databases write time stamps.
    EXPECT_EQ(CSspDateTime("2004-11-12").GetTime(), Local(2004, 11, 12));
    EXPECT_EQ(CSspDateTime("2007-01-02 10:15:00").GetTime(), Local(2007, 1, 2, 10, 15));
    EXPECT_EQ(CSspDateTime("2007-01-02T10:15").GetTime(), Local(2007, 1, 2, 10, 15));
    EXPECT_EQ(CSspDateTime(" 2007-1-2 9:05:07 ").GetTime(), Local(2007, 1, 2, 9, 5, 7));
    EXPECT_EQ(CSspDateTime("2007-01-02 10:15:07.250").GetTime(), Local(2007, 1, 2, 10, 15, 7));
    CSspValue text;
    text.SetString("2004-11-12");
    EXPECT_TRUE(text.IsDateLike());

    CLocaleDateTime dayFirst;
    dayFirst.dateOrder = 1;
    dayFirst.dateSeparator = '.';
    SetLocaleDateTime(dayFirst);
    EXPECT_EQ(CSspDateTime("2004-11-12").GetTime(), Local(2004, 11, 12));
    EXPECT_EQ(CSspDateTime("12.11.2004").GetTime(), Local(2004, 11, 12)) << "the locale's own form still reads";

    for (const char* invalid : {"2004-02-30", "2004-13-01", "2004-11-12 24:00", "2004-11-12 10:60", "2004-11-12 10",
                                "2004-11-12 10:15:61", "2004-11-12X10:15", "2004-11-12 10:15 x", "204-11-12",
                                "0000-01-01", "2004-11-12 10:15:00.", "2004-11-12 10:1"}) {
        const CSspDateTime bad(invalid);
        EXPECT_FALSE(bad.IsValid()) << invalid;
        EXPECT_EQ(bad.GetTime(), kNoDateTime) << invalid;
    }
}

TEST_F(DateTimeTest, EmptyMarkerTextsMatchNothing)
{
    CLocaleDateTime s;
    s.amText = "";
    s.pmText = "";
    SetLocaleDateTime(s);
    EXPECT_EQ(CSspDateTime("11/12/2004 12:30").GetTime(), Local(2004, 11, 12, 12, 30));
    s.amText = "AM";
    SetLocaleDateTime(s);
    EXPECT_EQ(CSspDateTime("11/12/2004 9:30").GetTime(), Local(2004, 11, 12, 9, 30));
    EXPECT_EQ(CSspDateTime("11/12/2004 9:30 PM").GetTime(), Local(2004, 11, 12, 21, 30));
}

TEST_F(DateTimeTest, TimeTextsOnBothClocks)
{
    CSspDateTime d(Local(2004, 11, 12, 0, 5));
    EXPECT_EQ(d.GetTimeStr(), "12:05AM");
    EXPECT_EQ(d.GetDateStr2(), "11/12");
    EXPECT_EQ(CSspDateTime(Local(2004, 11, 12, 13, 7)).GetTimeStr(), "01:07PM");
    EXPECT_EQ(CSspDateTime(Local(2004, 11, 12, 12, 0)).GetTimeStr(), "12:00PM");

    CLocaleDateTime s;
    s.clock = 1;
    s.timeSeparator = '.';
    s.dateOrder = 1;
    SetLocaleDateTime(s);
    EXPECT_EQ(CSspDateTime(Local(2004, 11, 12, 13, 7)).GetDateTimeStr2(), "12/11 13.07");
    EXPECT_EQ(CSspDateTime(kNoDateTime).GetDateTimeStr(), " ");
}

TEST_F(DateTimeTest, HttpDatesAndValidity)
{
    EXPECT_EQ(CSspDateTime(std::int64_t{0}).GetHttpDateTimeStr(), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(CSspDateTime(Local(2004, 11, 12, 21, 30, 5)).GetHttpDateTimeStr(), "Fri, 12 Nov 2004 21:30:05 GMT");

    // The first second of 1970 and the seconds before it are dates; no date is none.
    for (const std::int64_t time :
         {std::int64_t{0}, std::int64_t{-5}, Local(1, 1, 1), Local(9999, 12, 31, 23, 59, 59)}) {
        const CSspDateTime date(time);
        EXPECT_TRUE(date.IsValid()) << time;
        EXPECT_EQ(date.GetTime(), time);
        EXPECT_NE(date.GetDateStr(), "") << time;
    }
    EXPECT_FALSE(CSspDateTime(Local(10000, 1, 1)).IsValid());
    EXPECT_FALSE(CSspDateTime(kNoDateTime).IsValid());
    EXPECT_EQ(CSspDateTime(kNoDateTime).GetDateStr(), "");
    CSspValue none;
    none.SetTime(kNoDateTime);
    CSspValue epoch;
    epoch.SetTime(0);
    EXPECT_TRUE(none.IsNull());
    EXPECT_FALSE(epoch.IsNull());
    EXPECT_EQ(epoch.ToSqlLiteral(), "{d '1970-01-01'}");
    EXPECT_EQ(none.ToSqlLiteral(), "NULL");
}

TEST_F(DateTimeTest, MonthAndQuarterArithmetic)
{
    EXPECT_EQ(CSspDateTime(Local(2005, 1, 31, 10, 15, 42)).AddInterval(CSspDateTime::kMonths, 1),
              Local(2005, 3, 3, 10, 15, 0));
    EXPECT_EQ(CSspDateTime(Local(2004, 1, 31)).AddInterval(CSspDateTime::kMonths, 1), Local(2004, 3, 2));
    EXPECT_EQ(CSspDateTime(Local(2005, 2, 15)).AddInterval(CSspDateTime::kQuarters, -1), Local(2004, 11, 15));
    EXPECT_EQ(CSspDateTime(Local(2005, 1, 15)).AddInterval(CSspDateTime::kMonths, -13), Local(2003, 12, 15));
    EXPECT_EQ(CSspDateTime(Local(2005, 1, 15)).AddInterval(CSspDateTime::kWeeks, 2), Local(2005, 1, 29));
    EXPECT_EQ(CSspDateTime(Local(2005, 1, 15)).AddInterval(7, 1), kNoDateTime);
    EXPECT_FALSE(
        CSspDateTime(CSspDateTime(Local(2005, 1, 15)).AddInterval(CSspDateTime::kMonths, -2000000000)).IsValid());
}

TEST_F(DateTimeTest, DaysKeepTheWallClockAcrossDaylightSaving)
{
    UseTimeZone("Europe/Berlin");
    const std::int64_t beforeSpring = Local(2004, 3, 27, 12, 0);
    const std::int64_t afterSpring = CSspDateTime(beforeSpring).AddDays(1);
    EXPECT_EQ(afterSpring, Local(2004, 3, 28, 12, 0));
    EXPECT_EQ(afterSpring - beforeSpring, 23 * 3600);

    const std::int64_t beforeAutumn = Local(2004, 10, 30, 12, 0);
    EXPECT_EQ(CSspDateTime(beforeAutumn).AddDays(1) - beforeAutumn, 25 * 3600);
    EXPECT_EQ(CSspDateTime(beforeAutumn).AddInterval(CSspDateTime::kWeeks, 1), Local(2004, 11, 6, 12, 0));
    EXPECT_EQ(CSspDateTime(Local(2004, 10, 31, 12, 0)).AddDays(-1), beforeAutumn);
}

TEST_F(DateTimeTest, ScriptMembers)
{
    CSspDateTime d(Local(2004, 11, 12, 21, 30, 5));
    CSspValue result;
    const auto call = [&](const char* name, std::vector<CSspValue> args = {}) {
        d.CallMethod(name, args, 17, result);
        return result;
    };
    EXPECT_EQ(call("getYear").m_integer, 2004);
    EXPECT_EQ(call("getMonth").m_integer, 11);
    EXPECT_EQ(call("getDay").m_integer, 12);
    EXPECT_EQ(call("getDayOfWeek").m_integer, 6);  // Friday
    EXPECT_EQ(call("getHour").m_integer, 21);
    EXPECT_EQ(call("getSecond").m_integer, 5);
    EXPECT_EQ(call("isValid").m_integer, 1);
    EXPECT_EQ(call("").m_integer, 0);
    EXPECT_EQ(call("getTimeStr").m_type, CSspValue::kVarChar);
    EXPECT_EQ(call("getDateTimeStr").ToString(), "11/12/2004 09:30PM");

    CSspValue text;
    text.SetString("%Y/%j");
    EXPECT_EQ(call("format", {text}).ToString(), "2004/317");
    text.SetString("%H");
    EXPECT_EQ(call("formatGmt", {text}).ToString(), "21");

    CSspValue n;
    n.SetString("3");
    const CSspValue moved = call("addDay", {n});
    EXPECT_EQ(moved.m_type, CSspValue::kDate);
    EXPECT_EQ(moved.m_time, Local(2004, 11, 15, 21, 30, 5));
    EXPECT_EQ(d.GetTime(), moved.m_time);
    EXPECT_EQ(call("addQuarter", {n}).m_time, Local(2005, 8, 15, 21, 30, 0));

    CSspValue source;
    source.SetString("{d '2004-01-02'}");
    EXPECT_EQ(call("copy", {source}).m_time, Local(2004, 1, 2));
    EXPECT_EQ(d.GetTime(), Local(2004, 1, 2));

    for (const char* needsArgument : {"format", "formatGmt", "addDay", "addWeek", "addMonth", "addQuarter", "copy"}) {
        try {
            call(needsArgument);
            ADD_FAILURE() << needsArgument << " accepted no argument";
        } catch (const CSspException& e) {
            EXPECT_EQ(e.GetMessage(), "Missing parameter.");
            EXPECT_EQ(e.GetPosition(), 17);
        }
    }
    try {
        call("GetYear");
        ADD_FAILURE() << "member names are case-sensitive";
    } catch (const CSspException& e) {
        EXPECT_EQ(e.GetMessage(), "Unknown datetime field: GetYear");
    }
}
