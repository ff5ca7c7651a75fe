// File helpers of the engine that need the log or the tokenizer; the plain file-system calls
// (installation folder, directories, error texts) are in platform/file_system.h.
#pragma once

#include <string>

// Removes a file even when it is read-only. When its attributes cannot be read the failure is
// logged ("<error text> when getting attributes of <path>") and false returned.
[[nodiscard]] bool DeleteFileForced(const std::string& path);

// Resolves the ".." parts of a relative path that a script gave: each one removes the name before
// it together with that name's separator, and a ".." with nothing left before it is dropped, so
// the result never climbs above its starting point. Separators stay as written ("/" or "\",
// doubled ones too) and "." parts are not special: a/b/../c gives a/c, a/../../x gives x.
std::string CanonicalizeRelativePath(const std::string& path);
