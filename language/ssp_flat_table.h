// A map from 64-bit keys to values in one power-of-two array with open addressing, found by a
// multiplicative hash of the key: a lookup is a multiply and, almost always, one probe. The
// interpreter's per-run caches (scanned tokens and lists, variables found by operands) are looked
// up on every pass of a loop, where a node-based hash map that divides per lookup costs more than
// the work it saves. Values move when the table grows; keys must not be all ones. A growth that
// fails to allocate leaves the table unchanged.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

template <typename T>
class CSspFlatTable
{
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
    T* Find(std::uint64_t key) { return const_cast<T*>(std::as_const(*this).Find(key)); }
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
    // Empties the table and gives its arrays back, so that a table grown by one large run does not
    // keep that memory for the next.
    void Clear()
    {
        m_keys = std::vector<std::uint64_t>();
        m_values = std::vector<T>();
        m_count = 0;
        m_mask = 0;
        m_shift = 64;
    }

private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // no key
    static constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

    size_t Home(std::uint64_t key) const { return static_cast<size_t>((key * kMultiplier) >> m_shift); }
    // The new arrays are made before the old ones are touched, so a failed allocation leaves the
    // table as it was; moving the entries over cannot fail.
    void Grow()
    {
        // Small at first: the run of a user function, made for every call, mostly keeps a few.
        const size_t capacity = m_keys.empty() ? 8 : m_keys.size() * 2;
        std::vector<std::uint64_t> keys(capacity, kEmpty);
        std::vector<T> values(capacity);
        const size_t mask = capacity - 1;
        const int shift = 64 - std::countr_zero(capacity);
        for (size_t from = 0; from < m_keys.size(); ++from) {
            if (m_keys[from] == kEmpty)
                continue;
            size_t i = static_cast<size_t>((m_keys[from] * kMultiplier) >> shift);
            while (keys[i] != kEmpty)
                i = (i + 1) & mask;
            keys[i] = m_keys[from];
            values[i] = std::move(m_values[from]);
        }
        m_keys = std::move(keys);
        m_values = std::move(values);
        m_mask = mask;
        m_shift = shift;
    }

    std::vector<std::uint64_t> m_keys;
    std::vector<T> m_values;
    size_t m_count = 0;
    size_t m_mask = 0;
    int m_shift = 64;
};
