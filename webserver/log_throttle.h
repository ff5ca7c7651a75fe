// CLogThrottle writes one kind of log line at most once a second, with the number of events
// since the line before: under a flood of events (connections refused during an attack) the log
// gets a line a second instead of one per event, and still tells how many there were.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

class CLogThrottle
{
public:
    // The line is `text` followed by " " and the count and ".".
    explicit CLogThrottle(std::string text);
    // Writes the count that no line has told yet.
    ~CLogThrottle();
    CLogThrottle(const CLogThrottle&) = delete;
    CLogThrottle& operator=(const CLogThrottle&) = delete;

    // Counts one event; writes the line when the last one is a second old (the first at once).
    void Note();
    // Writes the line now when events are still untold.
    void Flush();

private:
    void WriteLocked(std::chrono::steady_clock::time_point now);

    const std::string m_text;
    // m_lock guards the two fields below.
    std::mutex m_lock;
    int m_untold = 0;
    std::chrono::steady_clock::time_point m_lastLine;
};
