// A private folder of script files for one test, removed afterwards.
#pragma once

#include "tests/support/temp_folder.h"

#include <fstream>
#include <string>
#include <string_view>

class ScriptFolder : public TempFolder
{
public:
    ScriptFolder() : TempFolder("tw-lang") {}

    // Writes (or rewrites) a file below the folder and returns its full path.
    std::string Write(std::string_view name, std::string_view content) const
    {
        std::string path = Path() + "/" + std::string(name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return path;
    }
};
