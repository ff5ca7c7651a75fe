#include "language/ssp_token_list.h"

#include "foundation/ascii_text.h"
#include "foundation/script_error.h"
#include "foundation/ssp_date_time.h"
#include "foundation/ssp_exception.h"
#include "language/ssp_lexer.h"

namespace {

constexpr int kMsgMissingBrace = 97;          // "Missing ending }."
constexpr int kMsgMissingClose = 98;          // "Missing ending )"
constexpr int kMsgMissingOpen = 99;           // "Missing ("
constexpr int kMsgMissingCommaOrWhere = 100;  // "Missing , or WHERE"

bool IsDateOpener(std::string_view text)
{
    return EqualsNoCase(text, "{d") || EqualsNoCase(text, "{ts");
}

bool IsNumberText(std::string_view text)
{
    for (char c : text) {
        if ((c < '0' || c > '9') && c != ',' && c != '.')
            return false;
    }
    return true;
}

// The opener "{d" or "{ts" and the tokens after it up to and including "}", joined without blanks.
void AddDateLiteral(CSourceFile& file, int& cursor, int end, const CSspToken& opener, int depth, CSspTokenList& list)
{
    std::string text(opener.text);
    for (;;) {
        CSspToken token = NextToken(file, cursor, end);
        if (token.text.empty())
            RaiseCatalogText(kMsgMissingBrace, opener.start);
        text += token.text;
        if (token.text == "}")
            break;
    }
    list.Add(list.Keep(std::move(text)), opener.start, cursor, depth);
}

// Turns the last entry into a call: its argument tokens, up to the ")" that matches the "(" just
// read, join its text. The argument list itself is collected again when the call is evaluated.
void GatherCall(CSourceFile& file, int& cursor, int end, int openStart, CSspTokenList& list)
{
    std::string text(list.Last().text);
    text += '(';
    int nesting = 0;
    std::string_view last;
    for (;;) {
        CSspToken token = NextToken(file, cursor, end);
        last = token.text;
        if (last.empty() || last == ";" || last == "}--")
            break;
        text += last;
        if (last == "(") {
            ++nesting;
        } else if (last == ")") {
            if (nesting == 0)
                break;
            --nesting;
        }
    }
    if (last != ")")
        RaiseCatalogText(kMsgMissingClose, openStart + 1);
    std::string_view kept = list.Keep(std::move(text));
    CSspListEntry& entry = list.Last();
    entry.text = kept;
    entry.kind = kCallToken;
    entry.end = cursor;
}

// What a collector does with one token. kAdd: the common rules (literals, parentheses, entries).
enum class Step
{
    kAdd,
    kLower,
    kEnd,
    kGiveBack,
    kFail
};

struct Decision
{
    Step step;
    int slot = 0;  // message of kFail
};

Decision DecideArguments(std::string_view t, int depth)
{
    if (t.empty() || t == ";" || t == "}--" || IsControlKeyword(t))
        return {Step::kFail, kMsgMissingClose};
    if (t == ")")
        return {depth == 0 ? Step::kEnd : Step::kLower};
    return {Step::kAdd};
}

Decision DecideExpression(std::string_view t, int depth)
{
    if (t == ";")
        return {Step::kEnd};
    if (t == "}--")
        return {Step::kGiveBack};
    if (t.empty() || IsControlKeyword(t))
        return {Step::kFail, kMsgMissingSemicolon};
    if (t == ")")
        return depth == 0 ? Decision{Step::kFail, kMsgMissingOpen} : Decision{Step::kLower};
    return {Step::kAdd};
}

Decision DecideSqlListItem(std::string_view t, int depth)
{
    if (t == "," || t == ";" || EqualsNoCase(t, "where"))
        return {Step::kGiveBack};
    if (t.empty() || t == "}--")
        return {Step::kFail, kMsgMissingCommaOrWhere};
    if (t == ")")
        return depth == 0 ? Decision{Step::kFail, kMsgMissingOpen} : Decision{Step::kLower};
    return {Step::kAdd};
}

Decision DecideSqlCondition(std::string_view t, int depth)
{
    if (t == ")")
        return {depth == 0 ? Step::kGiveBack : Step::kLower};
    if (t == ";" || EqualsNoCase(t, "order") || (depth == 0 && (EqualsNoCase(t, "and") || EqualsNoCase(t, "or"))))
        return {Step::kGiveBack};
    if (t.empty() || t == "}--" || IsControlKeyword(t))
        return {Step::kFail, kMsgMissingSemicolon};
    return {Step::kAdd};
}

// The sql object has already found where the value ends (before its ",", "and", ")" ...), so the
// end of the range is the end of the value; what may not stand in a value still fails.
Decision DecideSqlValue(std::string_view t, int depth)
{
    if (t.empty())
        return {Step::kEnd};
    if (t == ";" || t == "}--" || IsControlKeyword(t))
        return {Step::kFail, kMsgMissingSemicolon};
    if (t == ")")
        return depth == 0 ? Decision{Step::kFail, kMsgMissingOpen} : Decision{Step::kLower};
    return {Step::kAdd};
}

Decision Decide(CSspCollector collector, std::string_view t, int depth)
{
    switch (collector) {
    case CSspCollector::kArguments: return DecideArguments(t, depth);
    case CSspCollector::kExpression: return DecideExpression(t, depth);
    case CSspCollector::kSqlListItem: return DecideSqlListItem(t, depth);
    case CSspCollector::kSqlCondition: return DecideSqlCondition(t, depth);
    case CSspCollector::kSqlValue: return DecideSqlValue(t, depth);
    }
    return {Step::kFail, kMsgMissingSemicolon};
}

}  // namespace

int TokenKindOf(std::string_view t)
{
    if (t == "+" || t == "-" || t == "||")
        return kAddToken;
    if (t == "*" || t == "/" || t == "%")
        return kMultiplyToken;
    if (t == "<" || t == "<=" || t == ">" || t == ">=" || t == "=" || t == "==" || t == "!=" || t == "<>")
        return kCompareToken;
    if (EqualsNoCase(t, "and") || EqualsNoCase(t, "or"))
        return kLogicToken;
    return kOperandToken;
}

bool IsControlKeyword(std::string_view t)
{
    if (t.size() < 2 || t.size() > 8)
        return false;
    return EqualsNoCase(t, "if") || EqualsNoCase(t, "elseif") || EqualsNoCase(t, "else") || EqualsNoCase(t, "endif") ||
           EqualsNoCase(t, "while") || EqualsNoCase(t, "endwhile");
}

void CSspTokenList::Add(std::string_view text, int start, int end, int depth)
{
    CSspListEntry entry;
    entry.text = text;
    entry.name = text;
    if (size_t dot = text.find('.'); dot != std::string_view::npos)
        entry.dot = static_cast<int>(dot);
    entry.start = start;
    entry.end = end;
    entry.depth = depth;
    entry.kind = TokenKindOf(text);
    m_entries.push_back(entry);
}

std::string_view CSspTokenList::Keep(std::string text)
{
    return m_texts.emplace_back(std::move(text));
}

void CSspTokenList::Finish(CSourceFile& source)
{
    m_source = &source;
    for (CSspListEntry& entry : m_entries) {
        if (entry.kind != kOperandToken && entry.kind != kCallToken)
            continue;
        std::string_view text = entry.text;
        CSspValue value;
        if (text.front() == '\'') {
            entry.form = CSspOperandForm::kString;
            value.SetString(DecodeString(text));
        } else if (StartsWithNoCase(text, "{d") || StartsWithNoCase(text, "{ts")) {
            bool date = StartsWithNoCase(text, "{d");
            entry.form = date ? CSspOperandForm::kDate : CSspOperandForm::kTimestamp;
            // The date parser reads the opener in lower case only; the language takes any case.
            std::string literal(text);
            literal[1] = ToLowerAscii(literal[1]);
            if (!date)
                literal[2] = ToLowerAscii(literal[2]);
            value.SetTime(CSspDateTime(literal).GetTime(), date ? CSspValue::kDate : CSspValue::kTimestamp);
        } else if (EqualsNoCase(text, "null")) {
            entry.form = CSspOperandForm::kNull;
            value.SetString(std::string());
        } else if (IsNumberText(text)) {
            entry.form = CSspOperandForm::kNumber;
            value.SetNumberText(text);
        } else {
            entry.form = CSspOperandForm::kMember;
            continue;
        }
        entry.literal = static_cast<int>(m_literals.size());
        m_literals.push_back(std::move(value));
    }
}

void CollectTokens(CSspCollector collector, CSourceFile& file, int& cursor, int end, CSspTokenList& list)
{
    int depth = 0;
    int start = -1;  // the first token's offset: where a list that does not close is reported
    if (collector == CSspCollector::kArguments) {
        CSspToken open = NextToken(file, cursor, end);
        start = open.start;
        if (open.text != "(")
            RaiseCatalogText(kMsgMissingOpen, start);
    }
    for (;;) {
        CSspToken token = NextToken(file, cursor, end);
        if (start < 0)
            start = token.start;
        Decision decision = Decide(collector, token.text, depth);
        if (decision.step == Step::kEnd)
            break;
        if (decision.step == Step::kGiveBack) {
            cursor = token.start;
            break;
        }
        if (decision.step == Step::kFail) {
            // A stray ")" is reported where it stands; a list that does not close, where it began,
            // and an open parenthesis before a missing end.
            if (decision.slot == kMsgMissingOpen)
                RaiseCatalogText(kMsgMissingOpen, cursor - 1);
            RaiseCatalogText(depth > 0 ? kMsgMissingClose : decision.slot, start);
        }
        if (decision.step == Step::kLower) {
            --depth;
        } else if (IsDateOpener(token.text)) {
            AddDateLiteral(file, cursor, end, token, depth, list);
        } else if (token.text == "(") {
            // "(" after a name starts its argument list; after a comma (an operand too) it groups.
            if (!list.Empty() && list.Last().kind == kOperandToken && list.Last().text != ",")
                GatherCall(file, cursor, end, token.start, list);
            else
                ++depth;
        } else {
            list.Add(token.text, token.start, cursor, depth);
        }
    }
    if (depth > 0)
        RaiseCatalogText(kMsgMissingClose, start);
    list.Finish(file);
}
