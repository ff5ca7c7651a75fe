#include "mail/mail_address.h"

namespace {

constexpr std::string_view kAddressSeparators = ",; \"\r\n\t";

}  // namespace

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

std::string FirstMailAddress(std::string_view list)
{
    std::vector<std::string> addresses = SplitMailAddresses(list);
    return addresses.empty() ? std::string() : addresses.front();
}

std::string JoinMailAddresses(const std::vector<std::string>& addresses)
{
    std::string joined;
    for (const std::string& address : addresses) {
        if (!joined.empty())
            joined += ", ";
        joined += address;
    }
    return joined;
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
