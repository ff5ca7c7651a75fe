// CDynBindSet: a recordset whose columns are bound at run time. Each column record holds a
// CSspValue of the column's type, so scripts read and write tables they know only by name. The
// columns are either named beforehand (UPDATE and INSERT of the sql object, unique IDs,
// attachments, WHERE probes) or taken from the result of a free SELECT.
//
// Rows are read whole, never cut at the size the column reports: a result of fixed-size and short
// text columns through bound buffers a block of rows at a time, one with long text or binary row
// by row, those columns in chunks until the driver has no more.
//
// Writing is optimistic: AddNew and Edit keep the values the row had, and Update sends a
// parameter-bound INSERT or UPDATE; the UPDATE finds the row by its primary key (or, in a table
// without one, by the product's row identity) and by the old values of the columns it changes, so
// a row that another writer changed first is not found and Update throws kDbNoRowsAffected (1008),
// and of several equal rows only the one read is changed.
//
// The set holds its statement, never the connection's lifetime: once the connection closed under
// it (a private data source given back), Close and the destructor touch nothing that was freed.
#pragma once

#include "database/dbms_traits.h"
#include "database/odbc_statement.h"
#include "foundation/ssp_value.h"

#include <sql.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One run-time bound column.
struct CDynColumn
{
    std::string name;
    std::string qualifier;     // the table or alias written before the name ("notes" of notes.note)
    int sqlType = 0;           // the value's type code (MapOdbcType)
    SQLSMALLINT odbcType = 0;  // as the driver describes it; parameters are bound with it
    int size = 0;              // the smaller of the maximum column size and the precision; 50 for 0
    int scale = 0;
    bool nullable = true;
    bool key = false;          // part of the table's primary key
    bool hidden = false;       // a key column the set added itself to find the row again
    bool rowIdentity = false;  // the product's row identity, standing in for a missing key
    CSspValue value;
    // Editing: the value when AddNew or Edit began, and whether SetFieldValue asked to write it.
    CSspValue original;
    bool dirty = false;
};

class CDynBindSet
{
public:
    static constexpr int kDefaultMaxColumnSize = 20000;

    // Open options. kReadOnly: no row will be written (no primary-key lookup); kAppendOnly: only
    // AddNew will follow (the column-information probe).
    enum : unsigned
    {
        kNone = 0,
        kReadOnly = 1,
        kAppendOnly = 2
    };

    explicit CDynBindSet(COdbcConnection* database = nullptr);
    ~CDynBindSet();
    CDynBindSet(const CDynBindSet&) = delete;
    CDynBindSet& operator=(const CDynBindSet&) = delete;

    // The connection the next Open runs on; null forgets it (its owner is going away).
    void SetDatabase(COdbcConnection* database) { m_database = database; }
    COdbcConnection* Database() const { return m_database; }

    void AddTable(std::string name) { m_tables.push_back(std::move(name)); }
    const std::vector<std::string>& Tables() const { return m_tables; }
    // Adds a column by name; "t.name" is stored as "name" with the qualifier "t", which the set's
    // own SELECT writes before the name, so a column of one of several tables is unambiguous. 0
    // when the name is empty or already bound (FindColumn finds it), else 1.
    int AddColumn(std::string_view name);
    // The record named so (without regard to case); "t.name" also finds "name" unless that record
    // belongs to another qualifier, and "name" finds a record named "t.name". Null when none.
    CDynColumn* FindColumn(std::string_view name);
    // 0-based index of the visible record named exactly so (without regard to case), or -1.
    int ColumnIndex(std::string_view name) const;
    // Visible records (hidden key columns are left out); 0 before the first open of a free SELECT.
    int ColumnCount() const;
    CDynColumn& Column(int index) { return m_columns[static_cast<size_t>(index)]; }
    // A stamp of the column list, new (and unlike any other set's) whenever a column is added or
    // the list is emptied: an index that ColumnIndex gave holds for the same name while the stamp
    // stays the same.
    std::uint64_t Layout() const { return m_layout; }
    // The record's value; null when there is no such column.
    CSspValue* GetColumnValue(std::string_view name);
    CSspValue* GetColumnValue(int index);

    void SetFilter(std::string filter) { m_filter = std::move(filter); }
    void SetSort(std::string sort) { m_sort = std::move(sort); }
    void SetQueryTimeout(int seconds) { m_queryTimeout = seconds; }
    int GetQueryTimeout() const { return m_queryTimeout; }
    void SetMaxColumnSize(int size) { m_maxColumnSize = size; }

    // Runs sql, or without it the SELECT of the named columns from the tables with filter and
    // sort, and moves to the first row. False without touching the database when there is neither
    // SQL nor a named column. Driver failures throw CDbException.
    bool Open(const std::string& sql = {}, unsigned options = kNone);
    bool OpenDefault() { return Open(); }
    // Learns the named columns' descriptions without reading a row, the way the DBMS traits say:
    // a SELECT with the filter "1 = 2", or the catalogue (catalogue mode). Leaves the set open, at
    // its start and end, ready for AddNew. False when no column is named.
    bool OpenForColumnInfo();
    bool OpenForColumnInfo(ColumnInfoPath path);

    bool IsOpen() const { return m_open; }
    bool IsBOF() const { return m_bof; }
    bool IsEOF() const { return m_eof; }
    // Moves to the next row; at the end the values are null and IsEOF is true.
    void MoveNext();
    // Back to the first row; false when the set is not open or has no row.
    bool MoveFirst();
    // The SQL that the set last ran.
    const std::string& GetSQL() const { return m_sql; }
    // The statement text last sent to the driver: GetSQL, or the INSERT or UPDATE of Update.
    const std::string& SentSql() const { return m_sentSql; }

    // Sets a script value into a column before Update, converting it to the column's type; a
    // binary or long-text column is always written, any other when it holds its null marker or
    // differs from the row's value. 0 when there is no column at index.
    int SetFieldValue(int index, const CSspValue& value);
    // Begins a new row (all columns null) or the editing of the current row. A set over a free
    // SELECT, over no or several tables, or opened read-only throws kDbRecordsetReadOnly; Edit
    // without a current row throws kDbNoCurrentRecord.
    void AddNew();
    void Edit();
    // Stores the new or edited row; false when no column was changed (nothing is sent). An edited
    // row is found again by its primary key, else by the product's row identity; a table with
    // neither is refused (kDbRecordsetReadOnly), so one Update never changes two equal rows.
    bool Update();

    // Ends the result and frees the statement; the records and their values stay.
    void Close();
    // Close, then forget tables, columns, filter and sort.
    void Reset();

private:
    enum class EditMode
    {
        None,
        Adding,
        Editing
    };

    std::string DefaultSql() const;
    void Execute(const std::string& sql);
    void RunStatement();
    void DescribeColumns();
    // Reads the result's columns through bound buffers, a block of rows at a time, unless one of
    // them is long text or binary.
    void BindResult();
    void FillRecord(CDynColumn& column, const COdbcColumn& described) const;
    void AddKeyColumns();
    // The probe's descriptions as the connection kept them from an earlier run; false when none.
    [[nodiscard]] bool OpenFromKeptProbe();
    void CheckInsertColumns();
    void ReadRow();
    void SetValuesNull();
    void ReadColumn(int index, CDynColumn& column);
    bool IsUpdatable() const;
    [[nodiscard]] bool Insert();
    [[nodiscard]] bool UpdateRow();
    void BindValue(COdbcStatement& statement, int index, const CDynColumn& column, const CSspValue& value) const;
    size_t Execute(COdbcStatement& statement, const std::string& sql,
                   const std::vector<std::pair<const CDynColumn*, const CSspValue*>>& parameters);
    const CDbmsTraits& Traits() const;
    void NewLayout();

    COdbcConnection* m_database;
    std::unique_ptr<COdbcStatement> m_statement;
    std::vector<std::string> m_tables;
    std::vector<CDynColumn> m_columns;
    std::uint64_t m_layout = 0;
    std::string m_filter;
    std::string m_sort;
    std::string m_sql;
    std::string m_sentSql;
    int m_queryTimeout = kDefaultQueryTimeout;
    int m_maxColumnSize = kDefaultMaxColumnSize;
    bool m_catalogMode = false;
    bool m_freeSelect = false;  // opened with the caller's SQL: not updatable
    unsigned m_options = kNone;
    bool m_scrollable = false;
    bool m_open = false;
    bool m_bof = true;
    bool m_eof = true;
    EditMode m_mode = EditMode::None;
    std::vector<CSspValue> m_savedRow;  // the current row's values while AddNew is in progress
};
