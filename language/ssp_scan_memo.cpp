#include "language/ssp_scan_memo.h"

#include "language/source_file.h"

#include <algorithm>

CSspScanMemo::CSspScanMemo() = default;

CSspScanMemo::~CSspScanMemo() = default;

const CSspScanMemo::Token* CSspScanMemo::FindToken(int cursor, int end) const
{
    return m_tokens.Find(Key(cursor, end));
}

void CSspScanMemo::KeepToken(int cursor, int end, const CSspToken& token, int next)
{
    auto [entry, added] = m_tokens.Insert(Key(cursor, end));
    if (added)
        *entry = Token{token, next};
}

const CSspScanMemo::List* CSspScanMemo::FindList(CSspCollector collector, int cursor, int end) const
{
    return m_lists[static_cast<size_t>(collector)].Find(Key(cursor, end));
}

const CSspScanMemo::List& CSspScanMemo::KeepList(CSspCollector collector, int cursor, int end,
                                                 std::unique_ptr<CSspTokenList> list, int next)
{
    auto [entry, added] = m_lists[static_cast<size_t>(collector)].Insert(Key(cursor, end));
    if (added)
        *entry = List{std::move(list), next};
    return *entry;
}

void CSspScanMemo::Clear()
{
    m_seenTokens.clear();
    m_tokens.Clear();
    m_seenTexts.clear();
    m_texts.Clear();
    for (auto& lists : m_lists)
        lists.Clear();
}

size_t CSspScanMemo::Size() const
{
    size_t size = m_tokens.Size() + m_texts.Size();
    for (const auto& lists : m_lists)
        size += lists.Size();
    return size;
}

bool CSspScanMemo::MarkSeen(std::vector<std::uint64_t>& seen, int cursor)
{
    size_t word = static_cast<size_t>(cursor) >> 6;
    if (word >= seen.size())
        seen.resize(std::max(word + 1, seen.size() * 2));
    std::uint64_t bit = std::uint64_t{1} << (cursor & 63);
    bool first = (seen[word] & bit) == 0;
    seen[word] |= bit;
    return first;
}

CSspToken NextMemoToken(CSourceFile& file, int& cursor, int end)
{
    // A token kept before is the common case inside a loop: it is looked for first. Only a place
    // read for the second time is kept.
    CSspScanMemo& memo = file.Memo();
    if (const CSspScanMemo::Token* known = memo.FindToken(cursor, end)) {
        cursor = known->next;
        return known->token;
    }
    if (memo.FirstTokenAt(cursor))
        return NextToken(file, cursor, end);
    int from = cursor;
    CSspToken token = NextToken(file, cursor, end);
    memo.KeepToken(from, end, token, cursor);
    return token;
}

int ReadMemoText(CSourceFile& file, int& cursor, int end, std::string_view& text)
{
    CSspScanMemo& memo = file.Memo();
    if (const CSspScanMemo::Text* known = memo.FindText(cursor, end)) {
        text = file.Text().substr(static_cast<size_t>(cursor), static_cast<size_t>(known->length));
        cursor = known->next;
        return known->mode;
    }
    const int from = cursor;
    const int mode = ReadText(file.Text(), cursor, end, text, false);
    if (!memo.FirstTextAt(from))
        memo.KeepText(from, end, CSspScanMemo::Text{static_cast<int>(text.size()), cursor, mode});
    return mode;
}

const CSspTokenList& CollectMemo(CSspCollector collector, CSourceFile& file, int& cursor, int end)
{
    CSspScanMemo& memo = file.Memo();
    if (const CSspScanMemo::List* known = memo.FindList(collector, cursor, end)) {
        cursor = known->next;
        return *known->list;
    }
    int from = cursor;
    auto list = std::make_unique<CSspTokenList>();
    CollectTokens(collector, file, cursor, end, *list);
    return *memo.KeepList(collector, from, end, std::move(list), cursor).list;
}
