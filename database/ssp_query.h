// CSspQuery: the script object behind an `sql` declaration. Its statement is either raw SQL text
// (computed once by an expression) or script-level SQL whose embedded script expressions become
// SQL literals of the compared or assigned column's type each time it executes; a statement that
// begins with CROSSTAB builds a grid of counts instead of a result set. Rows come through a
// CDynBindSet on the object's own data source (UseDataSource) or on the run's data source.
//
// The interpreter keeps one per declaration among its declared objects and reaches it through:
//   auto query = std::make_unique<CSspQuery>(host);  // host: the declaring engine (CSspQueryHost)
//   query->Init(declaration, raw);   // again, after a "close" call, when the declaration runs again
//   query->CallMember(call, result); // name.member(args), as for every CSspScriptObject
// The declaration record carries the object's name (m_object), the statement text (m_member), the
// position just after "=" (m_position) and the end of the statement (m_endPosition).
//
// Members throw CSspException; a driver failure comes out as one whose text names the statement,
// the object and the data source.
#pragma once

#include "database/crosstab_grid.h"
#include "database/dyn_bind_set.h"
#include "database/ssp_query_host.h"
#include "foundation/ssp_script_object.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CDataSource;
class CDbException;
class CSspCall;
class CSspValue;

class CSspQuery : public CSspScriptObject
{
public:
    explicit CSspQuery(CSspQueryHost& host);
    ~CSspQuery() override;
    CSspQuery(const CSspQuery&) = delete;
    CSspQuery& operator=(const CSspQuery&) = delete;

    // Starts afresh from a declaration; an empty statement throws "Sql statement empty.".
    void Init(const CSspCall& declaration, bool raw);

    // Methods execute, fetch, movefirst, close, ColumnCount, RowCount, UseDataSource,
    // PreventSqlInjection, SetQueryTimeout, Column, colTotal, addXHeader, addYHeader (without regard
    // to case); any other member name reads a column (or a crosstab cell) by name or index.
    void CallMember(CSspCall& call, CSspValue& result) override;
    // A column of the open result read by name or index; the hint keeps its index for the result's
    // columns as they are.
    const CSspValue* HeldMemberValue(std::string_view member, std::uint64_t& hint) override;

    const std::string& Name() const { return m_name; }
    int DeclarationPosition() const { return m_position; }

private:
    using Range = std::pair<int, int>;  // [start, end) of one script expression's tokens

    void Dispatch(CSspCall& call, CSspValue& result);
    // Dispatch, once more on a new connection when a kept one turned out broken (see
    // CDataSource::MarkKept).
    void DispatchOnLiveConnection(CSspCall& call, CSspValue& result);
    std::string DbErrorText(const CDbException& error);
    [[noreturn]] void ThrowInjection() const;
    bool IsGuarded(const std::string& text) const;

    // A statement that gives rows (SELECT or CROSSTAB); any other runs only when execute is called.
    bool IsQuery() const;
    void Execute();
    int Fetch();
    int MoveFirst();
    void Close();
    void CloseResult();
    int ColumnCount();
    void UseDataSource(const CSspCall& call);
    CDataSource* DataSource();
    void OpenResult(const std::string& sql);
    // A column of the result, or the cell of a crosstab, named by the member.
    void ReadMember(std::string_view member, CSspValue& result);
    void ReadColumn(std::string_view member, CSspValue& result);
    // The index of the column named or numbered by member, for the result's column values; it
    // may name no column.
    int ColumnNumber(std::string_view member) const;

    // Crosstab.
    void BuildGrid();
    int FetchCrosstab();
    void ReadCell(std::string_view member, CSspValue& result);

    // Statement translation (sql_translation.cpp).
    CSspSqlToken NextToken(int& cursor);
    int SkipExpression(int& cursor, bool listItem);
    std::vector<Range> ReadValueList(int& cursor);
    CSspValue Evaluate(const Range& range);
    void TranslateSelect();
    void TranslateInsert();
    void TranslateUpdate();
    void TranslateDelete();
    std::string TranslateWhere(int& cursor, const std::vector<std::string>& tables);
    void TranslateCondition(int cursor, CDynBindSet& set);
    // Runs an action of a result set; a driver failure reports the SQL that the set sent.
    template <typename Action>
    void ReportSetSql(CDynBindSet& set, Action action);

    CSspQueryHost& m_host;
    int m_position = 0;
    int m_endPosition = 0;
    std::string m_name;
    std::unique_ptr<CDataSource> m_ownDataSource;
    CDynBindSet m_set;
    std::string m_statement;
    bool m_raw = false;
    bool m_movedFirst = false;
    bool m_fetchedOnAccess = false;
    bool m_preventInjection = true;
    bool m_crosstab = false;
    CCrosstabGrid m_grid;
    std::string m_reportedSql;       // the statement as errors show it (rewritten SELECTs)
    std::string m_sentSql;           // a statement that is no query as execute last sent it
    CDataSource* m_inUse = nullptr;  // the data source of the member call in progress
};
