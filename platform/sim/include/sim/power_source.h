// The simulated machine's power source: what GetSystemPowerStatus reports, and the switches the
// window manager broadcasts as power-setting changes.
//
//   sim::SetAcLineStatus(sim::kAcOffline);   // unplug the charger: windows hear DC (1)
//   sim::SwitchToShortTermPowerSource();     // a UPS takes over: windows hear 2
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/export.h"

PLATFORM_API_BEGIN

namespace sim {

inline constexpr std::uint8_t kAcOffline = 0;
inline constexpr std::uint8_t kAcOnline = 1;
inline constexpr std::uint8_t kAcUnknown = 255;

// Values of the power-source setting that windows are told of.
inline constexpr std::uint32_t kPowerSettingAc = 0;
inline constexpr std::uint32_t kPowerSettingDc = 1;
inline constexpr std::uint32_t kPowerSettingShortTerm = 2;

// Sets the AC line status (0 offline, 1 online, 255 unknown) and tells every listener. Power-setting
// listeners hear kPowerSettingAc for online and kPowerSettingDc for offline; an unknown status names
// no power source, so they hear nothing of it.
void SetAcLineStatus(std::uint8_t status);
std::uint8_t AcLineStatus();

// Announces a switch to a short-term source such as a UPS: power-setting listeners hear
// kPowerSettingShortTerm. The AC line status stays as it is.
void SwitchToShortTermPowerSource();

// Listeners hear each SetAcLineStatus, with the new status, on the calling thread. A listener
// returns nothing and must not call SetAcLineStatus. Returns a token for RemovePowerSourceListener.
int AddPowerSourceListener(std::function<void(std::uint8_t status)> listener);
void RemovePowerSourceListener(int token);

// Power-setting listeners hear each power-source setting value, as above, on the calling thread,
// with the same restriction. Returns a token for RemovePowerSettingListener.
int AddPowerSettingListener(std::function<void(std::uint32_t value)> listener);
void RemovePowerSettingListener(int token);

}  // namespace sim
PLATFORM_API_END
