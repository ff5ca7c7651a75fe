#include "database/dyn_bind_set.h"

#include "foundation/ascii_text.h"
#include "foundation/ssp_date_time.h"
#include "foundation/ssp_exception.h"

#include <sqlext.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <ctime>
#include <utility>

namespace {

// Columns whose stored value compares equal to what the set read: identifying a row by them
// cannot miss it. Floating point, time stamps with fractions, long text and binary columns are
// left out; the primary key identifies the row without them. A column that the schema declares
// CHAR or VARCHAR counts by its value type, also where the driver reports it as long text (SQLite,
// PostgreSQL above 255 characters): its old value is what makes an edit miss a row that another
// writer changed first.
bool IsExactlyComparable(const CDynColumn& column)
{
    if (column.sqlType == SQL_CHAR || column.sqlType == SQL_VARCHAR || column.sqlType == SQL_WCHAR ||
        column.sqlType == SQL_WVARCHAR)
        return true;
    switch (column.odbcType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
    case SQL_DECIMAL:
    case SQL_NUMERIC:
    case SQL_BIT:
    case SQL_DATE:
    case SQL_TYPE_DATE: return true;
    default: return false;
    }
}

bool SameValue(const CSspValue& a, const CSspValue& b)
{
    if (a.IsInteger())
        return a.m_integer == b.m_integer;
    if (a.IsReal())
        return std::bit_cast<uint32_t>(a.m_real) == std::bit_cast<uint32_t>(b.m_real);
    if (a.IsDouble())
        return std::bit_cast<uint64_t>(a.m_double) == std::bit_cast<uint64_t>(b.m_double);
    if (a.IsDate())
        return a.m_time == b.m_time;
    return a.m_text == b.m_text;
}

bool IsWritten(const CDynColumn& column)
{
    return column.dirty || !SameValue(column.value, column.original);
}

SQL_TIMESTAMP_STRUCT ToTimestamp(int64_t time, bool dateOnly)
{
    std::time_t seconds = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    SQL_TIMESTAMP_STRUCT stamp{};
    stamp.year = static_cast<SQLSMALLINT>(local.tm_year + 1900);
    stamp.month = static_cast<SQLUSMALLINT>(local.tm_mon + 1);
    stamp.day = static_cast<SQLUSMALLINT>(local.tm_mday);
    if (!dateOnly) {
        stamp.hour = static_cast<SQLUSMALLINT>(local.tm_hour);
        stamp.minute = static_cast<SQLUSMALLINT>(local.tm_min);
        stamp.second = static_cast<SQLUSMALLINT>(local.tm_sec);
    }
    return stamp;
}

// "schema.table" is asked for as the table in that schema.
std::pair<std::string, std::string> SplitSchema(const std::string& table)
{
    size_t dot = table.rfind('.');
    if (dot == std::string::npos)
        return {std::string(), table};
    return {table.substr(0, dot), table.substr(dot + 1)};
}

template <typename Pieces, typename Text>
std::string Join(const Pieces& pieces, std::string_view separator, Text text)
{
    std::string joined;
    for (const auto& piece : pieces) {
        if (!joined.empty())
            joined += separator;
        joined += text(piece);
    }
    return joined;
}

std::string_view AfterFirstDot(std::string_view name)
{
    size_t dot = name.find('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

std::string_view BeforeFirstDot(std::string_view name)
{
    size_t dot = name.find('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
}

// The name as the set's own SELECT writes it.
std::string SelectName(const CDynColumn& column)
{
    return column.qualifier.empty() ? column.name : column.qualifier + "." + column.name;
}

void ResetValue(CDynColumn& column)
{
    column.value.m_type = column.sqlType;
    column.value.SetNull();
    column.value.m_size = column.size;
    column.value.m_scale = column.scale;
}

}  // namespace

CDynBindSet::CDynBindSet(COdbcConnection* database) : m_database(database)
{}

CDynBindSet::~CDynBindSet()
{
    Close();
}

int CDynBindSet::AddColumn(std::string_view name)
{
    std::string_view stored = AfterFirstDot(name);
    if (stored.empty() || FindColumn(name) != nullptr)
        return 0;
    NewLayout();
    CDynColumn& column = m_columns.emplace_back();
    column.name = stored;
    column.qualifier = BeforeFirstDot(name);
    return 1;
}

CDynColumn* CDynBindSet::FindColumn(std::string_view name)
{
    for (CDynColumn& column : m_columns)
        if (EqualsNoCase(column.name, name))
            return &column;
    if (name.find('.') != std::string_view::npos) {
        // notes.note and items.note are two columns; a name bound without qualifier is either.
        const std::string_view qualifier = BeforeFirstDot(name);
        for (CDynColumn& column : m_columns)
            if (EqualsNoCase(column.name, AfterFirstDot(name)) &&
                (column.qualifier.empty() || EqualsNoCase(column.qualifier, qualifier)))
                return &column;
        return nullptr;
    }
    for (CDynColumn& column : m_columns)
        if (column.name.find('.') != std::string::npos && EqualsNoCase(AfterFirstDot(column.name), name))
            return &column;
    return nullptr;
}

int CDynBindSet::ColumnIndex(std::string_view name) const
{
    // Hidden key columns always follow the visible ones.
    for (size_t i = 0; i < m_columns.size() && !m_columns[i].hidden; ++i)
        if (EqualsNoCase(m_columns[i].name, name))
            return static_cast<int>(i);
    return -1;
}

int CDynBindSet::ColumnCount() const
{
    // Hidden key columns always follow the visible ones.
    auto firstHidden = std::find_if(m_columns.begin(), m_columns.end(), [](const CDynColumn& c) { return c.hidden; });
    return static_cast<int>(firstHidden - m_columns.begin());
}

CSspValue* CDynBindSet::GetColumnValue(std::string_view name)
{
    CDynColumn* column = FindColumn(name);
    return column != nullptr && !column->hidden ? &column->value : nullptr;
}

CSspValue* CDynBindSet::GetColumnValue(int index)
{
    return index >= 0 && static_cast<size_t>(index) < m_columns.size() && !m_columns[static_cast<size_t>(index)].hidden
               ? &m_columns[static_cast<size_t>(index)].value
               : nullptr;
}

void CDynBindSet::NewLayout()
{
    // Shared by all sets, so that a stamp of one set never matches another's.
    static std::atomic<std::uint64_t> stamps{0};
    m_layout = stamps.fetch_add(1, std::memory_order_relaxed) + 1;
}

const CDbmsTraits& CDynBindSet::Traits() const
{
    return m_database != nullptr ? m_database->Traits() : CDbmsTraits::ForDbms("");
}

std::string CDynBindSet::DefaultSql() const
{
    std::string sql = "SELECT " + Join(m_columns, ", ", SelectName);
    sql += " FROM " + Join(m_tables, ",", [](const std::string& t) -> const std::string& { return t; });
    if (!m_filter.empty())
        sql += " WHERE " + m_filter;
    if (!m_sort.empty())
        sql += " ORDER BY " + m_sort;
    return sql;
}

bool CDynBindSet::Open(const std::string& sql, unsigned options)
{
    if (sql.empty() && m_columns.empty())
        return false;
    if (m_database == nullptr)
        throw CDbException::Own("08003", "Not connected to the database.");
    Close();
    m_options = options;
    m_freeSelect = !sql.empty();
    if (!m_freeSelect && (options & (kReadOnly | kAppendOnly)) == 0 && m_tables.size() == 1)
        AddKeyColumns();
    try {
        Execute(m_freeSelect ? sql : DefaultSql());
    } catch (const CDbException&) {
        // Perhaps a table changed: what column probes learnt about it must be learnt again.
        m_database->ForgetProbes();
        throw;
    }
    return true;
}

void CDynBindSet::Execute(const std::string& sql)
{
    m_sql = m_sentSql = sql;
    if ((m_options & kAppendOnly) != 0) {
        // A column probe: run once, on a statement of its own; its result is never read.
        m_statement = std::make_unique<COdbcStatement>(*m_database);
        if (m_queryTimeout != kDefaultQueryTimeout)
            m_statement->SetQueryTimeout(m_queryTimeout);
        m_statement->ExecDirect(sql);
    } else {
        // A result that is read may be read again from its start (a scrollable cursor).
        m_statement = m_database->TakePrepared(sql, true);
        try {
            RunStatement();
        } catch (const CDbException&) {
            if (!m_statement->WasReused())
                throw;
            // The DBMS may have dropped a statement prepared in an earlier run (a changed table, a
            // transaction's end): the text runs once more on a statement prepared now.
            m_statement = m_database->TakePrepared(sql, true, true);
            RunStatement();
        }
    }
    m_scrollable = m_statement->IsScrollable();
    DescribeColumns();
    if ((m_options & kAppendOnly) == 0)
        BindResult();
    m_open = true;
    m_bof = m_eof = true;
    if (m_statement->ResultColumnCount() > 0 && m_statement->Fetch()) {
        m_bof = m_eof = false;
        ReadRow();
    } else {
        SetValuesNull();
    }
}

void CDynBindSet::RunStatement()
{
    if (m_statement->QueryTimeout() != m_queryTimeout)
        m_statement->SetQueryTimeout(m_queryTimeout);
    m_statement->Execute();
}

void CDynBindSet::DescribeColumns()
{
    const int count = m_statement->ResultColumnCount();
    if (m_columns.empty()) {
        NewLayout();
        m_columns.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            COdbcColumn described = m_statement->DescribeColumn(i + 1);
            m_columns[static_cast<size_t>(i)].name = described.name;
            FillRecord(m_columns[static_cast<size_t>(i)], described);
        }
        return;
    }
    if (static_cast<size_t>(count) < m_columns.size())
        throw CDbException::Own("07009", "The statement returns fewer columns than the set binds.");
    std::vector<COdbcColumn> described;
    for (size_t i = 0; i < m_columns.size(); ++i)
        FillRecord(m_columns[i], described.emplace_back(m_statement->DescribeColumn(static_cast<int>(i) + 1)));
    if ((m_options & kAppendOnly) != 0)
        m_database->KeepProbe(m_sql, std::move(described));
}

void CDynBindSet::BindResult()
{
    // Text buffers start at the column's size with room for a sign, a point and an exponent, so
    // numbers read as text fit too; a longer value widens its buffer when it comes.
    constexpr size_t kMinTextWidth = 32, kMaxTextWidth = 256;
    std::vector<COdbcStatement::BoundColumn> bound;
    for (const CDynColumn& column : m_columns) {
        const CSspValue& value = column.value;
        if (value.IsInteger())
            bound.push_back({SQL_C_SBIGINT, sizeof(SQLBIGINT)});
        else if (value.IsReal() || value.IsDouble())
            bound.push_back({SQL_C_DOUBLE, sizeof(double)});
        else if (value.IsDate())
            bound.push_back({SQL_C_TYPE_TIMESTAMP, sizeof(SQL_TIMESTAMP_STRUCT)});
        else if (value.IsBinary() || value.IsLongText()) {
            // Of no known length: the whole result is read row by row, in chunks per value.
            bound.clear();
            break;
        } else
            bound.push_back(
                {SQL_C_CHAR, std::clamp(static_cast<size_t>(column.size) + 8, kMinTextWidth, kMaxTextWidth)});
    }
    m_statement->BindResult(std::move(bound));
}

void CDynBindSet::FillRecord(CDynColumn& column, const COdbcColumn& described) const
{
    column.odbcType = described.odbcType;
    column.sqlType = Traits().ValueType(described);
    column.size = described.precision == 0
                      ? 50
                      : static_cast<int>(std::min<SQLULEN>(described.precision, static_cast<SQLULEN>(m_maxColumnSize)));
    column.scale = described.scale;
    column.nullable = described.nullable;
    ResetValue(column);
}

void CDynBindSet::AddKeyColumns()
{
    const CDbmsTraits& traits = Traits();
    auto [schema, table] = SplitSchema(m_tables.front());
    std::vector<std::string> keys;
    try {
        COdbcStatement catalog(*m_database);
        catalog.PrimaryKeys({}, schema.empty() ? schema : traits.CatalogName(schema), traits.CatalogName(table));
        std::string name;
        while (catalog.Fetch())
            if (catalog.GetText(4, name))
                keys.push_back(name);
    } catch (const CDbException&) {
        // A driver without SQLPrimaryKeys: rows are then found by their old values alone.
        keys.clear();
    }
    NewLayout();
    for (const std::string& name : keys) {
        CDynColumn* column = FindColumn(name);
        if (column == nullptr) {
            column = &m_columns.emplace_back();
            column->name = name;
            column->hidden = true;
        }
        column->key = true;
    }
    // Without a key, equal rows are told apart by the product's row identity.
    if (keys.empty() && !traits.rowIdentity.empty()) {
        CDynColumn& column = m_columns.emplace_back();
        column.name = traits.rowIdentity;
        column.hidden = column.key = column.rowIdentity = true;
    }
}

bool CDynBindSet::OpenForColumnInfo()
{
    return OpenForColumnInfo(Traits().columnInfo);
}

bool CDynBindSet::OpenForColumnInfo(ColumnInfoPath path)
{
    if (m_columns.empty())
        return false;
    if (path == ColumnInfoPath::ProbeQuery) {
        m_filter = "1 = 2";
        if (m_database != nullptr && OpenFromKeptProbe())
            return true;
        return Open({}, kAppendOnly);
    }
    if (m_database == nullptr)
        throw CDbException::Own("08003", "Not connected to the database.");
    Close();
    CheckInsertColumns();
    m_catalogMode = true;
    m_freeSelect = false;
    m_options = kAppendOnly;
    m_open = true;
    m_bof = m_eof = true;
    m_sql.clear();
    return true;
}

bool CDynBindSet::OpenFromKeptProbe()
{
    const std::string sql = DefaultSql();
    const std::vector<COdbcColumn>* described = m_database->FindProbe(sql);
    if (described == nullptr || described->size() < m_columns.size())
        return false;
    Close();
    for (size_t i = 0; i < m_columns.size(); ++i)
        FillRecord(m_columns[i], (*described)[i]);
    // As after a probe that ran: open at its start and end, ready for AddNew, with no statement.
    m_catalogMode = true;
    m_freeSelect = false;
    m_options = kAppendOnly;
    m_open = true;
    m_bof = m_eof = true;
    m_sql = sql;
    return true;
}

void CDynBindSet::CheckInsertColumns()
{
    if (m_tables.empty())
        throw CSspException("Table name not found in SQL INSERT.", kNoPosition);
    const CDbmsTraits& traits = Traits();
    auto [schema, table] = SplitSchema(m_tables.front());
    std::vector<bool> described(m_columns.size(), false);
    try {
        COdbcStatement catalog(*m_database);
        catalog.Columns({}, schema.empty() ? schema : traits.CatalogName(schema), traits.CatalogName(table));
        std::string name;
        while (catalog.Fetch()) {
            int64_t dataType = 0, scale = 0, nullable = SQL_NULLABLE;
            std::string typeName;
            catalog.GetText(4, name);
            catalog.GetInteger(5, dataType);
            catalog.GetText(6, typeName);
            catalog.GetInteger(9, scale);
            catalog.GetInteger(11, nullable);
            for (size_t i = 0; i < m_columns.size(); ++i) {
                CDynColumn& column = m_columns[i];
                if (described[i] || !EqualsNoCase(column.name, name))
                    continue;
                COdbcColumn info;
                info.odbcType = static_cast<SQLSMALLINT>(dataType);
                info.typeName = typeName;
                info.scale = static_cast<SQLSMALLINT>(scale);
                info.sqlType = MapOdbcType(info.odbcType, info.scale);
                info.precision = static_cast<SQLULEN>(m_maxColumnSize);
                info.nullable = nullable != SQL_NO_NULLS;
                FillRecord(column, info);
                described[i] = true;
            }
        }
    } catch (const CDbException&) {
        throw CSspException("Failed to get column information.", kNoPosition);
    }
    for (size_t i = 0; i < m_columns.size(); ++i)
        if (!described[i])
            throw CSspException("Column " + m_columns[i].name + " does not exist in table " + m_tables.front(),
                                kNoPosition);
}

void CDynBindSet::ReadRow()
{
    for (size_t i = 0; i < m_columns.size(); ++i)
        ReadColumn(static_cast<int>(i) + 1, m_columns[i]);
}

void CDynBindSet::SetValuesNull()
{
    for (CDynColumn& column : m_columns)
        ResetValue(column);
}

void CDynBindSet::ReadColumn(int index, CDynColumn& column)
{
    ResetValue(column);
    CSspValue& value = column.value;
    if (value.IsInteger()) {
        int64_t number = 0;
        if (m_statement->GetInteger(index, number))
            value.m_integer = number;
    } else if (value.IsReal() || value.IsDouble()) {
        double number = 0.0;
        if (m_statement->GetDouble(index, number)) {
            if (value.IsReal())
                value.m_real = static_cast<float>(number);
            else
                value.m_double = number;
        }
    } else if (value.IsDate()) {
        SQL_TIMESTAMP_STRUCT stamp{};
        if (m_statement->GetTimestamp(index, stamp))
            value.m_time = MakeLocalTime(stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second);
    } else if (value.IsBinary() || value.IsLongText()) {
        std::string bytes;
        if (value.IsBinary() ? m_statement->GetBinary(index, bytes) : m_statement->GetText(index, bytes))
            value.TakeBinary(bytes);
    } else {
        m_statement->GetText(index, value.m_text);
    }
}

void CDynBindSet::MoveNext()
{
    if (!m_open || m_eof)
        return;
    if (m_catalogMode || !m_statement->Fetch()) {
        m_eof = true;
        SetValuesNull();
        return;
    }
    m_bof = false;
    ReadRow();
}

bool CDynBindSet::MoveFirst()
{
    if (!m_open || m_catalogMode || (m_bof && m_eof))
        return false;
    m_mode = EditMode::None;
    bool found;
    if (m_scrollable) {
        found = m_statement->FetchFirst();
    } else {
        m_statement->CloseCursor();
        m_statement->Execute();
        found = m_statement->Fetch();
    }
    m_bof = m_eof = !found;
    if (found)
        ReadRow();
    else
        SetValuesNull();
    return found;
}

int CDynBindSet::SetFieldValue(int index, const CSspValue& value)
{
    if (index < 0 || static_cast<size_t>(index) >= m_columns.size())
        return 0;
    CDynColumn& column = m_columns[static_cast<size_t>(index)];
    CSspValue& target = column.value;
    if ((target.IsBinary() && value.IsBinary()) || (target.IsLongText() && value.IsLongText()))
        CSspValue::CopyLongBinary(target.m_text, value.m_text);
    else if (target.m_type == value.m_type)
        target = value;
    else if (target.IsDate() && value.IsDate())
        target.m_time = value.m_time;
    else
        target.SetFromText(value.ToString());
    // Long columns are always written; a null is written on purpose; any other value only when it
    // differs from the row's (Update compares).
    if (target.IsBinary() || target.IsLongText() || target.IsNull())
        column.dirty = true;
    return 1;
}

bool CDynBindSet::IsUpdatable() const
{
    return m_open && !m_freeSelect && m_tables.size() == 1 && (m_options & kReadOnly) == 0;
}

void CDynBindSet::AddNew()
{
    if (!IsUpdatable())
        throw CDbException(kDbRecordsetReadOnly, "Recordset is read-only.", {});
    m_savedRow.clear();
    for (CDynColumn& column : m_columns) {
        m_savedRow.push_back(column.value);
        ResetValue(column);
        column.original = column.value;
        column.dirty = false;
    }
    m_mode = EditMode::Adding;
}

void CDynBindSet::Edit()
{
    if (!IsUpdatable() || (m_options & kAppendOnly) != 0)
        throw CDbException(kDbRecordsetReadOnly, "Recordset is read-only.", {});
    if (m_bof || m_eof)
        throw CDbException(kDbNoCurrentRecord, "No current record.", {});
    for (CDynColumn& column : m_columns) {
        column.original = column.value;
        column.dirty = false;
    }
    m_mode = EditMode::Editing;
}

bool CDynBindSet::Update()
{
    EditMode mode = std::exchange(m_mode, EditMode::None);
    if (mode == EditMode::None)
        throw CDbException::Own("HY010", "Update without AddNew or Edit.");
    if (mode == EditMode::Editing)
        return UpdateRow();
    // The row that was current before AddNew is current again, stored or not.
    std::vector<CSspValue> saved = std::move(m_savedRow);
    auto restore = [&] {
        for (size_t i = 0; i < saved.size() && i < m_columns.size(); ++i)
            m_columns[i].value = std::move(saved[i]);
    };
    bool stored;
    try {
        stored = Insert();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return stored;
}

bool CDynBindSet::Insert()
{
    std::vector<std::pair<const CDynColumn*, const CSspValue*>> parameters;
    std::string names, marks;
    for (const CDynColumn& column : m_columns) {
        if (!IsWritten(column))
            continue;
        names += (names.empty() ? "" : ", ") + column.name;
        marks += marks.empty() ? "?" : ", ?";
        parameters.emplace_back(&column, &column.value);
    }
    if (parameters.empty())
        return false;
    COdbcStatement statement(*m_database);
    Execute(statement, "INSERT INTO " + m_tables.front() + " (" + names + ") VALUES (" + marks + ")", parameters);
    return true;
}

bool CDynBindSet::UpdateRow()
{
    std::vector<std::pair<const CDynColumn*, const CSspValue*>> parameters;
    std::string assignments;
    for (const CDynColumn& column : m_columns) {
        if (column.hidden || !IsWritten(column))
            continue;
        assignments += (assignments.empty() ? "" : ", ") + column.name + " = ?";
        parameters.emplace_back(&column, &column.value);
    }
    if (parameters.empty())
        return false;

    // The row is the one with the key (or the row identity) it had when read: old values alone
    // would match every equal row. The old values of what changes make a row that someone else
    // changed in between miss.
    if (std::none_of(m_columns.begin(), m_columns.end(), [](const CDynColumn& c) { return c.key; }))
        throw CDbException(kDbRecordsetReadOnly,
                           "The row cannot be changed alone: table " + m_tables.front() +
                               " has no primary key and the database offers no row identity.",
                           {});
    std::string where;
    for (const CDynColumn& column : m_columns) {
        if (!column.key && !(IsWritten(column) && IsExactlyComparable(column)))
            continue;
        where += where.empty() ? " WHERE " : " AND ";
        if (column.rowIdentity && !Traits().rowIdentityType.empty()) {
            where += column.name + " = CAST(? AS " + std::string(Traits().rowIdentityType) + ")";
            parameters.emplace_back(&column, &column.original);
        } else if (column.original.IsNull() && column.original.IsString()) {
            // A value holds no difference between an empty text and none; the row may have either.
            where += "(" + column.name + " IS NULL OR " + column.name + " = '')";
        } else if (column.original.IsNull()) {
            where += column.name + " IS NULL";
        } else {
            where += column.name + " = ?";
            parameters.emplace_back(&column, &column.original);
        }
    }
    COdbcStatement statement(*m_database);
    if (Execute(statement, "UPDATE " + m_tables.front() + " SET " + assignments + where, parameters) == 0)
        throw CDbException(kDbNoRowsAffected, "No rows were affected by the update or delete operation.", {});
    for (CDynColumn& column : m_columns) {
        column.original = column.value;
        column.dirty = false;
    }
    return true;
}

size_t CDynBindSet::Execute(COdbcStatement& statement, const std::string& sql,
                            const std::vector<std::pair<const CDynColumn*, const CSspValue*>>& parameters)
{
    m_sentSql = sql;
    if (m_queryTimeout != kDefaultQueryTimeout)
        statement.SetQueryTimeout(m_queryTimeout);
    try {
        statement.Prepare(sql);
        for (size_t i = 0; i < parameters.size(); ++i)
            BindValue(statement, static_cast<int>(i) + 1, *parameters[i].first, *parameters[i].second);
        statement.Execute();
    } catch (const CDbException&) {
        // The columns the row was written with may have changed under the probe's knowledge.
        m_database->ForgetProbes();
        throw;
    }
    // A driver that cannot count (-1) is taken at its word that the statement succeeded.
    SQLLEN rows = statement.RowCount();
    return rows < 0 ? 1 : static_cast<size_t>(rows);
}

void CDynBindSet::BindValue(COdbcStatement& statement, int index, const CDynColumn& column,
                            const CSspValue& value) const
{
    const SQLSMALLINT type = column.odbcType != 0 ? column.odbcType : static_cast<SQLSMALLINT>(SQL_VARCHAR);
    if (value.IsNull())
        statement.BindNull(index, type);
    else if (value.IsInteger())
        statement.BindInteger(index, value.m_integer, type);
    else if (value.IsReal())
        statement.BindDouble(index, static_cast<double>(value.m_real));
    else if (value.IsDouble())
        statement.BindDouble(index, value.m_double);
    else if (value.IsDate()) {
        const bool dateOnly = type == SQL_TYPE_DATE || type == SQL_DATE;
        if (!dateOnly && Traits().timestampsAsText)
            statement.BindText(index, CSspDateTime(value.m_time).Format("%04Y-%m-%d %H:%M:%S"), SQL_VARCHAR);
        else
            statement.BindTimestamp(index, ToTimestamp(value.m_time, dateOnly),
                                    dateOnly ? SQL_TYPE_DATE : SQL_TYPE_TIMESTAMP);
    } else if (value.IsBinary())
        statement.BindBinary(index, value.m_text);
    else if (value.IsLongText())
        statement.BindText(index, value.m_text, SQL_LONGVARCHAR);
    else
        statement.BindText(index, value.m_text, type, static_cast<SQLSMALLINT>(value.IsDecimal() ? column.scale : 0));
}

void CDynBindSet::Close()
{
    // Handing the statement back is all: it knows whether its connection still exists, and the
    // connection keeps it for the next run of the same text.
    COdbcStatement::Recycle(std::move(m_statement));
    m_open = false;
    m_bof = m_eof = true;
    m_catalogMode = false;
    m_mode = EditMode::None;
    m_savedRow.clear();
}

void CDynBindSet::Reset()
{
    Close();
    m_tables.clear();
    NewLayout();
    m_columns.clear();
    m_filter.clear();
    m_sort.clear();
}
