#include "foundation/ssp_call.h"

#include "foundation/message_catalog.h"
#include "foundation/number_parse.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"

#include <algorithm>
#include <climits>

const CSspValue& CSspCall::GetParam(int index) const
{
    if (index < 0 || index >= ParamCount())
        RaiseCatalogText(kMsgParameterOutOfBound, kNoPosition);
    return m_args[static_cast<size_t>(index)];
}

std::string CSspCall::GetParamStr(int index) const
{
    return GetParam(index).ToString();
}

int CSspCall::ToInt32(const CSspValue& value)
{
    // An index or a count is mostly an integer already: its text would only be parsed back.
    if (value.IsInteger() && !value.IsNull())
        return static_cast<int>(std::clamp<std::int64_t>(value.m_integer, INT_MIN, INT_MAX));
    return ParseInt32(value.ToString());
}
