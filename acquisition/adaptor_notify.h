// The power-source notifier: follows switches between mains (AC) and battery (DC) power, so that
// the collector can hold off its next sample for a while after each switch.
//
// The notifier runs a thread of its own. That thread creates a hidden window of the notifier's
// class and registers it for power-source notifications; each notification of AC or DC, while the
// owner reports acquisition as started, leaves one pending change. Before each sample the collector
// consumes it with ConsumePowerSourceChange, which then holds off for up to 4000 ms. Only one
// window of the class exists at a time: a notifier whose thread finds one ends that thread at once.
//
// Ownership and thread safety:
// - The owner (the acquisition object) outlives the notifier's use of it; it is set once and read
//   through an atomic.
// - StartAdaptorNotifyThread and StopAdaptorNotifyThread are called by one thread, the one that
//   starts and stops acquisition; the thread handle belongs to it.
// - The window handle is written by the notifier thread and read by the stopping thread (atomic);
//   the stop request is written by the stopping thread and read by the notifier thread (atomic).
// - The pending change is guarded by the pending-change lock, a leaf lock held only for one read or
//   write. SignalPowerSourceChange runs on the notifier thread, ConsumePowerSourceChange on the
//   collector thread.
// - A process-wide pointer names the notifier for the window procedure; the constructor sets it
//   and the destructor clears it.
#pragma once

#include <atomic>

#include "platform/kernel/critical_section.h"
#include "platform/kernel/handle.h"
#include "platform/types.h"
#include "platform/user/window.h"

// What the notifier asks of its owner.
class IAdaptorNotifyOwner {
public:
    // Non-zero while acquisition threads are started.
    virtual int IsStarted() const = 0;

protected:
    ~IAdaptorNotifyOwner() = default;
};

class CAdaptorNotify {
public:
    // How long the collector holds off after a power-source change.
    static constexpr DWORD kHoldOffMs = 4000;

    CAdaptorNotify();
    // Stops a thread that is still running, then clears the owner and the process-wide pointer.
    ~CAdaptorNotify();
    CAdaptorNotify(const CAdaptorNotify&) = delete;
    CAdaptorNotify& operator=(const CAdaptorNotify&) = delete;

    // Sets the owner unless one is set already: the first call wins.
    void SetOwner(IAdaptorNotifyOwner* owner);

    // Starts the notifier thread; with a thread already held, starts none. 1, or 0 when the thread
    // cannot be created.
    int StartAdaptorNotifyThread();
    // Closes the notifier's window, waits for its thread to end and releases it. 1, or 0 when no
    // thread is held.
    int StopAdaptorNotifyThread();

    // Records one pending change while the owner is started; does nothing otherwise.
    void SignalPowerSourceChange();
    // Called by the collector before each sample with its close event. When a change is pending
    // (and the owner is started), clears it and waits up to 4000 ms on the close event: 1 when the
    // event was signalled (the collector must stop), else 0.
    int ConsumePowerSourceChange(HANDLE closeEvent);

private:
    static DWORD WINAPI AdaptorNotifyThreadProc(LPVOID parameter);
    static LRESULT CALLBACK AdaptorNotifyWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    std::atomic<IAdaptorNotifyOwner*> m_pOwner{nullptr};
    HANDLE m_hThread = nullptr;
    std::atomic<HWND> m_hWnd{nullptr};
    HINSTANCE m_hInstance = nullptr;  // null: the class is registered for the host process
    LONG m_lPending = 0;              // guarded by m_lock
    CRITICAL_SECTION m_lock;
    std::atomic<bool> m_fStopRequested{false};
};
