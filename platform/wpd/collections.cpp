// The live count of the portable-device collections, their fault points, and the test control
// over both.
#include "wpd/collections.h"

#include <atomic>

#include "core/fault_injection.h"
#include "platform_testing/wpd.h"

namespace platform {
namespace detail {
namespace {

std::atomic<std::size_t> g_liveCollections{0};

}  // namespace

CountedCollection::CountedCollection()
{
    g_liveCollections.fetch_add(1, std::memory_order_relaxed);
}

CountedCollection::~CountedCollection()
{
    g_liveCollections.fetch_sub(1, std::memory_order_relaxed);
}

std::string KeyQualifier(REFPROPERTYKEY key)
{
    return GuidToString(key.fmtid) + " " + std::to_string(key.pid);
}

HRESULT InjectedFailure(std::string_view point) noexcept
{
    return ReturnOutOfMemoryOnThrow([&] {
        const auto error = CheckFault(point, static_cast<std::uint32_t>(E_OUTOFMEMORY));
        return error ? static_cast<HRESULT>(*error) : S_OK;
    });
}

HRESULT InjectedFailure(std::string_view point, REFPROPERTYKEY key) noexcept
{
    if (!FaultInjectionActive()) return S_OK;
    return ReturnOutOfMemoryOnThrow([&] {
        const auto error = CheckFault(point, static_cast<std::uint32_t>(E_OUTOFMEMORY), KeyQualifier(key));
        return error ? static_cast<HRESULT>(*error) : S_OK;
    });
}

}  // namespace detail

namespace testing {

std::size_t LivePortableDeviceCollections()
{
    return detail::g_liveCollections.load(std::memory_order_relaxed);
}

std::string CollectionFault(std::string_view point, REFPROPERTYKEY key)
{
    return std::string(point) + ":" + detail::KeyQualifier(key);
}

}  // namespace testing
}  // namespace platform
