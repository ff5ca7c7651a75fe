// Free functions: calls written without an object, such as upper(s) or ToInteger(s). Each is
// another name for a member of String or To.
#include "language/ssp_library.h"

#include "foundation/ascii_text.h"
#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"

namespace {

constexpr int kMsgUnknownGlobalFunction = 118;  // "Unknown global function: "

struct CGlobalFunction
{
    std::string_view name;
    bool conversion;  // a member of To, else of String
    std::string_view member;
};

constexpr CGlobalFunction kGlobalFunctions[] = {
    {"cgi", true, "cgi"},
    {"html", true, "html"},
    {"html2", true, "html2"},
    {"upper", true, "upper"},
    {"lower", true, "lower"},
    {"trim", false, "trim"},
    {"FindString", false, "FindString"},
    {"substring", false, "substring"},
    {"IsValidDateTime", false, "IsValidDateTime"},
    {"FindOneOf", false, "FindOneOf"},
    {"HasChars", false, "FindOneOf"},
    {"char_length", false, "length"},
    {"ToInteger", true, "Integer"},
    {"ToNumber", true, "Number"},
    {"To2QuoteStr", true, "2QuoteStr"},
    {"ToOdbcDateStr", true, "OdbcDateStr"},
    {"ToOdbcDateTimeStr", true, "OdbcDateTimeStr"},
    {"ToHours", true, "Hours"},
    {"ToMinutes", true, "Minutes"},
    {"TimeSpan", true, "TimeSpan"},
};

}  // namespace

void CallGlobalFunction(const CSspCall& call, CSspValue& result)
{
    for (const CGlobalFunction& function : kGlobalFunctions) {
        if (!EqualsNoCase(function.name, call.m_object))
            continue;
        const CSspLibraryMember* member =
            function.conversion ? FindConversionMember(function.member) : FindStringMember(function.member);
        return CallLibraryMember(*member, call, result);
    }
    throw CSspException(CMessageCatalog::Text(kMsgUnknownGlobalFunction) + call.m_object, call.m_position);
}
