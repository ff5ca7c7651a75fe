// Lists of file extensions as people type them (".twp; .tws", "*.twp;*.tws", "twp tws") and the
// test of a file name against such a list. The Files tree filter and Find in Files use them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Every run of letters and digits in the text, in order, each with "." in front (".twp").
std::vector<std::string> ParseExtensionList(std::string_view text);

// True when the file name's extension (from its last '.', with the dot) equals one of the entries
// without regard to case: "TWP" typed in a list finds "page.twp". A name without '.' never matches.
bool MatchesExtension(const std::vector<std::string>& extensions, std::string_view fileName);

// The entries, each followed by "; " (the form the studio keeps in its profile).
std::string FormatExtensionList(const std::vector<std::string>& extensions);
