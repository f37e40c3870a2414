// Power-setting notifications to windows.
//
// A window registered for a power setting receives WM_POWERBROADCAST with wParam
// PBT_POWERSETTINGCHANGE and lParam pointing to a POWERBROADCAST_SETTING whenever the setting
// changes. The message is sent to the window's thread without the changer waiting for it; the
// setting data is valid while the window procedure runs. For GUID_ACDC_POWER_SOURCE the data is one
// 32-bit value: 0 AC (mains), 1 DC (battery), 2 a short-term source such as a UPS.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include "platform/export.h"
#include "platform/com/guid.h"
#include "platform/types.h"
#include "platform/user/window.h"

PLATFORM_API_BEGIN

using HPOWERNOTIFY = PVOID;
using LPCGUID = const GUID*;

inline constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0x00000000;

inline constexpr UINT WM_POWERBROADCAST = 0x0218;
inline constexpr WPARAM PBT_POWERSETTINGCHANGE = 0x8013;

inline constexpr GUID GUID_ACDC_POWER_SOURCE = platform::MakeGuid("{5D3E9A59-E9D5-4B00-A6BD-FF34FF516548}");

// Values of GUID_ACDC_POWER_SOURCE.
inline constexpr DWORD PoAc = 0;
inline constexpr DWORD PoDc = 1;
inline constexpr DWORD PoHot = 2;

struct POWERBROADCAST_SETTING {
    GUID PowerSetting;
    DWORD DataLength;
    UCHAR Data[1];  // DataLength bytes
};

// Registers the window for changes of one power setting. NULL with the last error:
// ERROR_INVALID_PARAMETER for a null setting or flags other than DEVICE_NOTIFY_WINDOW_HANDLE,
// ERROR_INVALID_WINDOW_HANDLE when the window does not exist. A checked call. The registration
// lasts until it is unregistered; it delivers nothing once its window is gone.
HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE hRecipient, LPCGUID PowerSettingGuid, DWORD Flags);

// Ends a registration. FALSE with ERROR_INVALID_HANDLE when the handle names none.
BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY Handle);
PLATFORM_API_END
