// The idle policy of one host device: the driver's power references (StopIdle, ResumeIdle), its
// idle settings, the user idle setting, where the device is in its power life, and from these when
// the device is due to go idle or to come back. DriverHost's idle thread waits here for something
// to do and makes the power changes under the host's step gate (driver_host.h); docs/host.md gives
// the meaning of every field of the settings.
//
// Idling is allowed while the driver has assigned settings, the user idle setting is on, and the
// settings either let the user control idling (UserControlOfIdleSettings = IdleAllowUserControl:
// the user idle setting decides) or do not and have Enabled other than WdfFalse. The device is due
// to idle once it has been working (in D0) with no power reference for the settings' IdleTimeout;
// that time is counted afresh whenever the count drops to 0 in D0, the device enters D0, or the
// settings or the user idle setting change. An idle device is due back as soon as a power
// reference is taken or idling stops being allowed.
//
// While the idle timeout counts, the device is on its way to idle: a reference taken then does not
// cancel the power-down but makes it due at once, and the device comes back right after it. So
// every drop of the last reference that let the device idle is followed by a D0 exit and, when a
// reference comes, by a D0 entry, however soon the reference comes; a driver that starts its work
// on the return to D0 never finds itself kept in D0 without it. The pending power-down is dropped
// when idling stops being allowed or the device leaves D0 otherwise.
//
// Ownership: shared by the device (which the driver calls) and the host's idle thread.
//
// Thread safety: every operation may be called from any thread; all state is guarded by
// KernelLock(), so that the idle thread and StopIdle(TRUE) wait as platform waits and follow the
// virtual clock. No operation calls out while holding it.
#pragma once

#include <cstdint>
#include <optional>

#include "platform_support/wait.h"
#include "platform/types.h"
#include "platform/wdf/device.h"

namespace platform::host {

// The host's idle timeout when the settings give 0.
inline constexpr ULONG kDefaultIdleTimeoutMs = 5000;

// True while the calling thread runs a host step (it holds a host's step gate); a wait there for a
// power change would wait for itself. Kept by DriverHost's step gate.
bool CurrentThreadRunsHostStep();

class IdlePolicy {
public:
    enum class Action {
        kStop,       // the policy is shut down: the idle thread ends
        kPowerDown,  // working with no reference for the idle timeout: go to DxState
        kPowerUp,    // idle, and a reference is taken or idling is no longer allowed
    };

    // StopIdle: takes a reference and returns the new count.
    LONG TakeReference();
    // ResumeIdle: drops a reference and gives the new count; false (count unchanged at 0) when
    // none is outstanding.
    bool DropReference(LONG* remaining);
    LONG References() const;
    // StopIdle(TRUE): waits while the device is idle or on its way there (it returns once the
    // device is working with no power-down pending, or is no longer under the policy). On a thread
    // running a host step it does not wait and answers false.
    bool WaitUntilNotIdle();

    void SetSettings(const WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& settings);
    std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> Settings() const;
    void SetUserIdleEnabled(bool enabled);

    // Where the device is, as the host's steps and the idle thread move it.
    void EnterD0();    // working: idle timing runs
    void EnterIdle();  // idled by the policy
    void LeaveD0();    // suspended by the host, or left in low power
    void Shutdown();   // removed: no more idling; the idle thread ends

    // The idle thread: blocks until there is something to do.
    Action WaitForAction();
    bool ShutDownLocked() const { return m_shutDown; }  // needs KernelLock()
    // Under the step gate, whether the action the idle thread was given still holds.
    std::optional<WDF_POWER_DEVICE_STATE> DuePowerDown() const;  // the state to go to
    bool DuePowerUp() const;

private:
    enum class Phase { kOff, kWorking, kIdle };

    bool IdleAllowedLocked() const;
    // Counts the idle timeout afresh from now when the device is due one, else clears it.
    void RestartTimerLocked();
    void ChangedLocked();
    bool PowerDownDueLocked() const;
    bool PowerUpDueLocked() const;

    // Guarded by KernelLock().
    LONG m_references = 0;
    std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> m_settings;
    bool m_userIdleEnabled = true;
    Phase m_phase = Phase::kOff;
    bool m_shutDown = false;
    std::int64_t m_idleDeadline = support::kNever;  // clock ticks; kNever while no idle timeout runs
    // A reference came while the idle timeout counted; cleared by every change of phase, and when
    // idling stops being allowed.
    bool m_powerDownPending = false;
    std::uint64_t m_changes = 0;  // counts every change the idle thread must look at
};

}  // namespace platform::host
