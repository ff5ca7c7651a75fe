// Raising the catalogue's texts as script errors.
#pragma once

#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"

// Throws the text of a catalogue slot as a CSspException at a source position.
[[noreturn]] inline void RaiseCatalogText(int slot, int position)
{
    throw CSspException(CMessageCatalog::Text(slot), position);
}
