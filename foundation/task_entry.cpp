#include "foundation/task_entry.h"

#include "foundation/ssp_date_time.h"

namespace {

const char* const kDayWords[] = {"Day", "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// `daysAhead` calendar days after the date of `today`, at `minuteOfDay`. Counting days on the
// calendar keeps the wall-clock time when daylight saving starts or ends in between, which adding
// 86400-second days would not.
std::time_t LocalTimeOnDay(const std::tm& today, int daysAhead, int minuteOfDay)
{
    std::int64_t time = MakeLocalTime(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday + daysAhead,
                                      minuteOfDay / 60, minuteOfDay % 60, 0);
    return static_cast<std::time_t>(time);
}

}  // namespace

int ParseScheduleKind(std::string_view intervalText)
{
    for (int kind = kTaskDaily; kind <= kTaskSaturday; ++kind)
        if (intervalText == kDayWords[kind - kTaskDaily])
            return kind;
    return kTaskEveryMinutes;
}

std::string GetDayText(int kind)
{
    if (kind < kTaskDaily || kind > kTaskSaturday)
        return {};
    return kDayWords[kind - kTaskDaily];
}

std::string ResolveTaskScript(std::string_view script, std::string_view installDir)
{
    if (!script.empty() && script.front() == '/')
        return std::string(script);
    std::string resolved(installDir);
    resolved += "/bin/";
    resolved += script;
    return resolved;
}

std::string CTaskEntry::GetName() const
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    return m_name;
}

void CTaskEntry::SetName(std::string name)
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    m_name = std::move(name);
}

bool CTaskEntry::IsEnabled() const
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    return m_enabled;
}

void CTaskEntry::SetEnabled(bool enabled)
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    m_enabled = enabled;
}

std::string CTaskEntry::GetScript() const
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    return m_script;
}

void CTaskEntry::SetScript(std::string script)
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    m_script = std::move(script);
}

int CTaskEntry::GetKind() const
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    return m_kind;
}

void CTaskEntry::SetKind(int kind)
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    m_kind = kind;
}

std::int64_t CTaskEntry::GetIntervalSeconds() const
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    return m_intervalSeconds;
}

void CTaskEntry::SetIntervalSeconds(std::int64_t seconds)
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    m_intervalSeconds = seconds;
}

std::time_t CTaskEntry::GetNextRun() const
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    return m_nextRun;
}

void CTaskEntry::ComputeNextRun()
{
    ComputeNextRun(std::time(nullptr));
}

void CTaskEntry::ComputeNextRun(std::time_t now)
{
    std::lock_guard<std::recursive_mutex> guard(m_taskLock);
    std::tm today{};
    localtime_r(&now, &today);
    std::time_t thisMinute = now - today.tm_sec;
    if (m_kind == kTaskEveryMinutes) {
        m_nextRun = thisMinute + m_intervalSeconds;
        return;
    }
    if (m_kind < kTaskDaily || m_kind > kTaskSaturday)
        return;
    // The time of day of the span: its hours and minutes, whole days dropped.
    std::int64_t minutes = m_intervalSeconds / 60 % (24 * 60);
    int minuteOfDay = static_cast<int>(minutes < 0 ? minutes + 24 * 60 : minutes);
    int daysAhead = 0;
    int period = 1;
    if (m_kind != kTaskDaily) {
        daysAhead = (m_kind - kTaskSunday - today.tm_wday + 7) % 7;
        period = 7;
    }
    std::time_t next = LocalTimeOnDay(today, daysAhead, minuteOfDay);
    if (next <= thisMinute)
        next = LocalTimeOnDay(today, daysAhead + period, minuteOfDay);
    m_nextRun = next;
}
