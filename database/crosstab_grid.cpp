#include "database/crosstab_grid.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"
#include "foundation/ssp_value.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr int kInternalError = 3;
constexpr int kGroupFunctions = 141;
constexpr int kFieldEmpty = 140;
constexpr int kTableEmpty = 138;

// The non-empty pieces of text between any of the delimiters, with their offsets.
std::vector<std::pair<std::string_view, size_t>> SplitPieces(std::string_view text, std::string_view delimiters)
{
    std::vector<std::pair<std::string_view, size_t>> pieces;
    size_t start = 0;
    while (start < text.size()) {
        start = text.find_first_not_of(delimiters, start);
        if (start == std::string_view::npos)
            break;
        size_t end = std::min(text.find_first_of(delimiters, start), text.size());
        pieces.emplace_back(text.substr(start, end - start), start);
        start = end;
    }
    return pieces;
}

bool SortsAfterNoCase(const std::string& a, const std::string& b)
{
    return LowerAscii(a) > LowerAscii(b);
}

// The number of a value field: numbers as they are, a text only when it is a number as a whole.
bool ValueNumber(const CSspValue& value, double& number)
{
    if (value.IsNumeric()) {
        number = value.ToDouble();
        return true;
    }
    const std::string text = value.ToString();
    const std::string_view trimmed = TrimWhiteAscii(text);
    return !trimmed.empty() && LeadingNumber(trimmed).size() == trimmed.size() && ParseLeadingDouble(trimmed, number);
}

}  // namespace

std::string TranslateCrosstab(const std::string& statement, int position, CrosstabAggregate* aggregateOut)
{
    if (aggregateOut != nullptr)
        *aggregateOut = CrosstabAggregate::Count;
    if (statement.starts_with("SELECT "))
        return statement;
    auto tokens = SplitPieces(statement, " \t\r\n");
    auto token =
        std::find_if(tokens.begin(), tokens.end(), [](const auto& t) { return EqualsNoCase(t.first, "crosstab"); });
    std::string callText, fromPart;
    if (token != tokens.end()) {
        for (++token; token != tokens.end(); ++token) {
            if (EqualsNoCase(token->first, "from")) {
                std::string_view rest = TrimWhiteAscii(std::string_view(statement).substr(token->second + 4));
                fromPart = " FROM " + std::string(rest);
                break;
            }
            callText += token->first;
        }
    }
    auto fields = SplitPieces(callText, " ,()");
    auto field = [&](size_t i) { return i < fields.size() ? std::string(fields[i].first) : std::string(); };
    const std::string row = field(0), column = field(1), value = field(3);
    std::string aggregate = LowerAscii(field(2));
    if (aggregate.empty())
        aggregate = "count";
    if (aggregate != "count" && aggregate != "sum" && aggregate != "avg")
        RaiseCatalogText(kGroupFunctions, position);
    if (row.empty() || column.empty())
        RaiseCatalogText(kFieldEmpty, position);
    if (fromPart.empty())
        RaiseCatalogText(kTableEmpty, position);
    if (aggregate != "count" && value.empty())
        throw CSspException("The crosstab's " + aggregate + " needs a value field: " + aggregate + "(field).",
                            position);
    if (aggregateOut != nullptr)
        *aggregateOut = aggregate == "sum"   ? CrosstabAggregate::Sum
                        : aggregate == "avg" ? CrosstabAggregate::Avg
                                             : CrosstabAggregate::Count;
    std::string select = "SELECT " + row + ", " + column;
    if (!value.empty())
        select += ", " + value;
    return select + fromPart + " ORDER BY " + row + " ASC, " + column + " ASC";
}

void CCrosstabGrid::Tally::Add(const Tally& other)
{
    count += other.count;
    sum += other.sum;
    values += other.values;
}

void CCrosstabGrid::Clear()
{
    m_headers.clear();
    m_cells.clear();
    m_rowCount = 0;
    m_cursor = kNotBuilt;
    m_presets = false;
    m_yHeaders = false;
    m_grandTotal = {};
    m_aggregate = CrosstabAggregate::Count;
    m_integral = true;
    m_previousRow.reset();
}

void CCrosstabGrid::AddXHeader(const std::string& text, int position)
{
    if (IsBuilt())
        throw CSspException("addXHeader is valid only before the query is executed", position);
    if (m_headers.empty())
        m_headers.push_back({"Crosstab", {}});
    m_headers.push_back({text, {}});
    m_presets = true;
}

void CCrosstabGrid::AddYHeader(const std::string& text, int position)
{
    if (m_headers.empty())
        throw CSspException("Call addXHeader first", position);
    if (IsBuilt())
        throw CSspException("addYHeader is valid only before the query is executed", position);
    auto addRow = [this](const std::string& key) {
        for (size_t i = 1; i < m_headers.size(); ++i)
            m_cells.push_back({key, m_headers[i].text, {}});
        ++m_rowCount;
    };
    if (!m_yHeaders) {
        addRow(std::string());
        m_yHeaders = true;
    }
    addRow(text);
}

void CCrosstabGrid::BeginFold(CrosstabAggregate aggregate)
{
    if (!m_presets) {
        m_headers.assign(1, {"Crosstab", {}});
        m_cells.clear();
        m_rowCount = 0;
    }
    m_aggregate = aggregate;
    m_integral = true;
    m_grandTotal = {};
    m_previousRow.reset();
}

void CCrosstabGrid::AddRow(const std::string& rowText, const std::string& columnText, const CSspValue* value,
                           int position)
{
    Tally row{1, 0.0, 0};
    if (m_aggregate != CrosstabAggregate::Count && value != nullptr && !value->IsNull()) {
        if (!ValueNumber(*value, row.sum))
            throw CSspException("The crosstab's value is not a number: " + value->ToString(), position);
        row.values = 1;
        m_integral = m_integral && row.sum == std::trunc(row.sum);
    }
    m_grandTotal.Add(row);
    if (m_presets)
        FoldPresets(rowText, columnText, row);
    else
        FoldData(rowText, columnText, row);
}

void CCrosstabGrid::FoldData(const std::string& rowText, const std::string& columnText, const Tally& row)
{
    if (m_previousRow != rowText) {
        ++m_rowCount;
        m_previousRow = rowText;
    }
    // The result is sorted by row and column, so equal pairs arrive together.
    if (!m_cells.empty() && m_cells.back().row == rowText && m_cells.back().column == columnText)
        m_cells.back().tally.Add(row);
    else
        m_cells.push_back({rowText, columnText, row});
    // Headers after "Crosstab" stay sorted without regard to case.
    auto header = m_headers.begin() + 1;
    for (; header != m_headers.end(); ++header) {
        if (EqualsNoCase(header->text, columnText)) {
            header->total.Add(row);
            return;
        }
        if (SortsAfterNoCase(header->text, columnText))
            break;
    }
    m_headers.insert(header, {columnText, row});
}

void CCrosstabGrid::FoldPresets(const std::string& rowText, const std::string& columnText, const Tally& row)
{
    auto cell = std::find_if(m_cells.begin(), m_cells.end(), [&](const CellRecord& c) {
        return EqualsNoCase(c.row, rowText) && EqualsNoCase(c.column, columnText);
    });
    if (cell != m_cells.end())
        cell->tally.Add(row);
    auto header = std::find_if(m_headers.begin() + 1, m_headers.end(),
                               [&](const Header& h) { return EqualsNoCase(h.text, columnText); });
    if (header != m_headers.end())
        header->total.Add(row);
}

void CCrosstabGrid::EndFold()
{
    m_headers.push_back({"Total", m_grandTotal});
    m_cells.push_back({"Total", "Total", {}});
    m_cursor = -2;
}

void CCrosstabGrid::Show(const Tally& tally, CSspValue& result) const
{
    switch (m_aggregate) {
    case CrosstabAggregate::Count: result.SetInteger(tally.count); return;
    case CrosstabAggregate::Sum:
        // A sum of integers is a whole number as long as the double holds it exactly (2^53).
        if (m_integral && std::fabs(tally.sum) <= 9007199254740992.0)
            result.SetInteger(static_cast<std::int64_t>(tally.sum));
        else
            result.SetDouble(tally.sum);
        return;
    case CrosstabAggregate::Avg:
        // The average of no value is none, as SQL's AVG gives NULL.
        if (tally.values == 0)
            result.SetDouble(CSspValue::kDoubleNull);
        else
            result.SetDouble(tally.sum / tally.values);
        return;
    }
}

int CCrosstabGrid::Fetch(int position)
{
    if (m_cursor == -2 || m_cursor == -1) {
        ++m_cursor;
        return 1;
    }
    if (m_cursor < 0)
        RaiseCatalogText(kInternalError, position);
    if (static_cast<size_t>(m_cursor) >= m_cells.size())
        return 0;
    const std::string& key = m_cells[static_cast<size_t>(m_cursor)].row;
    size_t next = static_cast<size_t>(m_cursor);
    while (next < m_cells.size() && m_cells[next].row == key)
        ++next;
    m_cursor = static_cast<int>(next);
    return next < m_cells.size() ? 1 : 0;
}

CCrosstabGrid::Tally CCrosstabGrid::RowTally(size_t firstCell) const
{
    Tally total;
    for (size_t i = firstCell; i < m_cells.size() && m_cells[i].row == m_cells[firstCell].row; ++i)
        total.Add(m_cells[i].tally);
    return total;
}

CCrosstabGrid::Tally CCrosstabGrid::CellTally(size_t firstCell, const std::string& header) const
{
    for (size_t i = firstCell; i < m_cells.size() && m_cells[i].row == m_cells[firstCell].row; ++i)
        if (m_cells[i].column == header)
            return m_cells[i].tally;
    return {};
}

void CCrosstabGrid::Cell(std::string_view member, CSspValue& result, int position) const
{
    const int index = ParseInt32(member);
    const bool inHeaders = index >= 0 && static_cast<size_t>(index) < m_headers.size();
    if (m_cursor == -1) {
        result.SetString(inHeaders ? m_headers[static_cast<size_t>(index)].text : "column out of bound");
        return;
    }
    if (m_cursor < 0)
        RaiseCatalogText(kInternalError, position);
    const size_t cell = static_cast<size_t>(m_cursor);
    if (cell >= m_cells.size()) {
        result.SetString("row out of bound");
        return;
    }
    if (!inHeaders) {
        result.SetString("column out of bound");
        return;
    }
    const size_t column = static_cast<size_t>(index);
    if (cell + 1 == m_cells.size()) {  // the "Total" row closes the grid
        if (column == 0)
            result.SetString("Total");
        else
            Show(m_headers[column].total, result);
    } else if (column == 0) {
        result.SetString(m_cells[cell].row);
    } else if (column + 1 == m_headers.size()) {
        Show(RowTally(cell), result);
    } else {
        Show(CellTally(cell, m_headers[column].text), result);
    }
}

void CCrosstabGrid::ColumnTotal(int index, CSspValue& result) const
{
    if (index < 0 || static_cast<size_t>(index) >= m_headers.size())
        result.SetString("column out of bound");
    else if (index == 0)
        result.SetString("Total");
    else
        Show(m_headers[static_cast<size_t>(index)].total, result);
}
