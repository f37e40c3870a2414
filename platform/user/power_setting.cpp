#include "platform/user/power_setting.h"

#include <cstddef>
#include <cstring>
#include <map>

#include "core/fault_injection.h"
#include "core/wait.h"
#include "platform/kernel/last_error.h"
#include "platform_testing/windows.h"
#include "sim/power_source.h"
#include "user/user_state.h"

using namespace platform::detail;

namespace {

struct Registration {
    HWND hwnd;
    GUID setting;
};

// Registrations by handle value, in the order they were made. Guarded by KernelLock().
std::map<std::uintptr_t, Registration>& RegistrationsLocked()
{
    static auto* registrations = new std::map<std::uintptr_t, Registration>;
    return *registrations;
}
std::uintptr_t g_nextRegistration = 0x20010;  // guarded by KernelLock(); values are never reused

// The setting block of one power-source notification, with room for its 32-bit value.
struct PowerSourceSetting {
    POWERBROADCAST_SETTING header;
    UCHAR more[sizeof(DWORD) - 1];
};
static_assert(offsetof(POWERBROADCAST_SETTING, Data) + sizeof(DWORD) <= sizeof(PowerSourceSetting));

// Sends the new power-source value to every window registered for it, without waiting: each window's
// thread runs the message in its message loop, and the block it points to lives as long as the
// message does.
void BroadcastPowerSource(std::uint32_t value)
{
    std::lock_guard lock(KernelLock());
    for (const auto& [handle, registration] : RegistrationsLocked()) {
        if (registration.setting != GUID_ACDC_POWER_SOURCE) continue;
        const auto window = FindWindowLocked(registration.hwnd);
        if (!window || window->destroying) continue;
        auto setting = std::make_shared<PowerSourceSetting>();
        setting->header.PowerSetting = GUID_ACDC_POWER_SOURCE;
        setting->header.DataLength = sizeof(DWORD);
        std::memcpy(reinterpret_cast<UCHAR*>(setting.get()) + offsetof(POWERBROADCAST_SETTING, Data), &value,
                    sizeof(DWORD));
        auto message = std::make_shared<SentMessage>();
        message->hwnd = registration.hwnd;
        message->message = WM_POWERBROADCAST;
        message->wParam = PBT_POWERSETTINGCHANGE;
        message->lParam = reinterpret_cast<LPARAM>(&setting->header);
        message->payload = std::move(setting);
        window->queue->sent.push_back(std::move(message));
    }
    WakeWaitersLocked();
}

[[maybe_unused]] const int g_powerSettingListener = sim::AddPowerSettingListener(&BroadcastPowerSource);

}  // namespace

HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE hRecipient, LPCGUID PowerSettingGuid, DWORD Flags)
{
    PassCallHold("RegisterPowerSettingNotification");
    if (const auto error = CheckFault("RegisterPowerSettingNotification", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return nullptr;
    }
    if (PowerSettingGuid == nullptr || Flags != DEVICE_NOTIFY_WINDOW_HANDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const HWND hwnd = static_cast<HWND>(hRecipient);
    std::unique_lock lock(KernelLock());
    if (!FindWindowLocked(hwnd)) {
        lock.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    const std::uintptr_t value = g_nextRegistration;
    g_nextRegistration += 0x10;
    RegistrationsLocked().emplace(value, Registration{hwnd, *PowerSettingGuid});
    return reinterpret_cast<HPOWERNOTIFY>(value);
}

BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY Handle)
{
    std::unique_lock lock(KernelLock());
    if (RegistrationsLocked().erase(reinterpret_cast<std::uintptr_t>(Handle)) == 0) {
        lock.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

namespace platform::testing {

std::size_t PowerSettingRegistrationCount()
{
    std::lock_guard lock(KernelLock());
    return RegistrationsLocked().size();
}

}  // namespace platform::testing
