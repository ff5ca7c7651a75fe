#include "foundation/file_helpers.h"

#include "foundation/log.h"
#include "foundation/ssp_tokenizer.h"
#include "platform/file_system.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool IsSeparatorRun(const std::string& piece)
{
    return !piece.empty() && (piece.front() == '/' || piece.front() == '\\');
}

}  // namespace

bool DeleteFileForced(const std::string& path)
{
    // A file's own write permission does not guard its removal here (its folder's does), so there
    // is no read-only attribute to clear; the look at the attributes still reports a missing file.
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        TheLog().WriteLine("%s when getting attributes of %s", GetSystemErrorText(errno).c_str(), path.c_str());
        return false;
    }
    return unlink(path.c_str()) == 0;
}

std::string CanonicalizeRelativePath(const std::string& path)
{
    CSspTokenizer tokenizer(path.c_str(), "/\\", false);
    // Names and separator runs alternate; a ".." takes back the separator and the name before it.
    std::vector<std::string> kept;
    for (std::string piece = tokenizer.NextPart(); !piece.empty(); piece = tokenizer.NextPart()) {
        if (piece != "..") {
            kept.push_back(std::move(piece));
            continue;
        }
        if (!kept.empty() && IsSeparatorRun(kept.back()))
            kept.pop_back();
        if (!kept.empty() && !IsSeparatorRun(kept.back()))
            kept.pop_back();
        tokenizer.NextPart();  // the separator after ".."
    }
    std::string result;
    for (const std::string& piece : kept)
        result += piece;
    return result;
}
