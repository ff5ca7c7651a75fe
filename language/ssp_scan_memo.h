// What scanning found in one source file, remembered by the offset it was read from. Pages are never
// parsed into a tree: the interpreter tokenises code as its cursor passes, so a loop body or a
// function called many times would be tokenised and collected again on every pass. The memo keeps
// each token, each stretch of template text and each collected expression keyed by (collector,
// cursor, end of the run's text), so a second pass gets the very same tokens, texts, lists and
// cursors as the first one: behaviour, error positions and debugger offsets are those of a fresh
// scan. Scans that fail are not kept; they fail again in full.
//
// The memo belongs to its CSourceFile and lives as long as the file's bytes: for one top-level
// run, and for the later runs of the same thread while the file is kept for them with the same
// bytes (CKeptSourceFiles). It is used only by the thread that runs the engines of those runs.
#pragma once

#include "language/ssp_flat_table.h"
#include "language/ssp_lexer.h"
#include "language/ssp_token_list.h"

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class CSourceFile;

class CSspScanMemo
{
public:
    CSspScanMemo();
    ~CSspScanMemo();
    CSspScanMemo(const CSspScanMemo&) = delete;
    CSspScanMemo& operator=(const CSspScanMemo&) = delete;

    struct Token
    {
        CSspToken token;
        int next;  // the cursor after the token
    };
    struct List
    {
        std::unique_ptr<CSspTokenList> list;
        int next;  // the cursor after the list
    };
    // A stretch of template text up to the next code block (ReadText without line stops).
    struct Text
    {
        int length;  // of the text
        int next;    // the cursor after the code opener, or the end
        int mode;    // the code mode that follows
    };

    // True the first time a token is read from the cursor. Code that runs once is not worth
    // remembering: only a second reading of a token is kept, so a page without loops pays one bit
    // per place for the memo. Lists are kept at once: collecting one costs far more than keeping it.
    bool FirstTokenAt(int cursor) { return MarkSeen(m_seenTokens, cursor); }

    const Token* FindToken(int cursor, int end) const;
    void KeepToken(int cursor, int end, const CSspToken& token, int next);
    // Texts follow the rule of tokens: only the second reading of a stretch is kept.
    bool FirstTextAt(int cursor) { return MarkSeen(m_seenTexts, cursor); }
    const Text* FindText(int cursor, int end) const { return m_texts.Find(Key(cursor, end)); }
    void KeepText(int cursor, int end, const Text& text) { *m_texts.Insert(Key(cursor, end)).first = text; }
    const List* FindList(CSspCollector collector, int cursor, int end) const;
    const List& KeepList(CSspCollector collector, int cursor, int end, std::unique_ptr<CSspTokenList> list, int next);
    void Clear();
    // Tokens and lists held.
    size_t Size() const;

private:
    // Offsets and ends are below 2^31, so one 64-bit key holds both; lists have a table per collector.
    static std::uint64_t Key(int cursor, int end)
    {
        return (std::uint64_t(static_cast<std::uint32_t>(cursor)) << 31) | static_cast<std::uint32_t>(end);
    }

    static bool MarkSeen(std::vector<std::uint64_t>& seen, int cursor);

    std::vector<std::uint64_t> m_seenTokens;  // one bit per offset
    CSspFlatTable<Token> m_tokens;
    std::vector<std::uint64_t> m_seenTexts;
    CSspFlatTable<Text> m_texts;
    std::array<CSspFlatTable<List>, kCollectorCount> m_lists;
};

// NextToken through the file's memo.
CSspToken NextMemoToken(CSourceFile& file, int& cursor, int end);

// ReadText (without line stops) through the file's memo.
int ReadMemoText(CSourceFile& file, int& cursor, int end, std::string_view& text);

// CollectTokens through the file's memo: the list gathered from the same place before is returned
// again, and the cursor moves as it did then.
const CSspTokenList& CollectMemo(CSspCollector collector, CSourceFile& file, int& cursor, int end);
