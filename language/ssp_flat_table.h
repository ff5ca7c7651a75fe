// A map from 64-bit keys to values in one power-of-two array with open addressing, found by a
// multiplicative hash of the key: a lookup is a multiply and, almost always, one probe. The
// interpreter's per-run caches (scanned tokens and lists, variables found by operands) are looked
// up on every pass of a loop, where a node-based hash map that divides per lookup costs more than
// the work it saves. Values move when the table grows; keys must not be all ones.
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
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // no key

    size_t Home(std::uint64_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> m_shift); }
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
