#include "studio/folder_listing.h"

#include <sys/stat.h>

#include <algorithm>

#include "foundation/ascii_text.h"
#include "platform/directory_listing.h"
#include "studio/extension_list.h"

CFolderListing ListFolder(const std::string& folder, const std::vector<std::string>& extensions)
{
    CFolderListing listing;
    CDirectoryListing directory(folder);
    if (!directory.IsOpen())
        return listing;
    listing.found = true;
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    while (const char* entry = directory.NextName()) {
        const std::string name = entry;
        if (name == "." || name == "..")
            continue;
        struct stat status
        {};
        if (stat((prefix + name).c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            listing.folders.push_back(name);
        else if (MatchesExtension(extensions, name))
            listing.files.push_back(name);
    }
    // Stable, so that names equal but for case keep the order in which the folder gave them.
    const auto byName = [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; };
    std::stable_sort(listing.folders.begin(), listing.folders.end(), byName);
    std::stable_sort(listing.files.begin(), listing.files.end(), byName);
    return listing;
}
