// CDataSource: one pooled ODBC connection driven by short text commands ("Open", "ExecuteSQL",
// "BeginTrans", "GetUid" for unique IDs ...) that run one at a time under the data source's own
// lock; attachment downloads take that lock too. The pool (CDataSourcePool) hands data sources to
// page and script runs; recordsets and the script sql object run their statements on Connection()
// outside that lock. Driver failures come out as CSspException with the data source named in the
// text.
#pragma once

#include "database/dbms_traits.h"
#include "database/odbc_connection.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

class CDynBindSet;
class CSspCall;

// An attachment download: the URL path of a "/filedb/" or "/fileindb/" request, and where the
// column's bytes go. With `encrypted`, the file ID in the URL is checked against the server
// instance and the time-out (minutes) at `now`, as the IDs that To.fileUrl makes are.
struct CAttachmentRequest
{
    std::string_view urlPath;
    bool encrypted = false;
    int serverInstance = 0;
    int timeoutMinutes = 0;
    int64_t now = 0;
    // The installation's key for the tags of encrypted IDs; with none, no encrypted ID is accepted.
    std::string_view fileIdSecret;
    // Receives the bytes (called once, outside the data source's lock).
    std::function<void(std::string_view bytes)> write;
};

class CDataSource
{
public:
    // Identifies who began a transaction: the engine passes itself, so a nested run that shares
    // the data source can neither commit nor roll back its caller's transaction.
    using TransactionOwner = const void*;

    // Not connected yet; use count 1, last use = now (seconds since the epoch).
    explicit CDataSource(std::string connect, int64_t now);
    // Sends "Close"; a failure to close is dropped, as a destructor cannot report it.
    ~CDataSource();
    CDataSource(const CDataSource&) = delete;
    CDataSource& operator=(const CDataSource&) = delete;

    // Runs one text command (compared without regard to case) under the lock: "GetUid", "Open",
    // "Close", "CloseIfNoOneUsesIt", "GetDbmsInfo", "ExecuteSQL" (a1 = the statement),
    // "BeginTrans", "CommitTrans", "Rollback". The result is 1, or the ID for "GetUid". An unknown
    // command throws "Bad datasource command: [%s]". The transaction commands act for owner:
    // "CommitTrans" and "Rollback" leave alone a transaction that another owner began.
    int DoCommand(std::string_view command, const std::string& a1 = {}, const std::string& a2 = {},
                  const std::string& a3 = {}, TransactionOwner owner = nullptr);

    // Sends the bytes of the column that the attachment URL names to request.write: one row of a
    // table by its integer key. Under the data source's lock. Failures (a bad URL or file ID, a
    // missing row, a column that holds no file, the driver's errors) throw CSspException.
    void ServeFileFromDb(const CAttachmentRequest& request);

    // A connection that a run takes over from earlier runs (kept idle, or shared) may have broken
    // while it waited, as a restart of the database breaks every one. Until the run's first
    // statement has gone through it, a lost connection is taken for that: the data source connects
    // afresh and the statement is sent once more, which loses nothing, as nothing of the run went
    // through the old connection. The pool marks a data source so when it hands it out connected.
    void MarkKept() { m_kept = true; }
    // For statements sent outside the command lock (the sql object's), after one failed: true when
    // it was the run's first on a kept connection, the failure says that the connection is lost,
    // and the data source is connected again (in a transaction again when the run had begun one);
    // the caller then sends the statement once more. False otherwise, and for every later failure.
    [[nodiscard]] bool ReconnectIfKeptBroke(const CDbException& error);
    // A statement of the run went through: later failures are the run's own.
    void MarkUsed() { m_kept = false; }

    // Readies a private data source for the next run: the transaction it was left in is rolled
    // back, autocommit is on again and its statements are freed. False (and the connection
    // closed) when it is not connected, its connection broke, or the reset failed: such a data
    // source must not be handed out again.
    [[nodiscard]] bool ResetForReuse();

    // Whether a transaction is open and was begun by owner.
    bool IsInTransactionOf(TransactionOwner owner) const;
    bool IsInTransaction() const;

    // Send "GetDbmsInfo" and return a copy of the name or version.
    std::string GetDbmsName();
    std::string GetDbmsVersion();

    // The value of key in the connect string ("DSN" for messages); see GetConnectValue.
    std::string GetConnectionValue(std::string_view key) const;
    const std::string& GetConnectString() const { return m_connect; }
    // Whether it is connected, as of the last command that ended; never waits for a command.
    bool IsOpen() const;
    bool IsPrivate() const { return m_private; }
    void SetPrivate(bool on) { m_private = on; }

    void IncUseCount();
    void DecUseCount();
    int GetUseCount() const;
    void SetLastUseTime(int64_t now);
    int64_t GetLastUseTime() const;

    // For statements that run outside the command lock (recordsets, the sql object). The
    // connection frees them itself when it closes.
    COdbcConnection& Connection() { return m_database; }

private:
    void Open();
    void Close();
    void GetDbmsInfo();
    void BeginTrans(TransactionOwner owner);
    void CommitTrans(TransactionOwner owner);
    void Rollback(TransactionOwner owner);
    void RunCommand(std::string_view command, TransactionOwner owner, int& result);

    // Unique IDs (data_source_unique_id.cpp): the next key of `table` from its counter row in the
    // registry table. Retry: up to 20 attempts, each followed by a pause of 100 ms when it lost the
    // race to another writer; -1 when all of them lost. One attempt: the ID, or -1 when
    // the race was lost. GetMaxId: the table's largest key, 0 when it is empty or unreadable.
    [[nodiscard]] int GetUniqueIdRetry(const std::string& table, const std::string& idColumn,
                                       const std::string& registry);
    [[nodiscard]] int GetUniqueId(const std::string& table, const std::string& idColumn, const std::string& registry);
    int GetMaxId(const std::string& table, const std::string& idColumn);
    [[nodiscard]] bool StoreCounter(CDynBindSet& set, const std::string& table, const std::string& idColumn, int& id);

    // Attachments (data_source_attachment.cpp): the bytes of dataColumn in the row of table whose
    // keyColumn holds key.
    std::string ReadFileColumn(const std::string& table, const std::string& keyColumn, int key,
                               const std::string& dataColumn);
    [[noreturn]] void ThrowMapped(const CDbException& error);
    // Runs send (statements of a command, under the held lock) with the retry of a kept connection
    // that turns out broken.
    void RunOnLiveConnection(const std::function<void()>& send);
    [[nodiscard]] bool ReconnectKeptLocked(const CDbException& error);

    const std::string m_connect;
    COdbcConnection m_database;
    bool m_inTransaction = false;
    TransactionOwner m_transactionOwner = nullptr;
    bool m_private = false;
    std::string m_dbmsVersion;
    std::string m_dbmsName;
    pid_t m_openerThread = 0;
    // The traits of the product last connected to, kept past a close so a failure that closed the
    // connection is still read the product's way.
    const CDbmsTraits* m_traits;
    // Held for a whole command, a connect included, so two runs that open the same data source at
    // once connect it once: the second waits and finds it open.
    mutable std::mutex m_lock;
    // Read and written without m_lock: the pool counts, stamps and lists data sources under its
    // own lock and must never wait there for a command, such as a connect that hangs.
    std::atomic<int> m_useCount = 1;
    std::atomic<int64_t> m_lastUse;
    std::atomic<bool> m_open = false;  // follows m_database, set under m_lock
    std::atomic<bool> m_kept = false;  // see MarkKept; read and cleared under m_lock by a reconnect
};

// The connect string that a script's UseDataSource names (App, Server, Local and the sql object):
// one argument is "ODBC;" and the connect string, of which the first five characters are dropped
// unread; three are the DSN, user and password, each brace-quoted where it holds ";". Throws
// "Invalid ODBC connection string" for a shorter text, "Missing parameter." for another count.
std::string UseDataSourceConnect(const CSspCall& call);
