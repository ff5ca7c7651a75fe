#include "database/sqlite_block_cache.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Every block begins with its usable size; the library's pointer is just after it. Eight bytes
// keep the eight-byte alignment that the library asks for.
constexpr size_t kHeader = 8;
constexpr size_t kGranule = 16;
constexpr size_t kClassCount = CSqliteBlockCache::kLargestKept / kGranule;

struct FreeBlock
{
    FreeBlock* next;
};

// Plain data, so that it is never destroyed: a block freed while the thread ends, or by static
// destructors after the main thread's cache was flushed, finds it closed and goes to the C library.
struct ThreadCache
{
    std::array<FreeBlock*, kClassCount> lists;
    size_t bytes;
    bool started;
    bool closed;
};

thread_local ThreadCache t_cache;

void Flush(ThreadCache& cache)
{
    for (FreeBlock*& list : cache.lists) {
        while (list != nullptr) {
            FreeBlock* block = list;
            list = block->next;
            std::free(reinterpret_cast<char*>(block) - kHeader);
        }
    }
    cache.bytes = 0;
}

// Gives a thread's blocks back when it ends.
struct CacheOwner
{
    bool armed = false;
    ~CacheOwner()
    {
        t_cache.closed = true;
        Flush(t_cache);
    }
};

thread_local CacheOwner t_owner;

ThreadCache& Cache()
{
    ThreadCache& cache = t_cache;
    if (!cache.started) {
        cache.started = true;
        // The first use constructs the owner, which flushes the cache at the thread's end.
        t_owner.armed = true;
    }
    return cache;
}

size_t& StoredSize(void* block)
{
    return *reinterpret_cast<size_t*>(static_cast<char*>(block) - kHeader);
}

size_t Rounded(size_t size)
{
    return size <= CSqliteBlockCache::kLargestKept ? (size + kGranule - 1) / kGranule * kGranule : (size + 7) / 8 * 8;
}

void* NewBlock(size_t usable)
{
    char* base = static_cast<char*>(std::malloc(kHeader + usable));
    if (base == nullptr)
        return nullptr;
    *reinterpret_cast<size_t*>(base) = usable;
    return base + kHeader;
}

}  // namespace

const CSqliteBlockCache::MemMethods& CSqliteBlockCache::Methods()
{
    static const MemMethods methods{
        .xMalloc = &Allocate,
        .xFree = &Free,
        .xRealloc = &Reallocate,
        .xSize = &Size,
        .xRoundup = &RoundUp,
        .xInit = [](void*) { return 0; },
        .xShutdown = [](void*) {},
        .pAppData = nullptr,
    };
    return methods;
}

void* CSqliteBlockCache::Allocate(int size)
{
    if (size <= 0)
        return nullptr;
    const size_t usable = Rounded(static_cast<size_t>(size));
    if (usable <= kLargestKept) {
        ThreadCache& cache = Cache();
        FreeBlock*& list = cache.lists[usable / kGranule - 1];
        if (FreeBlock* block = list) {
            list = block->next;
            cache.bytes -= usable;
            return block;
        }
    }
    return NewBlock(usable);
}

void CSqliteBlockCache::Free(void* block)
{
    if (block == nullptr)
        return;
    const size_t usable = StoredSize(block);
    if (usable <= kLargestKept) {
        ThreadCache& cache = Cache();
        if (!cache.closed && cache.bytes + usable <= kThreadBudget) {
            FreeBlock*& list = cache.lists[usable / kGranule - 1];
            auto* freed = static_cast<FreeBlock*>(block);
            freed->next = list;
            list = freed;
            cache.bytes += usable;
            return;
        }
    }
    std::free(static_cast<char*>(block) - kHeader);
}

void* CSqliteBlockCache::Reallocate(void* block, int size)
{
    if (block == nullptr)
        return Allocate(size);
    const size_t usable = Rounded(static_cast<size_t>(size > 0 ? size : 1));
    const size_t current = StoredSize(block);
    if (usable == current)
        return block;
    if (current > kLargestKept && usable > kLargestKept) {
        // Large to large: the C library may grow the block where it lies.
        char* base = static_cast<char*>(std::realloc(static_cast<char*>(block) - kHeader, kHeader + usable));
        if (base == nullptr)
            return nullptr;
        *reinterpret_cast<size_t*>(base) = usable;
        return base + kHeader;
    }
    void* moved = Allocate(static_cast<int>(usable));
    if (moved == nullptr)
        return nullptr;
    std::memcpy(moved, block, current < usable ? current : usable);
    Free(block);
    return moved;
}

int CSqliteBlockCache::Size(void* block)
{
    return block == nullptr ? 0 : static_cast<int>(StoredSize(block));
}

int CSqliteBlockCache::RoundUp(int size)
{
    return static_cast<int>(Rounded(static_cast<size_t>(size > 0 ? size : 1)));
}
