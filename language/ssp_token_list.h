// A collected expression: the flat list of tokens that the interpreter gathers from the source for
// one expression, argument list or condition, and then reduces operator by operator into one value.
// There is no syntax tree: the order of reduction follows from each entry's kind and its parenthesis
// depth. A list is compiled (CSspListCode) into the steps its reduction comes to.
//
// The collectors read tokens from a source file between a cursor and an end; positions are byte
// offsets from the file's first byte, and every error they raise is a CSspException at such an offset.
#pragma once

#include "foundation/ssp_value.h"

#include <deque>
#include <string>
#include <string_view>
#include <vector>

class CSourceFile;

enum : int
{
    kOperandToken = 0,   // anything not listed below
    kCallToken = 1,      // an operand followed by a parenthesised argument list
    kAddToken = 2,       // "+", "-", "||"
    kMultiplyToken = 3,  // "*", "/", "%"
    kCompareToken = 4,   // "<", "<=", ">", ">=", "=", "==", "!=", "<>"
    kLogicToken = 5,     // "and", "or" (any case)
    kComputedToken = 6,  // an operator whose result has been stored (evaluation only)
    kConsumedToken = 7,  // an operand folded into a computed entry (evaluation only)
};

// How an operand's value is made; it follows from the operand's text alone.
enum class CSspOperandForm : unsigned char
{
    kMember,     // object.member or a bare name: goes to the member dispatch
    kString,     // a quoted literal
    kDate,       // {d ...}
    kTimestamp,  // {ts ...}
    kNull,       // null
    kNumber,     // digits, "," and "." only
};

struct CSspListEntry
{
    std::string_view text;  // a call's text is its name and its argument tokens without blanks
    int start = 0;          // offset of the first byte
    int end = 0;            // cursor after the entry (for a call, after its ")")
    int kind = kOperandToken;
    int depth = 0;  // plain parentheses open around the entry
    // Operands and calls only, worked out when the list is complete:
    CSspOperandForm form = CSspOperandForm::kMember;
    std::string_view name;  // the token at start: the whole name of a member operand
    int dot = -1;           // offset of the first "." in name; -1 when it has none
    int literal = -1;       // index of a literal's value (Literal)
};

class CSspTokenList
{
public:
    size_t Size() const { return m_entries.size(); }
    bool Empty() const { return m_entries.empty(); }
    const CSspListEntry& operator[](size_t index) const { return m_entries[index]; }
    // The value of a literal operand, made once from its text.
    const CSspValue& Literal(int index) const { return m_literals[static_cast<size_t>(index)]; }
    // The file the list was collected from; a call's argument list is read from it again.
    CSourceFile& Source() const { return *m_source; }

    // Building (collectors only).
    void Add(std::string_view text, int start, int end, int depth);
    CSspListEntry& Last() { return m_entries.back(); }
    // Stores a text that is no slice of the source (a completed date literal, a call's text).
    std::string_view Keep(std::string text);
    // Works out the forms and literal values of the operands; called once the list is complete.
    void Finish(CSourceFile& source);

private:
    std::vector<CSspListEntry> m_entries;
    std::deque<std::string> m_texts;  // a deque: views into earlier texts stay valid as it grows
    std::vector<CSspValue> m_literals;
    CSourceFile* m_source = nullptr;
};

// The kind a token's text gives it when it is added to a list.
int TokenKindOf(std::string_view text);
// "if", "elseif", "else", "endif", "while" and "endwhile" in any case: they end every expression.
bool IsControlKeyword(std::string_view text);

enum class CSspCollector : unsigned char
{
    kArguments,     // "(" ... ")": calls, conditions, declarations
    kExpression,    // up to ";" (consumed) or "}--" (given back): statements
    kSqlListItem,   // up to ",", "where" or ";" (given back)
    kSqlCondition,  // up to ")" below the start, "and"/"or" at depth 0, ";" or "order" (given back)
    kSqlValue,      // one value of an sql statement, whose end the sql object found: up to the end given
};
inline constexpr size_t kCollectorCount = 5;

// Gathers one list from the cursor (which ends after the list or before the stop token it gives
// back) into an empty list, and finishes it.
void CollectTokens(CSspCollector collector, CSourceFile& file, int& cursor, int end, CSspTokenList& list);
