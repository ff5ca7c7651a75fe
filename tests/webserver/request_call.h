// Calls a member of the script object `Request` the way the interpreter does.
#pragma once

#include "foundation/ssp_call.h"
#include "foundation/ssp_value.h"
#include "webserver/ssp_request.h"

#include <string>
#include <vector>

inline constexpr int kCallPosition = 42;

inline CSspValue InvokeRequest(CSspRequest& request, const std::string& member,
                               const std::vector<std::string>& arguments = {})
{
    CSspCall call;
    call.m_object = "Request";
    call.m_member = member;
    call.m_position = kCallPosition;
    call.m_hasParentheses = !arguments.empty();
    for (const std::string& argument : arguments) {
        call.m_args.emplace_back();
        call.m_args.back().SetString(argument);
    }
    CSspValue value;
    request.InvokeMethod(call, value);
    return value;
}
