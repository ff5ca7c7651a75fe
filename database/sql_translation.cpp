// Statement translation of the script sql object: a declared statement that is not raw holds
// script expressions where SQL holds values. At each execute its tokens are read again from the
// declaring engine's source text, each value expression is evaluated by the engine, and the value
// becomes a literal of the type of the column it meets (SELECT, DELETE) or a bound parameter of
// that column (INSERT and UPDATE go through the recordset), so no script value reaches the SQL
// text unquoted.
#include "database/ssp_query.h"

#include "database/data_source.h"
#include "database/db_exception.h"
#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"

#include <utility>

namespace {

constexpr int kRecordNotFound = 59;
constexpr int kMissingFrom = 130;
constexpr int kDuplicateColumn = 131;
constexpr int kMissingValues = 132;
constexpr int kTooFewValues = 133;
constexpr int kInvalidToken = 134;
constexpr int kMissingOperand = 136;
constexpr int kMissingColumnName = 137;
constexpr int kMissingSet = 139;

bool IsComparison(std::string_view token)
{
    static constexpr std::string_view kOperators[] = {"<", ">", "<=", ">=", "=", "==", "<>", "!="};
    for (std::string_view op : kOperators)
        if (token == op)
            return true;
    return EqualsNoCase(token, "like") || EqualsNoCase(token, "alike");
}

// The operator as the driver knows it: "alike" is sent as LIKE, "==" as "=" and "!=" as "<>".
std::string SqlOperator(std::string_view op)
{
    if (op == "==")
        return "=";
    if (op == "!=")
        return "<>";
    if (EqualsNoCase(op, "alike") || EqualsNoCase(op, "like"))
        return "LIKE";
    return std::string(op);
}

// A non-empty script value that a date column cannot take is refused: compared or stored as NULL
// it would touch the rows whose date is missing. Only an empty or null script value stands for NULL.
// `converted` is the value's text as the column's type.
void RequireDateConversion(const CDynColumn& column, const std::string& text, const CSspValue& converted, int position)
{
    if (!text.empty() && converted.IsNull())
        throw CSspException(NotADateMessage(text, " for column " + column.name + "."), position);
}

// The script value converted to the column's type, for a literal of that type.
CSspValue AsColumnValue(const CDynColumn& column, const CSspValue& value, int position)
{
    CSspValue typed = column.value;
    if (typed.IsDate() && value.IsDate()) {
        typed.m_time = value.m_time;  // a date value keeps its seconds, which its text would lose
        return typed;
    }
    const std::string text = value.ToString();
    typed.SetFromText(text);
    if (column.value.IsDate())
        RequireDateConversion(column, text, typed, position);
    return typed;
}

// The value that INSERT or UPDATE stores: for a date column converted here, once, so that a text
// that is no date is refused; any other value keeps its own type until the column converts it.
CSspValue ValueToStore(const CDynColumn& column, const CSspValue& value, int position)
{
    return column.value.IsDate() ? AsColumnValue(column, value, position) : value;
}

// Words that end a condition (and are copied after it by the caller).
bool EndsCondition(std::string_view token)
{
    return token.empty() || token == ";" || EqualsNoCase(token, "group") || EqualsNoCase(token, "order");
}

bool IsAndOr(std::string_view token)
{
    return EqualsNoCase(token, "and") || EqualsNoCase(token, "or");
}

// Empties the object's result set however a translation ends: its columns belong to one execute.
struct ResetOnExit
{
    CDynBindSet& set;
    ~ResetOnExit() { set.Reset(); }
};

}  // namespace

CSspSqlToken CSspQuery::NextToken(int& cursor)
{
    return m_host.NextSqlToken(cursor, m_endPosition);
}

// Moves the cursor over one value expression and returns where it ends. A list item ends before a
// "," or "where"; a condition's value before "and", "or", "group" or "order"; both before ";", the
// end, or a ")" that closes a parenthesis opened before the expression.
int CSspQuery::SkipExpression(int& cursor, bool listItem)
{
    int depth = 0;
    while (true) {
        const int before = cursor;
        CSspSqlToken token = NextToken(cursor);
        std::string_view text = token.text;
        bool stop = text.empty() || text == ";";
        if (text == "(") {
            ++depth;
        } else if (text == ")") {
            stop = depth == 0;
            --depth;
        } else if (depth == 0) {
            stop =
                stop || (listItem ? text == "," || EqualsNoCase(text, "where") : IsAndOr(text) || EndsCondition(text));
        }
        if (stop) {
            cursor = text.empty() ? before : token.start;
            return cursor;
        }
    }
}

CSspValue CSspQuery::Evaluate(const Range& range)
{
    CSspValue value;
    if (!m_host.EvaluateSqlExpression(range.first, range.second, value))
        RaiseCatalogText(kMissingOperand, range.first);
    return value;
}

template <typename Action>
void CSspQuery::ReportSetSql(CDynBindSet& set, Action action)
{
    try {
        action();
    } catch (const CDbException&) {
        m_reportedSql = set.SentSql();
        throw;
    }
}

// The values of "VALUES (a, b, ...)" (or of a list without parentheses up to the statement's end).
std::vector<CSspQuery::Range> CSspQuery::ReadValueList(int& cursor)
{
    std::vector<Range> items;
    int probe = cursor;
    const bool parenthesised = NextToken(probe).text == "(";
    if (parenthesised)
        cursor = probe;
    while (true) {
        const int start = cursor;
        const int end = SkipExpression(cursor, true);
        CSspSqlToken stop = NextToken(cursor);
        if (end > start || stop.text == ",")
            items.emplace_back(start, end);
        if (stop.text != ",")
            return items;
    }
}

void CSspQuery::TranslateSelect()
{
    CloseResult();
    int cursor = m_position;
    std::string text;
    while (true) {
        CSspSqlToken token = NextToken(cursor);
        if (token.text.empty() || token.text == ";")
            RaiseCatalogText(kMissingFrom, m_position);
        text.append(token.text).push_back(' ');
        if (EqualsNoCase(token.text, "from"))
            break;
    }
    // Each table reference between commas, alias or join included, is one entry of the probe's
    // FROM list, so "items i" stays a table with its alias.
    CSspSqlToken token;
    std::string reference;
    while (true) {
        token = NextToken(cursor);
        const bool end = token.text.empty() || token.text == ";" || EqualsNoCase(token.text, "where");
        if ((end || token.text == ",") && !reference.empty())
            m_set.AddTable(std::exchange(reference, std::string()));
        if (end)
            break;
        text.append(token.text).push_back(' ');
        if (token.text != ",")
            reference.append(reference.empty() ? "" : " ").append(token.text);
    }
    if (EqualsNoCase(token.text, "where")) {
        std::string condition = TranslateWhere(cursor, m_set.Tables());
        if (!condition.empty())
            text += "WHERE " + condition + " ";
        for (token = NextToken(cursor); !token.text.empty() && token.text != ";"; token = NextToken(cursor))
            text.append(token.text).push_back(' ');
    }
    text.resize(TrimRightWhiteAscii(text).size());
    m_reportedSql = text;
    if (!IsGuarded(text))
        ThrowInjection();
    m_set.SetDatabase(&DataSource()->Connection());
    m_set.Open(text);
}

void CSspQuery::TranslateCondition(int cursor, CDynBindSet& set)
{
    bool expectColumn = true, found = false, afterAndOr = false;
    for (CSspSqlToken token = NextToken(cursor); !EndsCondition(token.text); token = NextToken(cursor)) {
        if (EqualsNoCase(token.text, "not"))
            continue;
        afterAndOr = IsAndOr(token.text);
        if (afterAndOr) {
            expectColumn = true;
        } else if (expectColumn && token.text != "(" && token.text != ")") {
            set.AddColumn(token.text);
            found = true;
            expectColumn = false;
        }
    }
    if (!found || afterAndOr)
        RaiseCatalogText(kMissingColumnName, cursor);
}

std::string CSspQuery::TranslateWhere(int& cursor, const std::vector<std::string>& tables)
{
    // The columns the condition compares, with the types the database gives them.
    CDynBindSet probe(&DataSource()->Connection());
    for (const std::string& table : tables)
        probe.AddTable(table);
    TranslateCondition(cursor, probe);
    ReportSetSql(probe, [&] { probe.OpenForColumnInfo(); });
    probe.Close();

    std::string text;
    CSspSqlToken lastPlain;
    while (true) {
        CSspSqlToken token = NextToken(cursor);
        if (EndsCondition(token.text)) {
            if (!token.text.empty())
                cursor = token.start;  // the caller copies what follows the condition
            break;
        }
        if (!IsComparison(token.text)) {
            lastPlain = token;
            text.append(token.text).push_back(' ');
            continue;
        }
        const int start = cursor;
        const int end = SkipExpression(cursor, false);
        CSspValue value = Evaluate({start, end});
        CDynColumn* column = probe.FindColumn(lastPlain.text);
        if (column == nullptr)
            throw CSspException("No column of the statement's tables is named: " + std::string(lastPlain.text),
                                lastPlain.text.empty() ? token.start : lastPlain.start);
        // The column's type decides the literal: quotes for texts, none for numbers.
        const std::string literal = AsColumnValue(*column, value, start).ToSqlLiteral();
        const std::string op = SqlOperator(token.text);
        if (literal != "NULL")
            text.append(op).append(" ").append(literal).push_back(' ');
        else
            text += (op == "=" ? "IS " : "IS NOT ") + literal + " ";
    }
    text.resize(TrimRightWhiteAscii(text).size());
    return text;
}

void CSspQuery::TranslateInsert()
{
    CloseResult();
    ResetOnExit reset{m_set};
    int cursor = m_position;
    NextToken(cursor);
    CSspSqlToken token = NextToken(cursor);
    if (EqualsNoCase(token.text, "into"))
        token = NextToken(cursor);
    m_set.AddTable(std::string(token.text));
    while (true) {
        token = NextToken(cursor);
        if (token.text.empty() || token.text == ";")
            throw CSspException(CMessageCatalog::Text(kMissingValues) + m_statement, m_position);
        if (EqualsNoCase(token.text, "values"))
            break;
        if (token.text == "(" || token.text == ")" || token.text == ",")
            continue;
        if (m_set.AddColumn(token.text) == 0)
            throw CSspException(CMessageCatalog::Text(kDuplicateColumn) + std::string(token.text), m_position);
    }
    m_set.SetDatabase(&DataSource()->Connection());
    ReportSetSql(m_set, [&] { m_set.OpenForColumnInfo(); });
    m_set.AddNew();
    std::vector<Range> items = ReadValueList(cursor);
    if (items.size() < static_cast<size_t>(m_set.ColumnCount()))
        RaiseCatalogText(kTooFewValues, m_position);
    for (int i = 0; i < m_set.ColumnCount(); ++i) {
        const Range& item = items[static_cast<size_t>(i)];
        m_set.SetFieldValue(i, ValueToStore(m_set.Column(i), Evaluate(item), item.first));
    }
    ReportSetSql(m_set, [&] { m_set.Update(); });
    m_sentSql = m_set.SentSql();
}

void CSspQuery::TranslateUpdate()
{
    CloseResult();
    ResetOnExit reset{m_set};
    int cursor = m_position;
    NextToken(cursor);
    const std::string table(NextToken(cursor).text);
    if (!EqualsNoCase(NextToken(cursor).text, "set"))
        RaiseCatalogText(kMissingSet, m_position);
    m_set.AddTable(table);

    // First pass: the assigned columns and where their values lie; the values are evaluated only
    // once the row is found.
    std::vector<Range> values;
    CSspSqlToken token;
    while (true) {
        token = NextToken(cursor);
        if (token.text.empty() || token.text == ";" || EqualsNoCase(token.text, "where"))
            break;
        if (token.text == ",")
            continue;
        if (m_set.AddColumn(token.text) == 0)
            throw CSspException(CMessageCatalog::Text(kDuplicateColumn) + std::string(token.text), m_position);
        NextToken(cursor);  // "="
        const int start = cursor;
        values.emplace_back(start, SkipExpression(cursor, true));
        int next = cursor;
        CSspSqlToken after = NextToken(next);
        if (!after.text.empty() && after.text != ";" && after.text != "," && !EqualsNoCase(after.text, "where"))
            throw CSspException(CMessageCatalog::Text(kInvalidToken) + std::string(after.text), after.start);
    }
    if (EqualsNoCase(token.text, "where")) {
        TranslateCondition(cursor, m_set);
        m_set.SetFilter(TranslateWhere(cursor, {table}));
    }
    m_set.SetDatabase(&DataSource()->Connection());
    ReportSetSql(m_set, [&] { m_set.Open(); });
    if (m_set.IsBOF() && m_set.IsEOF())
        RaiseCatalogText(kRecordNotFound, m_position);
    // Only the first row that matches is changed: the set finds it again by its key or identity.
    m_set.Edit();
    for (size_t i = 0; i < values.size(); ++i) {
        const int index = static_cast<int>(i);
        m_set.SetFieldValue(index, ValueToStore(m_set.Column(index), Evaluate(values[i]), values[i].first));
    }
    ReportSetSql(m_set, [&] { m_set.Update(); });
    m_sentSql = m_set.SentSql();
}

void CSspQuery::TranslateDelete()
{
    int cursor = m_position;
    NextToken(cursor);
    CSspSqlToken token = NextToken(cursor);
    if (EqualsNoCase(token.text, "from"))
        token = NextToken(cursor);
    const std::string table(token.text);
    std::string text = "DELETE FROM " + table;
    if (EqualsNoCase(NextToken(cursor).text, "where")) {
        std::string condition = TranslateWhere(cursor, {table});
        if (!condition.empty())
            text += " WHERE " + condition;
    }
    // Run as the object's own statement, so a failure names the text that was sent.
    m_reportedSql = text;
    m_sentSql = text;
    DataSource()->Connection().ExecuteSQL(text);
}
