#include "platform/heap_memory.h"

#include <malloc.h>

void ReleaseFreeHeapMemory()
{
    malloc_trim(0);
}
