// What scanning found in one source file, remembered by the offset it was read from. Pages are never
// parsed into a tree: the interpreter tokenises code as its cursor passes, so a loop body or a
// function called many times would be tokenised and collected again on every pass. The memo keeps
// each token and each collected expression keyed by (collector, cursor, end of the run's text), so a
// second pass gets the very same tokens, lists and cursors as the first one: behaviour, error
// positions and debugger offsets are those of a fresh scan. Scans that fail are not kept; they fail
// again in full.
//
// The memo belongs to its CSourceFile and lives as long as the file stays open, i.e. for one
// top-level run; it is used only by the thread that runs the engines of that run.
#pragma once

#include "language/ssp_lexer.h"
#include "language/ssp_token_list.h"

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class CSourceFile;

class CSspScanMemo {
public:
    CSspScanMemo();
    ~CSspScanMemo();
    CSspScanMemo(const CSspScanMemo&) = delete;
    CSspScanMemo& operator=(const CSspScanMemo&) = delete;

    struct Token {
        CSspToken token;
        int next;  // the cursor after the token
    };
    struct List {
        std::unique_ptr<CSspTokenList> list;
        int next;  // the cursor after the list
    };

    // True the first time a token is read from the cursor. Code that runs once is not worth
    // remembering: only a second reading of a token is kept, so a page without loops pays one bit
    // per place for the memo. Lists are kept at once: collecting one costs far more than keeping it.
    bool FirstTokenAt(int cursor) { return MarkSeen(m_seenTokens, cursor); }

    const Token* FindToken(int cursor, int end) const;
    void KeepToken(int cursor, int end, const CSspToken& token, int next);
    const List* FindList(CSspCollector collector, int cursor, int end) const;
    const List& KeepList(CSspCollector collector, int cursor, int end, std::unique_ptr<CSspTokenList> list,
                         int next);
    void Clear();
    // Tokens and lists held.
    size_t Size() const;

private:
    // Offsets and ends are below 2^31, so one 64-bit key holds both; lists have a table per collector.
    static std::uint64_t Key(int cursor, int end)
    {
        return (std::uint64_t(static_cast<std::uint32_t>(cursor)) << 31) | static_cast<std::uint32_t>(end);
    }

    // Open addressing over a power-of-two array, found by a multiplicative hash of the key: a lookup
    // is one multiply and, almost always, one probe, which matters as every token a loop reads
    // again is looked up here.
    template <typename T>
    class Table {
    public:
        const T* Find(std::uint64_t key) const
        {
            if (m_count == 0)
                return nullptr;
            for (size_t i = Home(key);; i = (i + 1) & m_mask) {
                if (m_keys[i] == key)
                    return &m_values[i];
                if (m_keys[i] == kEmpty)
                    return nullptr;
            }
        }
        // The entry of key, made with a default value when it is new (then the flag is true).
        std::pair<T*, bool> Insert(std::uint64_t key)
        {
            if ((m_count + 1) * 4 > m_keys.size() * 3)
                Grow();
            for (size_t i = Home(key);; i = (i + 1) & m_mask) {
                if (m_keys[i] == key)
                    return {&m_values[i], false};
                if (m_keys[i] == kEmpty) {
                    m_keys[i] = key;
                    ++m_count;
                    return {&m_values[i], true};
                }
            }
        }
        size_t Size() const { return m_count; }
        void Clear()
        {
            m_keys.clear();
            m_values.clear();
            m_count = 0;
            m_mask = 0;
            m_shift = 64;
        }

    private:
        static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // no key: both halves are below 2^31

        size_t Home(std::uint64_t key) const
        {
            return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> m_shift);
        }
        void Grow()
        {
            std::vector<std::uint64_t> keys = std::move(m_keys);
            std::vector<T> values = std::move(m_values);
            const size_t capacity = keys.empty() ? 64 : keys.size() * 2;
            m_keys.assign(capacity, kEmpty);
            m_values.clear();
            m_values.resize(capacity);
            m_mask = capacity - 1;
            m_shift = 64 - std::countr_zero(capacity);
            for (size_t from = 0; from < keys.size(); ++from) {
                if (keys[from] == kEmpty)
                    continue;
                size_t i = Home(keys[from]);
                while (m_keys[i] != kEmpty)
                    i = (i + 1) & m_mask;
                m_keys[i] = keys[from];
                m_values[i] = std::move(values[from]);
            }
        }

        std::vector<std::uint64_t> m_keys;
        std::vector<T> m_values;
        size_t m_count = 0;
        size_t m_mask = 0;
        int m_shift = 64;
    };

    static bool MarkSeen(std::vector<std::uint64_t>& seen, int cursor);

    std::vector<std::uint64_t> m_seenTokens;  // one bit per offset
    Table<Token> m_tokens;
    std::array<Table<List>, kCollectorCount> m_lists;
};

// NextToken through the file's memo.
CSspToken NextMemoToken(CSourceFile& file, int& cursor, int end);

// CollectTokens through the file's memo: the list gathered from the same place before is returned
// again, and the cursor moves as it did then.
const CSspTokenList& CollectMemo(CSspCollector collector, CSourceFile& file, int& cursor, int end);
