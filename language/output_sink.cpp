#include "language/output_sink.h"

#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"

void CSspOutputSink::CallMember(CSspCall& call, CSspValue&)
{
    throw CSspException(CMessageCatalog::Text(73) + call.m_member, call.m_position);
}
