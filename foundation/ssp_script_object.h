#pragma once
// An object that scripts reach by name and call members on: the request and response of a page run,
// the application state behind App and Server, and the objects a script declares (sql, tokenizer,
// datetime, ...). The interpreter's member dispatch finds the object and hands it the parsed call; the
// object matches the member name by its own rules and writes the result. It lives in the foundation
// so that objects of the database, web server and mail layers take calls without depending on the
// interpreter.

#include "foundation/ssp_call.h"

#include <cstdint>
#include <string_view>

class CSspValue;

class CSspScriptObject
{
public:
    virtual ~CSspScriptObject() = default;

    // Answers call.m_member with the evaluated arguments call.m_args. An unknown member raises the
    // object's own catalogue text followed directly by the member name, and a missing argument
    // "Missing parameter.", both as a CSspException at call.m_position.
    virtual void CallMember(CSspCall& call, CSspValue& result) = 0;
    // A number for `member` that CallMember takes from call.m_boundMember instead of comparing the
    // name, for a caller that calls the member from one place again and again; -1 where the object
    // binds no such number (CallMember then reads the name).
    virtual int BindMember(std::string_view member) const
    {
        (void)member;
        return -1;
    }
    // The value that CallMember would copy into its result for `member` read without arguments,
    // where the object holds it, so that the caller can read it in place; null when the member is
    // made, changes the object or fails: the caller then calls CallMember. The value stays as it is
    // until the object's next member call. `hint` is the caller's, one for each place that reads a
    // member, 0 at first and kept between reads: the object may note in it where it found the
    // member, to find it again without a search while that still holds.
    virtual const CSspValue* HeldMemberValue(std::string_view member, std::uint64_t& hint)
    {
        (void)member;
        (void)hint;
        return nullptr;
    }
};
