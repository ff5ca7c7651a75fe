#include "language/ssp_declared_kind.h"

#include <array>
#include <atomic>

namespace {

// Written at program start, read by every run on every thread: atomics make a late registration
// (a test's) safe without a lock on the path of each declaration.
std::array<std::atomic<const CSspDeclaredKind*>, kObjectKindCount> g_factories{};

}  // namespace

void RegisterDeclaredKind(int kind, const CSspDeclaredKind* factory)
{
    if (kind >= 0 && kind < kObjectKindCount)
        g_factories[static_cast<size_t>(kind)].store(factory);
}

const CSspDeclaredKind* FindDeclaredKind(int kind)
{
    if (kind < 0 || kind >= kObjectKindCount)
        return nullptr;
    return g_factories[static_cast<size_t>(kind)].load();
}
