// CRunWatchdog holds page runs to their time limit (PageRunTimeLimit). A run is watched for its
// length; at its deadline a thread of the watchdog's own asks the run to end at its next statement
// and cancels the database statement that the run's thread is executing. So a run ends within a
// moment of its limit whether it spins through statements or waits in one long SQL statement,
// and the run itself only tests its end request once per statement.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

class CRunningStatement;
class CSspEngine;

class CRunWatchdog
{
    struct Watched;
    using Deadlines = std::multimap<std::chrono::steady_clock::time_point, Watched>;

public:
    // Watches `engine`'s run (a top engine, on the calling thread) for `seconds` from now, until
    // the Watch ends; the database statements refused after the deadline run again from then on.
    class Watch
    {
    public:
        Watch(const CSspEngine& engine, int seconds);
        ~Watch();
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

    private:
        friend class CRunWatchdog;
        CRunningStatement& m_statement;
        // Guarded by the watchdog's lock: the watchdog removes the entry when it ends the run.
        Deadlines::iterator m_entry;
        bool m_armed = true;
    };

private:
    struct Watched
    {
        const CSspEngine* engine;
        Watch* watch;
    };

    // The one watchdog of the process. Its thread lives as long as the process: a server thread
    // that was given up at a stop may still run a watched page.
    static CRunWatchdog& Instance();
    void Run();
    // Under m_lock: ends the runs whose deadline has come.
    void EndExpired(std::chrono::steady_clock::time_point now);

    // m_lock guards m_deadlines, m_wakeAt and each Watch's entry; a run is ended under it, so a
    // Watch that ends waits for that and the engine and statement slot it names stay alive meanwhile.
    std::mutex m_lock;
    std::condition_variable m_changed;
    Deadlines m_deadlines;
    // When the watchdog's thread wakes next by itself. A run ends long before its deadline, so the
    // thread is woken early only for a deadline before that: not once for every run.
    std::chrono::steady_clock::time_point m_wakeAt = std::chrono::steady_clock::time_point::max();
};
