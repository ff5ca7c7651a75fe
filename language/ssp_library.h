// The built-in function library of the script language: the String object (tests and slicing of
// texts), the To object (conversions for output and storage, see ssp_to_library.h) and the free
// functions written without an object, which are other names for members of those two. The member
// dispatch hands calls here; members read their evaluated arguments and write the result.
#pragma once

#include "foundation/ssp_call.h"

#include <cstddef>
#include <span>
#include <string_view>

class CSspValue;

// One stateless member of a library. Calls with fewer than `minArguments` arguments raise
// "Missing parameter." before the handler runs; extra arguments are ignored.
struct CSspLibraryMember
{
    std::string_view name;
    int minArguments;
    void (*handler)(const CSspCall& call, CSspValue& result);
};

// The member of that name in a table, found without regard to case; null when there is none.
const CSspLibraryMember* FindLibraryMember(std::span<const CSspLibraryMember> members, std::string_view name);

// The members of String and the stateless members of To.
const CSspLibraryMember* FindStringMember(std::string_view name);
const CSspLibraryMember* FindConversionMember(std::string_view name);

// The longest text that one library call may make (16 MiB): a page may not push the server into
// swap with one call. Members that size their result from an argument check it before they spend
// the memory; every other result is checked when the call returns.
constexpr std::size_t kMaxCallText = 16 * 1024 * 1024;

// Raises the catalogue's refusal at the call's position when `size` exceeds kMaxCallText.
void CheckCallTextSize(std::size_t size, const CSspCall& call);

// Checks the argument count, runs the member and checks the size of a text result.
void CallLibraryMember(const CSspLibraryMember& member, const CSspCall& call, CSspValue& result);

// String.<call.m_member>; an unknown member raises "Unknown string library "string" function: ".
void CallStringLibrary(const CSspCall& call, CSspValue& result);

// The free function named call.m_object; an unknown name raises "Unknown global function: ".
void CallGlobalFunction(const CSspCall& call, CSspValue& result);
