#include "core/handle_table.h"

#include <mutex>
#include <unordered_map>

#include "platform_testing/handles.h"

namespace platform::detail {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> entries;
    // Handle values are never reused, so a stale handle never names a newer object.
    std::uintptr_t next = 0x100;
};

HandleTable& Table()
{
    static auto* table = new HandleTable;  // lives until process exit; threads may outlive statics
    return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object)
{
    auto& table = Table();
    std::lock_guard guard(table.mutex);
    const std::uintptr_t value = table.next;
    table.next += 4;
    table.entries.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle)
{
    auto& table = Table();
    std::lock_guard guard(table.mutex);
    const auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == table.entries.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle)
{
    std::shared_ptr<KernelObject> released;  // destroyed outside the table lock
    auto& table = Table();
    std::lock_guard guard(table.mutex);
    const auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == table.entries.end()) return false;
    released = std::move(it->second);
    table.entries.erase(it);
    return true;
}

std::size_t OpenHandleCount()
{
    auto& table = Table();
    std::lock_guard guard(table.mutex);
    return table.entries.size();
}

}  // namespace platform::detail

namespace platform::testing {

std::size_t OpenKernelHandles() { return detail::OpenHandleCount(); }

}  // namespace platform::testing
