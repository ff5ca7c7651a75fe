#include "foundation/task_entry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {

// Next-run times depend on the local calendar; Berlin changes to summer time on 31 March 2024 and
// back on 27 October 2024.
class TaskScheduleTest : public testing::Test
{
protected:
    void SetUp() override
    {
        const char* old = std::getenv("TZ");
        m_hadTz = old != nullptr;
        if (old)
            m_oldTz = old;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override
    {
        if (m_hadTz)
            setenv("TZ", m_oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    static std::time_t Local(int year, int month, int day, int hour, int minute, int second = 0)
    {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        return std::mktime(&t);
    }

    std::time_t NextRun(int kind, int minutes, std::time_t now)
    {
        CTaskEntry task(m_lock);
        task.SetKind(kind);
        task.SetIntervalSeconds(std::int64_t{minutes} * 60);
        task.ComputeNextRun(now);
        return task.GetNextRun();
    }

    std::recursive_mutex m_lock;
    bool m_hadTz = false;
    std::string m_oldTz;
};

TEST(ScheduleKindTest, DayWordsAreExactAndRoundTrip)
{
    EXPECT_EQ(ParseScheduleKind("Day"), 40);
    EXPECT_EQ(ParseScheduleKind("Sunday"), 41);
    EXPECT_EQ(ParseScheduleKind("Monday"), 42);
    EXPECT_EQ(ParseScheduleKind("Saturday"), 47);
    EXPECT_EQ(ParseScheduleKind("monday"), 50);
    EXPECT_EQ(ParseScheduleKind("Monday "), 50);
    EXPECT_EQ(ParseScheduleKind("30"), 50);
    EXPECT_EQ(ParseScheduleKind(""), 50);
    for (int kind = 40; kind <= 47; ++kind)
        EXPECT_EQ(ParseScheduleKind(GetDayText(kind)), kind);
    EXPECT_EQ(GetDayText(50), "");
    EXPECT_EQ(GetDayText(39), "");
    EXPECT_EQ(GetDayText(48), "");
}

TEST_F(TaskScheduleTest, DailyRunsAtItsTimeTodayOrTomorrow)
{
    // Monday 15 April 2024.
    EXPECT_EQ(NextRun(40, 360, Local(2024, 4, 15, 6, 0, 30)), Local(2024, 4, 16, 6, 0));
    EXPECT_EQ(NextRun(40, 360, Local(2024, 4, 15, 5, 59, 59)), Local(2024, 4, 15, 6, 0));
    // Exactly at its minute is not later than now.
    EXPECT_EQ(NextRun(40, 360, Local(2024, 4, 15, 6, 0)), Local(2024, 4, 16, 6, 0));
    // Whole days of the span are dropped: 1500 minutes is 01:00.
    EXPECT_EQ(NextRun(40, 1500, Local(2024, 4, 15, 0, 30)), Local(2024, 4, 15, 1, 0));
    // Month and year ends roll over.
    EXPECT_EQ(NextRun(40, 60, Local(2024, 12, 31, 23, 0)), Local(2025, 1, 1, 1, 0));
}

TEST_F(TaskScheduleTest, WeeklyRunsOnItsWeekday)
{
    // Monday 15 April 2024, task on Mondays at 06:00.
    EXPECT_EQ(NextRun(42, 360, Local(2024, 4, 15, 7, 0)), Local(2024, 4, 22, 6, 0));
    EXPECT_EQ(NextRun(42, 360, Local(2024, 4, 15, 5, 0)), Local(2024, 4, 15, 6, 0));
    // From a Wednesday to the next Monday, and from a Monday to that week's Saturday and Sunday.
    EXPECT_EQ(NextRun(42, 360, Local(2024, 4, 17, 12, 0)), Local(2024, 4, 22, 6, 0));
    EXPECT_EQ(NextRun(47, 0, Local(2024, 4, 15, 12, 0)), Local(2024, 4, 20, 0, 0));
    EXPECT_EQ(NextRun(41, 90, Local(2024, 4, 15, 12, 0)), Local(2024, 4, 21, 1, 30));
}

TEST_F(TaskScheduleTest, DailyAndWeeklyKeepTheirHourAcrossDaylightSaving)
{
    // Summer time starts in the night to Sunday 31 March: that day has 23 hours.
    std::time_t next = NextRun(40, 360, Local(2024, 3, 30, 7, 0));
    EXPECT_EQ(next, Local(2024, 3, 31, 6, 0));
    EXPECT_EQ(next - Local(2024, 3, 30, 6, 0), 23 * 3600);
    // It ends in the night to Sunday 27 October: the week to Monday 28 October has an extra hour.
    next = NextRun(42, 360, Local(2024, 10, 21, 7, 0));
    EXPECT_EQ(next, Local(2024, 10, 28, 6, 0));
    EXPECT_EQ(next - Local(2024, 10, 21, 6, 0), 7 * 86400 + 3600);
    std::tm local{};
    localtime_r(&next, &local);
    EXPECT_EQ(local.tm_hour, 6);
    EXPECT_EQ(local.tm_min, 0);
}

TEST_F(TaskScheduleTest, EveryNMinutesCountsFromTheCurrentMinute)
{
    std::time_t now = Local(2024, 3, 31, 1, 50, 42);
    // Elapsed time, not wall-clock: 30 minutes after 01:50 CET is 03:20 CEST.
    EXPECT_EQ(NextRun(50, 30, now), now - 42 + 30 * 60);
    EXPECT_EQ(NextRun(50, 30, now), Local(2024, 3, 31, 3, 20));
    EXPECT_EQ(NextRun(50, 0, now), now - 42);
}

}  // namespace
