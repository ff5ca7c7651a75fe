#include "database/ssp_query.h"

#include "database/data_source.h"
#include "database/db_exception.h"
#include "database/sql_injection_guard.h"
#include "database/system_tables.h"
#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/name_index.h"
#include "foundation/number_parse.h"
#include "foundation/script_error.h"
#include "foundation/ssp_call.h"
#include "foundation/ssp_date_time.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

constexpr int kOutOfMemoryInUseDataSource = 61;
constexpr int kColumnForCrosstab = 62;
constexpr int kRowCountCrosstabOnly = 63;
constexpr int kInjection = 127;
constexpr int kStatementEmpty = 128;
constexpr int kNotSupported = 129;

enum class Method
{
    Execute,
    Fetch,
    MoveFirst,
    Close,
    ColumnCount,
    RowCount,
    UseDataSource,
    PreventSqlInjection,
    SetQueryTimeout,
    Column,
    ColTotal,
    AddXHeader,
    AddYHeader,
};

struct MethodName
{
    std::string_view text;
    Method method;
};

constexpr MethodName kMethods[] = {
    {"execute", Method::Execute},
    {"fetch", Method::Fetch},
    {"movefirst", Method::MoveFirst},
    {"close", Method::Close},
    {"ColumnCount", Method::ColumnCount},
    {"RowCount", Method::RowCount},
    {"UseDataSource", Method::UseDataSource},
    {"PreventSqlInjection", Method::PreventSqlInjection},
    {"SetQueryTimeout", Method::SetQueryTimeout},
    {"Column", Method::Column},
    {"colTotal", Method::ColTotal},
    {"addXHeader", Method::AddXHeader},
    {"addYHeader", Method::AddYHeader},
};

// Most members asked for are column names, which the length alone tells from the methods.
const Method* FindMethod(std::string_view name)
{
    static constexpr CNameIndex<MethodName, &MethodName::text, 19, 4> kIndex(kMethods);
    const MethodName* found = kIndex.Find(name);
    return found != nullptr ? &found->method : nullptr;
}

// Argument 0 as text; "Missing parameter." at the call without it.
std::string FirstArgument(const CSspCall& call)
{
    if (call.ParamCount() < 1)
        RaiseCatalogText(kMsgMissingParameter, call.m_position);
    return call.GetParamStr(0);
}

bool IsIndexName(std::string_view name)
{
    return name.find_first_not_of("0123456789") == std::string_view::npos;
}

// The select list's length, counted in the statement's text before it runs.
int CountSelectList(std::string_view statement)
{
    constexpr std::string_view kDelimiters = ", \t\r\n";
    int count = 0;
    size_t start = 0;
    while ((start = statement.find_first_not_of(kDelimiters, start)) != std::string_view::npos) {
        size_t end = std::min(statement.find_first_of(kDelimiters, start), statement.size());
        std::string_view word = statement.substr(start, end - start);
        if (EqualsNoCase(word, "from"))
            break;
        if (!EqualsNoCase(word, "select") && !EqualsNoCase(word, "distinct"))
            ++count;
        start = end;
    }
    return count;
}

// A crosstab key as the script reads it: dates in the locale's date form.
std::string KeyText(const CSspValue& value)
{
    return value.IsDate() ? CSspDateTime(value.m_time).GetDateStr() : value.ToString();
}

}  // namespace

CSspQuery::CSspQuery(CSspQueryHost& host) : m_host(host)
{}

CSspQuery::~CSspQuery()
{
    // The statement goes first; it knows whether the run's connection still exists.
    m_set.Reset();
}

void CSspQuery::Init(const CSspCall& declaration, bool raw)
{
    m_grid.Clear();
    m_preventInjection = true;
    m_statement = std::string(TrimWhiteAscii(declaration.m_member));
    m_reportedSql = m_statement;
    m_sentSql.clear();
    if (m_statement.empty())
        RaiseCatalogText(kStatementEmpty, declaration.m_position);
    m_position = declaration.m_position;
    m_endPosition = declaration.m_endPosition;
    m_name = declaration.m_object;
    m_raw = raw;
    m_crosstab = StartsWithNoCase(m_statement, "crosstab");
}

void CSspQuery::CallMember(CSspCall& call, CSspValue& result)
{
    m_inUse = nullptr;
    RunAtPosition(call.m_position, [&] {
        try {
            DispatchOnLiveConnection(call, result);
        } catch (const CDbException& error) {
            throw CSspException(DbErrorText(error), kNoPosition);
        }
    });
}

void CSspQuery::DispatchOnLiveConnection(CSspCall& call, CSspValue& result)
{
    try {
        Dispatch(call, result);
    } catch (const CDbException& error) {
        if (m_inUse == nullptr || !m_inUse->ReconnectIfKeptBroke(error))
            throw;
        Dispatch(call, result);
    }
    if (m_inUse != nullptr)
        m_inUse->MarkUsed();
}

std::string CSspQuery::DbErrorText(const CDbException& error)
{
    std::string message;
    const CDbmsTraits& traits = m_inUse != nullptr ? m_inUse->Connection().Traits() : CDbmsTraits::ForDbms("");
    if (traits.IsLostConnection(error)) {
        message = CMessageCatalog::Text(kMsgConnectionBroken);
        if (m_inUse != nullptr) {
            try {
                m_inUse->DoCommand("Close");
            } catch (const CSspException&) {
                // The connection is gone either way; the next use reconnects.
            }
        }
    } else {
        message = error.ErrorText().empty() ? error.StateText() : error.ErrorText();
        if (m_inUse != nullptr)
            message = WithMissingSystemTableHint(std::move(message), error, traits, m_inUse->GetConnectString());
    }
    message += " SQL " + m_name + ":" + m_reportedSql;
    if (m_inUse != nullptr)
        message += " DSN:" + m_inUse->GetConnectionValue("DSN");
    return message;
}

const CSspValue* CSspQuery::HeldMemberValue(std::string_view member, std::uint64_t& hint)
{
    // Only where Dispatch would read a column and copy it: the methods, the SQL text, a crosstab's
    // cells and a result yet to run go through CallMember.
    if (m_crosstab || !m_set.IsOpen())
        return nullptr;
    // The hint is the column's index under the set's layout stamp, low bits and high bits.
    constexpr int kIndexBits = 24;
    constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;
    const std::uint64_t layout = m_set.Layout();
    if (hint != 0 && hint >> kIndexBits == layout)
        return &m_set.Column(static_cast<int>(hint & kIndexMask)).value;
    if (FindMethod(member) != nullptr || EqualsNoCase(member, "sql"))
        return nullptr;
    const int index = ColumnNumber(member);
    const CSspValue* value = m_set.GetColumnValue(index);
    if (value != nullptr && static_cast<std::uint64_t>(index) <= kIndexMask && layout <= UINT64_MAX >> kIndexBits)
        hint = layout << kIndexBits | static_cast<std::uint64_t>(index);
    return value;
}

void CSspQuery::Dispatch(CSspCall& call, CSspValue& result)
{
    const Method* method = FindMethod(call.m_member);
    if (method == nullptr) {
        ReadMember(call.m_member, result);
        return;
    }
    switch (*method) {
    case Method::Execute:
        Execute();
        result.SetInteger(1);
        return;
    case Method::Fetch: result.SetInteger(m_crosstab ? FetchCrosstab() : Fetch()); return;
    case Method::MoveFirst: result.SetInteger(MoveFirst()); return;
    case Method::Close:
        Close();
        result.SetInteger(1);
        return;
    case Method::ColumnCount: result.SetInteger(ColumnCount()); return;
    case Method::RowCount:
        if (!m_crosstab)
            RaiseCatalogText(kRowCountCrosstabOnly, call.m_position);
        if (!m_grid.IsBuilt())
            BuildGrid();
        result.SetInteger(m_grid.RowCount());
        return;
    case Method::UseDataSource:
        UseDataSource(call);
        result.SetInteger(1);
        return;
    case Method::PreventSqlInjection:
        m_preventInjection = FirstArgument(call) == "1";
        result.SetInteger(1);
        return;
    case Method::SetQueryTimeout:
        m_set.SetQueryTimeout(ParseInt32(FirstArgument(call)));
        result.SetInteger(1);
        return;
    case Method::Column: ReadMember(FirstArgument(call), result); return;
    case Method::ColTotal: {
        const int index = ParseInt32(FirstArgument(call));
        if (!m_grid.IsBuilt())
            BuildGrid();
        m_grid.ColumnTotal(index, result);
        return;
    }
    case Method::AddXHeader:
        m_grid.AddXHeader(FirstArgument(call), call.m_position);
        result.SetInteger(1);
        return;
    case Method::AddYHeader:
        m_grid.AddYHeader(FirstArgument(call), call.m_position);
        result.SetInteger(1);
        return;
    }
}

bool CSspQuery::IsGuarded(const std::string& text) const
{
    return !m_preventInjection || PassesSqlInjectionGuard(text);
}

void CSspQuery::ThrowInjection() const
{
    throw CSspException(CMessageCatalog::Text(kInjection) + m_statement, m_position);
}

bool CSspQuery::IsQuery() const
{
    return m_crosstab || StartsWithNoCase(m_statement, "SELECT");
}

void CSspQuery::Execute()
{
    m_reportedSql = m_statement;
    if (m_raw) {
        if (!IsGuarded(m_statement))
            ThrowInjection();
        if (StartsWithNoCase(m_statement, "SELECT"))
            OpenResult(m_statement);
        else if (StartsWithNoCase(m_statement, "CROSSTAB"))
            BuildGrid();
        else {
            m_sentSql = m_statement;
            DataSource()->DoCommand("ExecuteSQL", m_statement);
        }
        return;
    }
    std::string_view verb = std::string_view(m_statement).substr(0, 6);
    if (EqualsNoCase(verb, "SELECT"))
        TranslateSelect();
    else if (EqualsNoCase(verb, "INSERT"))
        TranslateInsert();
    else if (EqualsNoCase(verb, "UPDATE"))
        TranslateUpdate();
    else if (EqualsNoCase(verb, "DELETE"))
        TranslateDelete();
    else if (!m_crosstab)  // a crosstab is built when it is first read
        throw CSspException(CMessageCatalog::Text(kNotSupported) + m_statement, m_position);
}

void CSspQuery::OpenResult(const std::string& sql)
{
    CloseResult();
    m_reportedSql = sql;
    m_set.SetDatabase(&DataSource()->Connection());
    m_set.Open(sql);
}

int CSspQuery::Fetch()
{
    if (!m_set.IsOpen()) {
        if (!IsQuery())
            return 0;
        Execute();
        return m_set.IsEOF() ? 0 : 1;
    }
    if (m_set.IsEOF())
        return 0;
    if (m_movedFirst) {
        m_movedFirst = false;
        return 1;
    }
    if (m_fetchedOnAccess) {
        m_fetchedOnAccess = false;
        return 1;
    }
    m_set.MoveNext();
    return m_set.IsEOF() ? 0 : 1;
}

int CSspQuery::MoveFirst()
{
    if (!m_set.IsOpen() || (m_set.IsBOF() && m_set.IsEOF()) || !m_set.MoveFirst())
        return 0;
    m_movedFirst = true;
    // The first row is current now; a column read before must not make fetch stay on it twice.
    m_fetchedOnAccess = false;
    return 1;
}

void CSspQuery::CloseResult()
{
    m_set.Reset();
    m_fetchedOnAccess = false;
    m_movedFirst = false;
}

void CSspQuery::Close()
{
    CloseResult();
    m_set.SetDatabase(nullptr);
    m_ownDataSource.reset();
    m_grid.Clear();
    m_sentSql.clear();
}

int CSspQuery::ColumnCount()
{
    if (m_crosstab) {
        if (!m_grid.IsBuilt())
            BuildGrid();
        return m_grid.ColumnCount();
    }
    if (m_set.ColumnCount() > 0)
        return m_set.ColumnCount();
    return CountSelectList(m_statement);
}

void CSspQuery::UseDataSource(const CSspCall& call)
{
    std::string connect = UseDataSourceConnect(call);
    if (m_ownDataSource)
        return;
    try {
        m_ownDataSource = std::make_unique<CDataSource>(std::move(connect), static_cast<int64_t>(std::time(nullptr)));
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kOutOfMemoryInUseDataSource, call.m_position);
    }
}

CDataSource* CSspQuery::DataSource()
{
    CDataSource* dataSource = m_ownDataSource ? m_ownDataSource.get() : m_host.GetRunDataSource();
    // Reconnects a data source whose connection an earlier failure closed; a no-op while connected.
    dataSource->DoCommand("Open");
    m_inUse = dataSource;
    return dataSource;
}

void CSspQuery::ReadMember(std::string_view member, CSspValue& result)
{
    if (m_crosstab)
        ReadCell(member, result);
    else
        ReadColumn(member, result);
}

void CSspQuery::ReadColumn(std::string_view member, CSspValue& result)
{
    // Reading a query's column runs the query when it has not run yet; a statement that changes
    // data runs only when the page calls execute, however often its members are read.
    const bool query = IsQuery();
    if (!m_set.IsOpen() && (query || m_sentSql.empty())) {
        if (m_host.IsEvaluatingWatch()) {
            result.SetString("SQL statement has not been executed.");
            return;
        }
        if (query) {
            Fetch();
            m_fetchedOnAccess = true;
        }
    }
    if (EqualsNoCase(member, "sql")) {
        result.SetString(query ? m_set.GetSQL() : m_sentSql);
        return;
    }
    const CSspValue* value = m_set.GetColumnValue(ColumnNumber(member));
    if (value == nullptr) {
        std::string message(512 + member.size() + m_name.size(), '\0');
        std::string memberText(member);
        int length = std::snprintf(message.data(), message.size(), CMessageCatalog::Format(kMsgAddColumnToSelect),
                                   memberText.c_str(), m_name.c_str());
        message.resize(static_cast<size_t>(std::max(length, 0)));
        throw CSspException(std::move(message), m_position);
    }
    result = *value;
}

int CSspQuery::ColumnNumber(std::string_view member) const
{
    return IsIndexName(member) ? ParseInt32(member) : m_set.ColumnIndex(member);
}

void CSspQuery::BuildGrid()
{
    if (m_grid.IsBuilt())
        return;
    CloseResult();
    CrosstabAggregate aggregate = CrosstabAggregate::Count;
    const std::string sql = TranslateCrosstab(m_statement, m_position, &aggregate);
    m_reportedSql = sql;
    if (!IsGuarded(sql))
        ThrowInjection();
    m_set.SetDatabase(&DataSource()->Connection());
    m_set.Open(sql, CDynBindSet::kReadOnly);
    if (m_set.ColumnCount() < 2)
        RaiseCatalogText(kColumnForCrosstab, m_position);
    m_grid.BeginFold(aggregate);
    for (; !m_set.IsEOF(); m_set.MoveNext())
        m_grid.AddRow(KeyText(*m_set.GetColumnValue(0)), KeyText(*m_set.GetColumnValue(1)), m_set.GetColumnValue(2),
                      m_position);
    m_grid.EndFold();
    // Every row is in the grid; the cursor is of no further use.
    CloseResult();
}

int CSspQuery::FetchCrosstab()
{
    if (!m_grid.IsBuilt())
        BuildGrid();
    return m_grid.Fetch(m_position);
}

void CSspQuery::ReadCell(std::string_view member, CSspValue& result)
{
    if (!m_grid.IsBuilt() || m_grid.Cursor() == -2)
        FetchCrosstab();
    m_grid.Cell(member, result, m_position);
}
