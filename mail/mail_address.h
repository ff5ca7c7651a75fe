// Address lists and header values as the mail code handles them. A list of addresses is split at
// runs of comma, semicolon, blank, double quote, CR, LF and tab, so "a@x, b@y" and
// "\"a@x\";b@y" both give two addresses. Header values come from scripts; CR and LF in them would
// start header lines of the script's choosing, so they are turned into blanks before a value is
// written into a header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The addresses of a list, empty pieces skipped.
std::vector<std::string> SplitMailAddresses(std::string_view list);

// The first address of a list, or "" when it holds none.
std::string FirstMailAddress(std::string_view list);

// The addresses joined with ", ".
std::string JoinMailAddresses(const std::vector<std::string>& addresses);

// The value with every CR and LF replaced by a blank.
std::string OneHeaderLine(std::string_view value);
