// Raising the catalogue's texts as script errors, and placing errors that name no place.
#pragma once

#include "foundation/message_catalog.h"
#include "foundation/ssp_exception.h"

// Throws the text of a catalogue slot as a CSspException at a source position.
[[noreturn]] inline void RaiseCatalogText(int slot, int position)
{
    throw CSspException(CMessageCatalog::Text(slot), position);
}

// Runs step; a CSspException from it that names no place in the source text (a database or data
// source failure) is thrown again at position, the call that caused it, so that its report shows
// the script's line like any other error's.
template <class Step>
void RunAtPosition(int position, Step step)
{
    try {
        step();
    } catch (const CSspException& error) {
        if (error.GetPosition() != kNoPosition)
            throw;
        throw CSspException(error.GetMessage(), position);
    }
}
