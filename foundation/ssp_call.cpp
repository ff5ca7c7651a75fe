#include "foundation/ssp_call.h"

#include "foundation/message_catalog.h"
#include "foundation/script_error.h"
#include "foundation/ssp_exception.h"

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
