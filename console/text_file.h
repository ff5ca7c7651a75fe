// Whole text files for the console's own writes (ODBC ini files, the service's unit file): read at
// once, and replaced through a temporary name, so the driver manager or the service manager never
// reads half a file.
#pragma once

#include <string>
#include <sys/types.h>

// False (errno kept) when the file can't be read.
[[nodiscard]] bool ReadTextFile(const std::string& path, std::string& text);
// Writes `text` to "<path>.tmp", syncs it and renames it over `path`. With `mustBeNew`, an existing
// file fails with EEXIST. False with errno on failure; no temporary file is left.
[[nodiscard]] bool ReplaceTextFile(const std::string& path, const std::string& text, mode_t mode,
                                   bool mustBeNew = false);
