// A user function defined with function ... endfunction in a page or script. The records belong to
// the source file that holds the definitions, so every engine of one top-level run that runs the
// file shares them; positions are byte offsets from the file's first byte.
#pragma once

#include <string>
#include <vector>

struct CSspFunction
{
    int key = 0;         // offset of the keyword "function"
    int bodyStart = 0;   // offset of the first token after the parameter list
    int endKeyword = 0;  // offset of "endfunction"; the body runs up to here
    int end = 0;         // just after "endfunction"
    std::string name;    // as written
    std::vector<std::string> parameters;
};
