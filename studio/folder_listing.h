// One folder's entries as the Files tree shows them: its subfolders and the files whose extension
// is in the filter, each list sorted without regard to case (names in their own spelling).
#pragma once

#include <string>
#include <vector>

struct CFolderListing
{
    bool found = false;  // false: the folder could not be read
    std::vector<std::string> folders;
    std::vector<std::string> files;
};

CFolderListing ListFolder(const std::string& folder, const std::vector<std::string>& extensions);
