#include "foundation/message_catalog.h"

const char* CMessageCatalog::Text(int slot) noexcept
{
    if (slot < 0 || slot >= kSlotCount || kTexts[slot] == nullptr)
        return "";
    return kTexts[slot];
}
