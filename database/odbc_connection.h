// Our thin layer over the ODBC 3 driver manager: the process's environment handle, one connection
// (COdbcConnection) and its statements (COdbcStatement, odbc_statement.h), each owning its handle.
// CDataSource drives one connection through its text commands; recordsets and the script sql
// object run statements on it. Failures are thrown as CDbException.
//
// A connection frees every statement still open on it before it disconnects, and a statement that
// outlives its connection's close only reports "not connected": nothing touches a freed handle,
// whichever of the two the engine lets go first.
//
// A connection also keeps the statements prepared for SELECT texts once their results are read
// (TakePrepared, COdbcStatement::Recycle), so a page that runs the same query on every request has
// the DBMS parse and plan it once per connection, not once per request.
#pragma once

#include "database/db_exception.h"
#include "database/dbms_traits.h"
#include "database/odbc_column.h"

#include <sql.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class COdbcStatement;

// The one ODBC environment of the process (ODBC 3 behaviour). Connections hold a reference, so
// it outlives every connection, also those of objects destroyed at exit.
class COdbcEnvironment
{
public:
    static std::shared_ptr<COdbcEnvironment> Get();
    ~COdbcEnvironment();
    SQLHENV Handle() const { return m_henv; }
    // The turn to connect with connect, held across the driver's connect. The PostgreSQL driver
    // sets the process's LC_CTYPE on every connect and then reads the name that setlocale
    // returned; a second setlocale at the same time frees that name under it. So connects take
    // turns, except those with a connect string that has reached a product whose driver leaves
    // the locale alone (NoteConnectsAlongside): they never wait behind a server that does not
    // answer. An empty lock for those.
    std::unique_lock<std::mutex> ConnectTurn(const std::string& connect);
    void NoteConnectsAlongside(const std::string& connect);

private:
    COdbcEnvironment();
    SQLHENV m_henv = SQL_NULL_HENV;
    std::mutex m_connectLock;
    std::mutex m_alongsideLock;  // guards m_alongside
    std::unordered_set<std::string> m_alongside;
};

class COdbcConnection
{
public:
    COdbcConnection();
    ~COdbcConnection();
    COdbcConnection(const COdbcConnection&) = delete;
    COdbcConnection& operator=(const COdbcConnection&) = delete;

    // Connects with the connect string (no "ODBC;" prefix) and never lets the driver prompt.
    // A connection that is open already is left as it is.
    void Open(const std::string& connect);
    // Frees the open statements, then disconnects. Handles are released even when the driver
    // reports a failure, which is then thrown.
    void Close();
    bool IsOpen() const { return m_hdbc != SQL_NULL_HDBC; }

    // The connect string as the driver completed it (after Open).
    const std::string& CompletedConnectString() const { return m_completed; }
    // The DBMS traits for the connected product (the fallback row before Open).
    const CDbmsTraits& Traits() const { return *m_traits; }

    // SQLGetInfo for a text value, read into a buffer of the given size (the result is cut there).
    std::string GetInfoText(SQLUSMALLINT infoType, size_t bufferSize = 256) const;
    bool SupportsTransactions() const;

    // Switches autocommit; returns the driver's return code (the caller decides what a failure
    // means), and throws nothing.
    SQLRETURN SetAutoCommit(bool on);
    // Begins a transaction: autocommit off, or the product's own begin statement (the traits'
    // beginTransaction), which runs at once and throws CDbException when it fails. Returns the
    // driver's return code of the autocommit switch.
    SQLRETURN BeginTransaction();
    // Commits or rolls back and switches autocommit back on. A failed commit is rolled back, and
    // autocommit restored, before the commit's failure is thrown, so a pooled connection never
    // stays in manual-commit mode.
    void Commit();
    void Rollback();
    // Readies the connection for another user: frees every statement still open on it (a stale
    // handle then reports "not connected"), rolls back any transaction, also one that a plain
    // "BEGIN" statement opened under autocommit, and switches autocommit on. Throws when the
    // driver refuses; the connection is then unfit for reuse.
    void ResetForReuse();

    // Runs one statement to completion with the default time-out; SQL_NO_DATA (an UPDATE or
    // DELETE that matched nothing) counts as success.
    void ExecuteSQL(const std::string& sql);

    // A statement prepared with sql (and a scrollable cursor when asked for and offered): one kept
    // from an earlier run of the same text on this connection (unless fresh), else a new one.
    // Hand it back with COdbcStatement::Recycle once its result is read; it is kept for the next
    // run unless the traits say that its columns could go stale.
    std::unique_ptr<COdbcStatement> TakePrepared(const std::string& sql, bool scrollable, bool fresh = false);
    // How many prepared statements a connection keeps; the least recently used go first.
    static constexpr size_t kMaxPrepared = 32;

    // The column descriptions a column probe learnt, by the probe's SQL text, so that a statement
    // that compares columns does not ask the DBMS about them on every run. They are kept until the
    // schema may have changed: a statement on this connection failed (a missing table or column),
    // a table-changing statement ran here, or the connection closed. FindProbe gives null when
    // none is kept.
    const std::vector<COdbcColumn>* FindProbe(const std::string& sql) const;
    void KeepProbe(const std::string& sql, std::vector<COdbcColumn> columns);
    void ForgetProbes() { m_probes.clear(); }
    size_t ProbeCount() const { return m_probes.size(); }

    // The failure of the last call on the connection handle, as an exception to throw.
    CDbException LastError(SQLRETURN rc, std::string_view call) const;
    SQLHDBC Handle() const { return m_hdbc; }

private:
    friend class COdbcStatement;
    // Statements register here so Close can free them first. Shared with each statement so a
    // statement destroyed after the connection still finds a valid list to leave.
    struct StatementList
    {
        std::mutex lock;  // guards both lists; taken before a statement's own lock, never after it
        std::vector<COdbcStatement*> open;
        // Idle prepared statements (also in open), the most recently used last. Never destroyed
        // under the lock: a statement's destructor takes it.
        std::vector<std::unique_ptr<COdbcStatement>> prepared;
    };

    // Frees the statements' handles; the idle prepared ones too unless keepPrepared.
    void DetachStatements(bool keepPrepared);
    void DropPrepared();
    // Runs a statement of the connection's own (lock wait, begin, commit, rollback): it neither
    // marks the connection as having run the caller's statements nor touches its caches.
    void ExecuteOwn(const std::string& sql);
    void EndTransaction(SQLSMALLINT completion);

    std::shared_ptr<COdbcEnvironment> m_env;
    SQLHDBC m_hdbc = SQL_NULL_HDBC;
    std::string m_completed;
    const CDbmsTraits* m_traits;
    bool m_ownTransaction = false;  // begun by the begin statement, ended by COMMIT or ROLLBACK
    std::shared_ptr<StatementList> m_statements;
    // ExecuteSQL ran since the last reset: the text may have begun a transaction of its own.
    bool m_ranPlainStatements = false;
    std::unordered_map<std::string, std::vector<COdbcColumn>> m_probes;
};

// Puts a value into a connect string safely: a value holding ";" (which would start another
// attribute), or beginning with "{", is enclosed in braces with "}" doubled.
std::string QuoteConnectValue(std::string_view value);

// "DSN=%s;UID=%s;PWD=%s" with each value quoted as above: the three-argument UseDataSource of the
// App, Server and sql objects.
std::string MakeDsnConnectString(std::string_view dsn, std::string_view uid, std::string_view pwd);

// The value of key in a connect string: the text after the first "key=" (case-sensitive) up to the
// next ";" or the end; a braced value is returned without its braces. Empty when absent.
std::string GetConnectValue(std::string_view connect, std::string_view key);
