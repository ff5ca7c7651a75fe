// Address lists and header values as the mail code handles them. A list of addresses is split at
// runs of comma, semicolon, blank, double quote, CR, LF and tab, so "a@x, b@y" and
// "\"a@x\";b@y" both give two addresses. Header values come from scripts; CR and LF in them would
// start header lines of the script's choosing, so they are turned into blanks before a value is
// written into a header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One mailbox of a list: the address and the display name before it ("" when there is none).
struct CMailbox
{
    std::string name;
    std::string address;
};

// The mailboxes of a list. Entries are split at ',' and ';' outside double quotes and angle
// brackets; an entry with "<address>" gives that address and the text before it, unquoted, as
// its name ("\"Müller, Jürgen\" <jm@example.org>"); any other entry gives the addresses that
// SplitMailAddresses finds in it, without names.
std::vector<CMailbox> SplitMailboxes(std::string_view list);

// The addresses of a list, empty pieces skipped.
std::vector<std::string> SplitMailAddresses(std::string_view list);

// The value with every CR and LF replaced by a blank.
std::string OneHeaderLine(std::string_view value);
