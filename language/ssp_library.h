// The built-in function library of the script language: the String object (tests and slicing of
// texts), the To object (conversions for output and storage, see ssp_to_library.h) and the free
// functions written without an object, which are other names for members of those two. The member
// dispatch hands calls here; members read their evaluated arguments and write the result.
#pragma once

#include "foundation/ssp_call.h"

#include <span>
#include <string_view>

class CSspValue;

// One stateless member of a library. Calls with fewer than `minArguments` arguments raise
// "Missing parameter." before the handler runs; extra arguments are ignored.
struct CSspLibraryMember {
    std::string_view name;
    int minArguments;
    void (*handler)(const CSspCall& call, CSspValue& result);
};

// The member of that name in a table, found without regard to case; null when there is none.
const CSspLibraryMember* FindLibraryMember(std::span<const CSspLibraryMember> members, std::string_view name);

// The members of String and the stateless members of To.
const CSspLibraryMember* FindStringMember(std::string_view name);
const CSspLibraryMember* FindConversionMember(std::string_view name);

// Checks the argument count and runs the member.
void CallLibraryMember(const CSspLibraryMember& member, const CSspCall& call, CSspValue& result);

// String.<call.m_member>; an unknown member raises "Unknown string library "string" function: ".
void CallStringLibrary(const CSspCall& call, CSspValue& result);

// The free function named call.m_object; an unknown name raises "Unknown global function: ".
void CallGlobalFunction(const CSspCall& call, CSspValue& result);
