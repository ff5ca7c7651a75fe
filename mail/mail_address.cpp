#include "mail/mail_address.h"

#include "foundation/ascii_text.h"

#include <algorithm>

namespace {

constexpr std::string_view kAddressSeparators = ",; \"\r\n\t";

// The entries of a list: split at ',' and ';' that stand outside quotes and angle brackets.
std::vector<std::string_view> SplitEntries(std::string_view list)
{
    std::vector<std::string_view> entries;
    bool quoted = false;
    bool bracketed = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const char c = list[i];
        if (c == '\\' && quoted)
            ++i;
        else if (c == '"' && !bracketed)
            quoted = !quoted;
        else if (c == '<' && !quoted)
            bracketed = true;
        else if (c == '>' && !quoted)
            bracketed = false;
        else if ((c == ',' || c == ';') && !quoted && !bracketed) {
            entries.push_back(list.substr(start, i - start));
            start = i + 1;
        }
    }
    entries.push_back(list.substr(std::min(start, list.size())));
    return entries;
}

// A display name as it is meant: without the quotes around it and the backslashes of its escapes.
std::string Unquote(std::string_view name)
{
    name = TrimWhiteAscii(name);
    if (name.size() < 2 || name.front() != '"' || name.back() != '"')
        return std::string(name);
    std::string plain;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        if (name[i] == '\\' && i + 2 < name.size())
            ++i;
        plain += name[i];
    }
    return plain;
}

// An entry "name <address>": the position of its '<' outside quotes, when a '>' follows it.
std::size_t FindAngleAddress(std::string_view entry)
{
    bool quoted = false;
    for (std::size_t i = 0; i < entry.size(); ++i) {
        if (entry[i] == '\\' && quoted)
            ++i;
        else if (entry[i] == '"')
            quoted = !quoted;
        else if (entry[i] == '<' && !quoted)
            return entry.find('>', i) == std::string_view::npos ? std::string_view::npos : i;
    }
    return std::string_view::npos;
}

}  // namespace

std::vector<CMailbox> SplitMailboxes(std::string_view list)
{
    std::vector<CMailbox> mailboxes;
    for (std::string_view entry : SplitEntries(list)) {
        const std::size_t open = FindAngleAddress(entry);
        if (open == std::string_view::npos) {
            for (std::string& address : SplitMailAddresses(entry))
                mailboxes.push_back({{}, std::move(address)});
            continue;
        }
        const std::size_t close = entry.find('>', open);
        const std::string_view address = TrimWhiteAscii(entry.substr(open + 1, close - open - 1));
        if (!address.empty())
            mailboxes.push_back({Unquote(entry.substr(0, open)), std::string(address)});
    }
    return mailboxes;
}

std::vector<std::string> SplitMailAddresses(std::string_view list)
{
    std::vector<std::string> addresses;
    size_t start = list.find_first_not_of(kAddressSeparators);
    while (start != std::string_view::npos) {
        size_t end = list.find_first_of(kAddressSeparators, start);
        addresses.emplace_back(list.substr(start, end == std::string_view::npos ? end : end - start));
        start = end == std::string_view::npos ? end : list.find_first_not_of(kAddressSeparators, end);
    }
    return addresses;
}

std::string OneHeaderLine(std::string_view value)
{
    std::string line(value);
    for (char& c : line) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return line;
}
