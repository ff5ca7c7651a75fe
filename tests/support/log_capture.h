// Collects the program log's entries for the life of the object, so a test can check what was
// reported. The log is process-wide: one capture at a time, made by the test that runs.
#pragma once

#include "foundation/log.h"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CLogCapture
{
public:
    CLogCapture()
    {
        TheLog().SetCallbackMode([this](std::string_view entry) {
            std::lock_guard guard(m_lock);
            m_entries.emplace_back(entry);
        });
    }
    ~CLogCapture() { TheLog().SetFileMode(""); }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    bool Contains(std::string_view text) const
    {
        std::lock_guard guard(m_lock);
        for (const auto& entry : m_entries)
            if (entry.find(text) != std::string::npos)
                return true;
        return false;
    }

    // The entries so far, in the order they were logged.
    std::vector<std::string> Entries() const
    {
        std::lock_guard guard(m_lock);
        return m_entries;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_entries;
};
