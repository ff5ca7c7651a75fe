// CTaskEntry: one background task of the server's task table (the Email Sender or a .tws script)
// with its schedule and the time of its next run. The entries belong to CServerConfig, which loads
// and saves them; the background thread reads them and moves their next runs on, while scripts may
// change a task's name, script or enabled flag. Every field is therefore read and written under the
// configuration's task lock, which callers may also hold around several calls (it is recursive).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

// Schedule kinds as stored in the task table.
enum : int
{
    kTaskDaily = 40,
    kTaskSunday = 41,  // 41 to 47: weekly, Sunday to Saturday
    kTaskSaturday = 47,
    kTaskEveryMinutes = 50,
};

// The first task of the table is the Email Sender, whatever its name: the server sends the outbox
// in its place, and it has no script.
inline constexpr std::size_t kEmailSenderTaskIndex = 0;
inline bool IsEmailSenderTask(std::size_t taskIndex)
{
    return taskIndex == kEmailSenderTaskIndex;
}
// Importers are script tasks known by their name, so that a site may run several.
inline bool IsEmailImporterTask(std::string_view taskName)
{
    return taskName.find("Email Importer") != std::string_view::npos;
}

// "Sunday" to "Saturday" give 41 to 47, "Day" gives 40, any other text 50 (exact, case-sensitive).
int ParseScheduleKind(std::string_view intervalText);
// The day word of kinds 40 to 47; the empty text for other kinds.
std::string GetDayText(int kind);
// The file that a task's script path names: a path that begins with "/" is absolute and kept;
// any other is relative to the installation's "bin" folder.
std::string ResolveTaskScript(std::string_view script, std::string_view installDir);

class CTaskEntry
{
public:
    explicit CTaskEntry(std::recursive_mutex& taskLock) : m_taskLock(taskLock) {}
    CTaskEntry(const CTaskEntry&) = delete;
    CTaskEntry& operator=(const CTaskEntry&) = delete;

    std::string GetName() const;
    void SetName(std::string name);
    bool IsEnabled() const;
    void SetEnabled(bool enabled);
    // The script's full path, or "none" for the Email Sender.
    std::string GetScript() const;
    void SetScript(std::string script);
    int GetKind() const;
    void SetKind(int kind);
    // Kind 50: the period; kinds 40 to 47: the time of day as seconds after midnight.
    std::int64_t GetIntervalSeconds() const;
    void SetIntervalSeconds(std::int64_t seconds);
    std::time_t GetNextRun() const;

    // Sets the next run from the current time, or from `now` (local time decides days and hours).
    // Daily and weekly runs step in calendar days, so a 06:00 task stays at 06:00 across a change of
    // daylight saving time. Other kinds than 40 to 47 and 50 keep their next run.
    void ComputeNextRun();
    void ComputeNextRun(std::time_t now);

private:
    std::recursive_mutex& m_taskLock;  // the configuration's task lock; guards the fields below
    std::string m_name;
    bool m_enabled = false;
    std::string m_script;
    int m_kind = 0;
    std::int64_t m_intervalSeconds = 0;
    std::time_t m_nextRun = 0;
};
