// CServerLogMark: where the server's day log ends before the console starts the server, so that
// what the server wrote during a failed start (it logs why it could not listen, load its settings
// and so on) can be shown as its own reason.
#pragma once

#include <ctime>
#include <string>

class CServerLogMark
{
public:
    // Marks the end of the day log below `webRoot` as it is now.
    explicit CServerLogMark(std::string webRoot);

    // The log lines written since the mark (the last kMaxShown bytes of them), without CRs and
    // without the last line end; empty when there are none.
    std::string TextSince() const;

    static constexpr std::size_t kMaxShown = 8192;

private:
    std::string m_webRoot;
    std::string m_dayFile;
    long long m_size = 0;
};
