// The crosstab of the script sql object: a statement "CROSSTAB row, column, count(value) FROM ..."
// becomes a SELECT sorted by row and column (TranslateCrosstab), whose result rows are folded into
// an in-memory grid of counts (CCrosstabGrid): an X header row ("Crosstab", the column values in
// order, "Total"), one grid row per row value, and a "Total" row. The script reads it row by row.
//
// The aggregate word decides what a cell and a total hold: "count" the number of result rows,
// "sum" the sum and "avg" the average of the value field over those rows (NULL values left out,
// as SQL's SUM and AVG leave them out).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CSspValue;

enum class CrosstabAggregate
{
    Count,
    Sum,
    Avg
};

// The SELECT for a crosstab statement; a statement that begins with "SELECT " is returned as it
// is (and counts). Throws CSspException at position for an aggregate other than count, sum or avg,
// a sum or avg without a value field, an empty row or column field, or a missing FROM. The
// aggregate, when asked for, is stored into *aggregate.
std::string TranslateCrosstab(const std::string& statement, int position, CrosstabAggregate* aggregate = nullptr);

class CCrosstabGrid
{
public:
    bool IsBuilt() const { return m_cursor != kNotBuilt; }
    // Forgets everything, presets included.
    void Clear();

    // Presets, before the grid is built: fixed column headers, and fixed rows that the fold only
    // counts into. Errors are thrown at position.
    void AddXHeader(const std::string& text, int position);
    void AddYHeader(const std::string& text, int position);

    // Folding the sorted result: BeginFold, AddRow per result row, EndFold. With sum or avg each
    // row brings its value field; a value that is not a number throws CSspException at position,
    // naming it.
    void BeginFold(CrosstabAggregate aggregate = CrosstabAggregate::Count);
    void AddRow(const std::string& rowText, const std::string& columnText, const CSspValue* value = nullptr,
                int position = 0);
    void EndFold();

    // Moves to the next grid row (the header row first): 1 while a row is current, 0 at the end.
    int Fetch(int position);
    // Reads the cell of column index (member text read as a number) of the current row; the grid
    // must be built and fetched at least once.
    void Cell(std::string_view member, CSspValue& result, int position) const;
    void ColumnTotal(int index, CSspValue& result) const;
    // Grid rows with the header and "Total" rows; X headers with "Crosstab" and "Total".
    int RowCount() const { return m_rowCount + 2; }
    int ColumnCount() const { return static_cast<int>(m_headers.size()); }
    // -2 built with the header row next, -1 on the header row, 0 or more the current row's first cell.
    int Cursor() const { return m_cursor; }

private:
    static constexpr int kNotBuilt = -3;

    // What the values of a cell, a row, a column or the whole grid add up to.
    struct Tally
    {
        unsigned count = 0;   // result rows
        double sum = 0.0;     // of the non-NULL values
        unsigned values = 0;  // non-NULL values
        void Add(const Tally& other);
    };
    struct Header
    {
        std::string text;
        Tally total;
    };
    struct CellRecord
    {
        std::string row;
        std::string column;
        Tally tally;
    };

    void FoldData(const std::string& rowText, const std::string& columnText, const Tally& row);
    void FoldPresets(const std::string& rowText, const std::string& columnText, const Tally& row);
    Tally RowTally(size_t firstCell) const;
    Tally CellTally(size_t firstCell, const std::string& header) const;
    // The tally as the aggregate shows it: a count, a sum or an average.
    void Show(const Tally& tally, CSspValue& result) const;

    std::vector<Header> m_headers;
    std::vector<CellRecord> m_cells;  // grouped by row, rows in order
    int m_rowCount = 0;
    int m_cursor = kNotBuilt;
    bool m_presets = false;
    bool m_yHeaders = false;
    Tally m_grandTotal;
    CrosstabAggregate m_aggregate = CrosstabAggregate::Count;
    bool m_integral = true;  // every value was a whole number: a sum shows as an integer
    std::optional<std::string> m_previousRow;
};
