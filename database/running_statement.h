// CRunningStatement names the ODBC statement that a thread is executing or fetching from at this
// moment, so that another thread can cancel it (SQLCancel): the watchdog that ends a page run at
// its time limit must not wait for one long statement, which the run's own thread cannot leave.
// Each thread has one; COdbcStatement marks every call that may run long with an Execution.
#pragma once

#include <sql.h>

#include <mutex>

class CRunningStatement
{
public:
    // The calling thread's. It lives as long as the thread: a thread that hands it to another
    // must take it back (EndCancel) before it ends.
    static CRunningStatement& OfThisThread();

    // Any thread: cancels the statement being executed now and refuses every one that the owning
    // thread begins until EndCancel, so that none started just after the cancel runs on.
    void Cancel();
    // The owning thread: statements run again.
    void EndCancel();

    // On the owning thread, around one call that executes or fetches: throws the driver's
    // "Operation canceled" (state HY008) at once after a Cancel.
    class Execution
    {
    public:
        explicit Execution(SQLHSTMT statement);
        ~Execution();
        Execution(const Execution&) = delete;
        Execution& operator=(const Execution&) = delete;

    private:
        CRunningStatement& m_slot;
    };

private:
    // m_lock guards the fields below; a Cancel holds it through SQLCancel, so the statement's
    // handle cannot be freed meanwhile (its call has to end first, and ending takes the lock).
    std::mutex m_lock;
    SQLHSTMT m_statement = SQL_NULL_HSTMT;
    bool m_cancelled = false;
};
