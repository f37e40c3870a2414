// The system power status: whether the machine runs on mains (AC) or battery power.
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

inline constexpr BYTE AC_LINE_OFFLINE = 0;
inline constexpr BYTE AC_LINE_ONLINE = 1;
inline constexpr BYTE AC_LINE_UNKNOWN = 255;

inline constexpr BYTE BATTERY_FLAG_UNKNOWN = 255;
inline constexpr BYTE BATTERY_PERCENTAGE_UNKNOWN = 255;
inline constexpr DWORD BATTERY_LIFE_UNKNOWN = 0xFFFFFFFF;

struct SYSTEM_POWER_STATUS {
    BYTE ACLineStatus;          // AC_LINE_OFFLINE, AC_LINE_ONLINE or AC_LINE_UNKNOWN
    BYTE BatteryFlag;           // always BATTERY_FLAG_UNKNOWN: the machine reports no battery details
    BYTE BatteryLifePercent;    // always BATTERY_PERCENTAGE_UNKNOWN
    BYTE SystemStatusFlag;      // 0: battery saver off
    DWORD BatteryLifeTime;      // seconds left; always BATTERY_LIFE_UNKNOWN
    DWORD BatteryFullLifeTime;  // seconds on a full charge; always BATTERY_LIFE_UNKNOWN
};
using LPSYSTEM_POWER_STATUS = SYSTEM_POWER_STATUS*;

// Fills *lpSystemPowerStatus with the live power status. FALSE, with the last error, when the
// status cannot be read (ERROR_INVALID_PARAMETER for a null pointer). Thread safe.
BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS lpSystemPowerStatus);
PLATFORM_API_END
