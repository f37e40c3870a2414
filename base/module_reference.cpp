#include "base/module_reference.h"

#include <atomic>

namespace {
std::atomic<LONG> g_lModuleLockCount{0};
}  // namespace

LONG LockModule()
{
    return g_lModuleLockCount.fetch_add(1, std::memory_order_acq_rel) + 1;
}

LONG UnlockModule()
{
    return g_lModuleLockCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

LONG GetModuleLockCount()
{
    return g_lModuleLockCount.load(std::memory_order_acquire);
}
