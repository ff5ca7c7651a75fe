// CLog: the one log of a program. Every subsystem reports errors and traffic through it with a
// printf-style call; the program chooses where entries go: a file per day of the month below the
// site folder (server, studio), syslog (in place of the event log), or a callback that the GUIs
// use for message boxes and output panes. Any thread may log.
//
// Entries are cut at kMaxEntry characters. WriteLine entries always end with CR LF. Text from
// scripts, peers or error reports is never a format: log it with WriteText or through "%s".
#pragma once

#include <cstdarg>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class CLog
{
public:
    using Callback = std::function<void(std::string_view entry)>;

    static constexpr std::size_t kMaxEntry = 2044;
    static constexpr long kDayFileLimit = 524288;  // a longer day file is emptied when next used
    static constexpr const char* kEventSource = "TarnwickServer3";

    // Day-file sink without a base folder: entries go to stderr until SetFileMode names the site.
    CLog() = default;
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Day files "<baseFolder>/log/dayDD.txt", DD the day of the month.
    void SetFileMode(std::string baseFolder);
    void SetEventLogMode();
    // The callback runs on the logging thread, outside the log's lock; it must be thread-safe.
    void SetCallbackMode(Callback callback);

    void WriteLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // WriteLine without the line end (script logging builds a line from several calls).
    void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Plain text, never interpreted as a format.
    void WriteText(std::string_view text, bool lineEnd = true);

    // One entry in the day file of the local day of `now`, prefixed "%Y-%m-%d %H:%M:%S ".
    // Returns false when neither place for the day file could be written (the entry then goes to
    // stderr).
    bool WriteToFile(std::string_view entry, std::time_t now);
    bool WriteToFile(std::string_view entry) { return WriteToFile(entry, std::time(nullptr)); }

    static void WriteToEventLog(std::string_view entry);

    // The day file of `baseFolder` that entries of the local day of `now` go to.
    static std::string DayFilePath(const std::string& baseFolder, std::time_t now);

    // From BeginCapture on, every entry is also kept, whatever the sink and whichever thread
    // writes it, until TakeCapture returns them in order (each with its line end) and stops
    // keeping. A program that fails to start tells on its terminal what the log says about why.
    void BeginCapture();
    std::string TakeCapture();

private:
    enum class Sink
    {
        File,
        EventLog,
        Callback
    };

    void FormatAndDispatch(bool lineEnd, const char* format, va_list arguments);
    void Dispatch(std::string_view entry);

    // A capture keeps at most this much; what a failed start says fits many times over.
    static constexpr std::size_t kMaxCapture = 16384;

    std::mutex m_lock;  // guards the members below
    Sink m_sink = Sink::File;
    std::string m_baseFolder;
    std::shared_ptr<const Callback> m_callback;
    bool m_capturing = false;
    std::string m_captured;
};

// The program's log. It is never destroyed, so threads that still log during exit stay safe.
CLog& TheLog();

// Text that came from a client (a URL, a header line) as it may go into the log: every control
// byte, line breaks included, shown as '?', so that no request can write a line of its own making.
std::string PrintableForLog(std::string_view text);
