// The installation folder and the few file-system calls that every program needs before anything
// else works: the settings store, the log and the servers build their paths on GetProgramDirectory,
// and report failed system calls with GetSystemErrorText.
#pragma once

#include <string>
#include <string_view>

// The installation folder without a trailing slash: the parent of the folder that holds the
// running executable (the programs live in <install>/bin). TW_INSTALL_DIR, when set and not
// empty, names it instead; SetProgramDirectory overrides both for the rest of the process.
std::string GetProgramDirectory();

// For a program that keeps its site somewhere else (the studio's root path). Call it at start-up.
void SetProgramDirectory(std::string path);

bool DirectoryExists(const std::string& path);
// True when `path` names a regular file (through symbolic links).
bool FileExists(const std::string& path);

// True when the directory exists afterwards; parent folders are not created.
[[nodiscard]] bool CreateDirectoryIfMissing(const std::string& path);

// Removes the regular files of `folder` whose names are `prefix` followed by the six letters and
// digits that mkstemp puts in place of "XXXXXX": temporary files of a process killed before it
// renamed or removed them. Six lower-case letters read as a word ("backup") that a person chose,
// so such a name is left alone. Returns the number of files removed.
int RemoveTemporaryLeftovers(const std::string& folder, std::string_view prefix);

// "Error [<code>]: <system text>" for an errno value; "Unknown error" stands in for the
// text of a code the system does not know.
std::string GetSystemErrorText(int code);
