#include "wmi/repository.h"

#include <algorithm>

#include "core/wait.h"

namespace platform::detail {
namespace {

constexpr std::u16string_view kThermalTemperature = u"ThermalTemperature";

std::atomic<std::size_t> g_liveObjects{0};

char16_t Lower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

}  // namespace

WmiRepository& WmiRepositoryLocked()
{
    static auto* repository = new WmiRepository;
    return *repository;
}

bool SnapshotWmiClass(std::u16string_view className, std::vector<WmiInstanceRef>* instances)
{
    std::lock_guard lock(KernelLock());
    const auto& repository = WmiRepositoryLocked();
    const bool known = EqualsIgnoringCase(className, kThermalTemperature) ||
                       std::any_of(repository.addedClasses.begin(), repository.addedClasses.end(),
                                   [&](const std::u16string& added) { return EqualsIgnoringCase(className, added); });
    if (!known) return false;
    instances->clear();
    for (const auto& [id, instance] : repository.instances) {
        if (EqualsIgnoringCase(instance->className, className)) instances->push_back(instance);
    }
    return true;
}

bool BeginWmiRead(std::uint32_t timeoutMs)
{
    std::unique_lock lock(KernelLock());
    auto& repository = WmiRepositoryLocked();
    ++repository.nextCalls;
    if (!repository.readsHeld) return true;
    ++repository.blockedReads;
    const bool released = BlockUntil(
        lock, [] { return !WmiRepositoryLocked().readsHeld; }, DeadlineAfterLocked(timeoutMs));
    --repository.blockedReads;
    return released;
}

CountedWmiObject::CountedWmiObject()
{
    g_liveObjects.fetch_add(1);
}
CountedWmiObject::~CountedWmiObject()
{
    g_liveObjects.fetch_sub(1);
}
std::size_t LiveWmiObjectCount()
{
    return g_liveObjects.load();
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return Lower(x) == Lower(y); });
}

std::u16string_view ViewOf(const WCHAR* text)
{
    if (text == nullptr) return {};
    return std::u16string_view(text);
}

}  // namespace platform::detail
