// printf into a std::string of the right length, for texts that fill a format of the message
// catalogue or a number format. The attribute lets the compiler check every call's arguments
// against its format, as it would for a literal.
#pragma once

#include <string>

__attribute__((format(printf, 1, 2))) std::string FormatText(const char* format, ...);
