// An HTTP response as the tests read it: the status line, the header lines in order and the body.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct HttpReply
{
    std::string statusLine;
    std::vector<std::string> headers;  // whole lines without CR LF
    std::string body;
    bool complete = false;  // a head ending in an empty line was found

    // Splits a raw response at its first empty line.
    static HttpReply Parse(std::string_view raw)
    {
        HttpReply reply;
        const std::size_t headEnd = raw.find("\r\n\r\n");
        if (headEnd == std::string_view::npos)
            return reply;
        reply.complete = true;
        std::string_view head = raw.substr(0, headEnd);
        reply.body = raw.substr(headEnd + 4);
        for (bool first = true; !head.empty(); first = false) {
            const std::size_t end = head.find("\r\n");
            const std::string_view line = head.substr(0, end);
            if (first)
                reply.statusLine = line;
            else
                reply.headers.emplace_back(line);
            head = end == std::string_view::npos ? std::string_view() : head.substr(end + 2);
        }
        return reply;
    }

    // The value of the first header of that name (exact case), or "<none>".
    std::string Header(std::string_view name) const
    {
        const std::string prefix = std::string(name) + ": ";
        for (const std::string& line : headers) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                return line.substr(prefix.size());
        }
        return "<none>";
    }

    std::vector<std::string> HeadersNamed(std::string_view name) const
    {
        const std::string prefix = std::string(name) + ": ";
        std::vector<std::string> values;
        for (const std::string& line : headers) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                values.push_back(line.substr(prefix.size()));
        }
        return values;
    }
};
