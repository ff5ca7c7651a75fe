// Returning the heap's free memory to the system. The C library's allocator keeps memory that a
// thread freed for later allocations, in pieces scattered over its arenas; after a run that built
// up and then dropped hundreds of megabytes, the process would keep that memory for good.
#pragma once

// Gives every whole free page of every arena back to the system. It takes each arena's lock in
// turn, so callers use it after an unusually large run, not after every one.
void ReleaseFreeHeapMemory();

// Fixes the allocator's thresholds for a long-running process, at its start: blocks of 4 MB and
// more get pages of their own, which go back to the system when freed, and an arena gives back
// free memory at its end beyond 8 MB. Left to itself, the allocator raises both thresholds after
// the first large blocks are freed, and a thread's arena then keeps up to 64 MB at its end, which
// ReleaseFreeHeapMemory does not reach.
void LimitHeapRetention();
