// Returning the heap's free memory to the system. The C library's allocator keeps memory that a
// thread freed for later allocations, in pieces scattered over its arenas; after a run that built
// up and then dropped hundreds of megabytes, the process would keep that memory for good.
#pragma once

// Gives every whole free page of every arena back to the system. It takes each arena's lock in
// turn, so callers use it after an unusually large run, not after every one.
void ReleaseFreeHeapMemory();
