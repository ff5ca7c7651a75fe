// Whether the tests run in CI (CI=true), where a test service that did not start (PostgreSQL,
// slapd) is a failure instead of a reason to skip.
#pragma once

#include <cstdlib>
#include <string_view>

inline bool InCi()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}
