#include "sim/power_source.h"

#include <map>
#include <mutex>
#include <optional>

namespace sim {
namespace {

struct PowerSource {
    std::mutex mutex;
    std::uint8_t status = kAcOnline;
    std::map<int, std::function<void(std::uint8_t)>> listeners;
    std::map<int, std::function<void(std::uint32_t)>> settingListeners;
    int nextToken = 1;
};

PowerSource& Source()
{
    static auto* source = new PowerSource;
    return *source;
}

// Listeners are called on a copy, outside the lock, so that one may add or remove listeners.
void TellPowerSettingListeners(std::uint32_t value)
{
    std::map<int, std::function<void(std::uint32_t)>> listeners;
    {
        std::lock_guard guard(Source().mutex);
        listeners = Source().settingListeners;
    }
    for (const auto& [token, listener] : listeners) listener(value);
}

std::optional<std::uint32_t> PowerSettingOf(std::uint8_t status)
{
    if (status == kAcOnline) return kPowerSettingAc;
    if (status == kAcOffline) return kPowerSettingDc;
    return std::nullopt;
}

}  // namespace

void SetAcLineStatus(std::uint8_t status)
{
    std::map<int, std::function<void(std::uint8_t)>> listeners;
    {
        std::lock_guard guard(Source().mutex);
        Source().status = status;
        listeners = Source().listeners;
    }
    for (const auto& [token, listener] : listeners) listener(status);
    if (const auto value = PowerSettingOf(status)) TellPowerSettingListeners(*value);
}

std::uint8_t AcLineStatus()
{
    std::lock_guard guard(Source().mutex);
    return Source().status;
}

void SwitchToShortTermPowerSource() { TellPowerSettingListeners(kPowerSettingShortTerm); }

int AddPowerSourceListener(std::function<void(std::uint8_t)> listener)
{
    std::lock_guard guard(Source().mutex);
    const int token = Source().nextToken++;
    Source().listeners.emplace(token, std::move(listener));
    return token;
}

void RemovePowerSourceListener(int token)
{
    std::lock_guard guard(Source().mutex);
    Source().listeners.erase(token);
}

int AddPowerSettingListener(std::function<void(std::uint32_t)> listener)
{
    std::lock_guard guard(Source().mutex);
    const int token = Source().nextToken++;
    Source().settingListeners.emplace(token, std::move(listener));
    return token;
}

void RemovePowerSettingListener(int token)
{
    std::lock_guard guard(Source().mutex);
    Source().settingListeners.erase(token);
}

}  // namespace sim
