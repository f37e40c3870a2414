// The simulated machine's power source: what GetSystemPowerStatus reports, and the switches the
// window manager broadcasts as power-setting changes.
//
//   sim::SetAcLineStatus(sim::kAcOffline);   // unplug the charger
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>

namespace sim {

inline constexpr std::uint8_t kAcOffline = 0;
inline constexpr std::uint8_t kAcOnline = 1;
inline constexpr std::uint8_t kAcUnknown = 255;

// Sets the AC line status (0 offline, 1 online, 255 unknown) and tells every listener.
void SetAcLineStatus(std::uint8_t status);
std::uint8_t AcLineStatus();

// Listeners hear each SetAcLineStatus, with the new status, on the calling thread. A listener
// returns nothing and must not call SetAcLineStatus. Returns a token for RemovePowerSourceListener.
int AddPowerSourceListener(std::function<void(std::uint8_t status)> listener);
void RemovePowerSourceListener(int token);

}  // namespace sim
