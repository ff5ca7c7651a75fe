#include "platform/heap_memory.h"

#include <malloc.h>

void ReleaseFreeHeapMemory()
{
    malloc_trim(0);
}

void LimitHeapRetention()
{
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
}
