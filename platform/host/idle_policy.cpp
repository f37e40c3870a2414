#include "idle_policy.h"

#include <mutex>

#include "platform_support/wait.h"

namespace platform::host {

LONG IdlePolicy::TakeReference()
{
    std::lock_guard kernel(support::KernelLock());
    if (m_idleDeadline != support::kNever) m_powerDownPending = true;
    ++m_references;
    RestartTimerLocked();
    ChangedLocked();
    return m_references;
}

bool IdlePolicy::DropReference(LONG* remaining)
{
    std::lock_guard kernel(support::KernelLock());
    if (m_references == 0) {
        *remaining = 0;
        return false;
    }
    *remaining = --m_references;
    if (m_references == 0) {
        RestartTimerLocked();
        ChangedLocked();
    }
    return true;
}

LONG IdlePolicy::References() const
{
    std::lock_guard kernel(support::KernelLock());
    return m_references;
}

bool IdlePolicy::WaitUntilNotIdle()
{
    std::unique_lock kernel(support::KernelLock());
    const auto awake = [this] { return m_phase != Phase::kIdle && !m_powerDownPending; };
    if (awake()) return true;
    if (CurrentThreadRunsHostStep()) return false;
    support::BlockUntil(kernel, awake, support::kNever);
    return true;
}

void IdlePolicy::SetSettings(const WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& settings)
{
    std::lock_guard kernel(support::KernelLock());
    m_settings = settings;
    if (!IdleAllowedLocked()) m_powerDownPending = false;
    RestartTimerLocked();
    ChangedLocked();
}

std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> IdlePolicy::Settings() const
{
    std::lock_guard kernel(support::KernelLock());
    return m_settings;
}

void IdlePolicy::SetUserIdleEnabled(bool enabled)
{
    std::lock_guard kernel(support::KernelLock());
    if (m_userIdleEnabled == enabled) return;
    m_userIdleEnabled = enabled;
    if (!IdleAllowedLocked()) m_powerDownPending = false;
    RestartTimerLocked();
    ChangedLocked();
}

void IdlePolicy::EnterD0()
{
    std::lock_guard kernel(support::KernelLock());
    if (m_shutDown) return;
    m_phase = Phase::kWorking;
    m_powerDownPending = false;
    RestartTimerLocked();
    ChangedLocked();
}

void IdlePolicy::EnterIdle()
{
    std::lock_guard kernel(support::KernelLock());
    if (m_shutDown) return;
    m_phase = Phase::kIdle;
    m_powerDownPending = false;
    RestartTimerLocked();
    ChangedLocked();
}

void IdlePolicy::LeaveD0()
{
    std::lock_guard kernel(support::KernelLock());
    m_phase = Phase::kOff;
    m_powerDownPending = false;
    RestartTimerLocked();
    ChangedLocked();
}

void IdlePolicy::Shutdown()
{
    std::lock_guard kernel(support::KernelLock());
    m_shutDown = true;
    m_phase = Phase::kOff;
    m_powerDownPending = false;
    RestartTimerLocked();
    ChangedLocked();
}

IdlePolicy::Action IdlePolicy::WaitForAction()
{
    std::unique_lock kernel(support::KernelLock());
    for (;;) {
        if (m_shutDown) return Action::kStop;
        if (PowerUpDueLocked()) return Action::kPowerUp;
        if (PowerDownDueLocked()) return Action::kPowerDown;
        // Until the idle timeout passes, or anything changes that could make an action due.
        const std::uint64_t seen = m_changes;
        support::BlockUntil(
            kernel, [this, seen] { return m_changes != seen; }, m_idleDeadline);
    }
}

std::optional<WDF_POWER_DEVICE_STATE> IdlePolicy::DuePowerDown() const
{
    std::lock_guard kernel(support::KernelLock());
    if (!PowerDownDueLocked()) return std::nullopt;
    return static_cast<WDF_POWER_DEVICE_STATE>(m_settings->DxState);
}

bool IdlePolicy::DuePowerUp() const
{
    std::lock_guard kernel(support::KernelLock());
    return PowerUpDueLocked();
}

bool IdlePolicy::IdleAllowedLocked() const
{
    if (!m_settings || !m_userIdleEnabled) return false;
    return m_settings->UserControlOfIdleSettings == IdleAllowUserControl || m_settings->Enabled != WdfFalse;
}

void IdlePolicy::RestartTimerLocked()
{
    if (m_phase != Phase::kWorking || m_references != 0 || !IdleAllowedLocked()) {
        m_idleDeadline = support::kNever;
        return;
    }
    const ULONG timeout = m_settings->IdleTimeout != 0 ? m_settings->IdleTimeout : kDefaultIdleTimeoutMs;
    m_idleDeadline = support::MonotonicNowLocked() + static_cast<std::int64_t>(timeout) * support::kTicksPerMillisecond;
}

void IdlePolicy::ChangedLocked()
{
    ++m_changes;
    support::WakeWaitersLocked();
}

bool IdlePolicy::PowerDownDueLocked() const
{
    if (m_phase != Phase::kWorking) return false;
    return m_powerDownPending ||
           (m_idleDeadline != support::kNever && support::MonotonicNowLocked() >= m_idleDeadline);
}

bool IdlePolicy::PowerUpDueLocked() const
{
    return m_phase == Phase::kIdle && (m_references > 0 || !IdleAllowedLocked());
}

}  // namespace platform::host
