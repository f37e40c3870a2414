#include "platform/kernel/power.h"

#include "core/fault_injection.h"
#include "platform/kernel/last_error.h"
#include "sim/power_source.h"

BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS lpSystemPowerStatus)
{
    if (const auto error = platform::detail::CheckFault("GetSystemPowerStatus", ERROR_GEN_FAILURE)) {
        SetLastError(*error);
        return FALSE;
    }
    if (lpSystemPowerStatus == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The simulated power source knows only the AC line; it has no battery to describe.
    lpSystemPowerStatus->ACLineStatus = sim::AcLineStatus();
    lpSystemPowerStatus->BatteryFlag = BATTERY_FLAG_UNKNOWN;
    lpSystemPowerStatus->BatteryLifePercent = BATTERY_PERCENTAGE_UNKNOWN;
    lpSystemPowerStatus->SystemStatusFlag = 0;
    lpSystemPowerStatus->BatteryLifeTime = BATTERY_LIFE_UNKNOWN;
    lpSystemPowerStatus->BatteryFullLifeTime = BATTERY_LIFE_UNKNOWN;
    return TRUE;
}
