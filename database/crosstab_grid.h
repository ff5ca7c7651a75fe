// The crosstab of the script sql object: a statement "CROSSTAB row, column, count(value) FROM ..."
// becomes a SELECT sorted by row and column (TranslateCrosstab), whose result rows are folded into
// an in-memory grid of counts (CCrosstabGrid): an X header row ("Crosstab", the column values in
// order, "Total"), one grid row per row value, and a "Total" row. The script reads it row by row.
//
// Every aggregate word counts rows: "sum" and "avg" select the value field but the fold never
// reads it, so their cells hold counts as well.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CSspValue;

// The SELECT for a crosstab statement; a statement that begins with "SELECT " is returned as it
// is. Throws CSspException at position for an aggregate other than count, sum or avg, an empty row
// or column field, or a missing FROM.
std::string TranslateCrosstab(const std::string& statement, int position);

class CCrosstabGrid {
public:
    bool IsBuilt() const { return m_cursor != kNotBuilt; }
    // Forgets everything, presets included.
    void Clear();

    // Presets, before the grid is built: fixed column headers, and fixed rows that the fold only
    // counts into. Errors are thrown at position.
    void AddXHeader(const std::string& text, int position);
    void AddYHeader(const std::string& text, int position);

    // Folding the sorted result: BeginFold, AddRow per result row, EndFold.
    void BeginFold();
    void AddRow(const std::string& rowText, const std::string& columnText);
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

    struct Header {
        std::string text;
        unsigned total = 0;
    };
    struct CellRecord {
        std::string row;
        std::string column;
        unsigned count = 0;
    };

    void FoldData(const std::string& rowText, const std::string& columnText);
    void FoldPresets(const std::string& rowText, const std::string& columnText);
    unsigned RowTotal(size_t firstCell) const;
    unsigned CellCount(size_t firstCell, const std::string& header) const;

    std::vector<Header> m_headers;
    std::vector<CellRecord> m_cells;  // grouped by row, rows in order
    int m_rowCount = 0;
    int m_cursor = kNotBuilt;
    bool m_presets = false;
    bool m_yHeaders = false;
    unsigned m_resultRows = 0;
    std::optional<std::string> m_previousRow;
};
