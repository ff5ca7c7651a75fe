// CSqliteBlockCache: the memory allocator that the SQLite library uses in this process. The SQLite
// ODBC driver copies every value of a result into a block of its own when the statement runs and
// frees them all when the cursor closes: a page of a hundred rows costs some three hundred small
// blocks, and the C library's allocator spends more on them than SQLite spends computing the rows.
// Each thread here keeps the small blocks it freed in lists by size and hands them out again, so
// the next result of the same page reuses them; larger blocks go straight to the C library.
//
// TuneSqliteLibrary installs it (SQLITE_CONFIG_MALLOC) before the library starts; it serves the
// library for the rest of the process.
#pragma once

#include <cstddef>

class CSqliteBlockCache
{
public:
    // The library's table of allocation functions (sqlite3_mem_methods in its interface).
    struct MemMethods
    {
        void* (*xMalloc)(int);
        void (*xFree)(void*);
        void* (*xRealloc)(void*, int);
        int (*xSize)(void*);
        int (*xRoundup)(int);
        int (*xInit)(void*);
        void (*xShutdown)(void*);
        void* pAppData;
    };
    static const MemMethods& Methods();

    // How many bytes of freed blocks one thread keeps at most; a thread that ends gives them back.
    static constexpr size_t kThreadBudget = 128 * 1024;
    // The largest block kept.
    static constexpr size_t kLargestKept = 512;

    static void* Allocate(int size);
    static void Free(void* block);
    static void* Reallocate(void* block, int size);
    static int Size(void* block);
    static int RoundUp(int size);
};
