#include "acquisition/adaptor_notify.h"

#include <cstddef>
#include <cstring>

#include "base/scope_timer.h"
#include "base/trace.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/user/message.h"
#include "platform/user/power_setting.h"

TRACE_COMPONENT("{F22A88D2-6F51-47C5-8ECA-0CE66EE2091E}");

namespace {

constexpr WCHAR kWindowClassName[] = u"{F5A897D2-E5DA-4A1F-82D0-E99D8533BCEB}";
constexpr int kWindowX = 10000;
constexpr int kWindowY = 10000;

// The notifier that the window procedure reports to.
std::atomic<CAdaptorNotify*> g_pAdaptorNotify{nullptr};

class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& lock) : m_lock(lock) { EnterCriticalSection(&m_lock); }
    ~CriticalSectionGuard() { LeaveCriticalSection(&m_lock); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CRITICAL_SECTION& m_lock;
};

}  // namespace

CAdaptorNotify::CAdaptorNotify()
{
    InitializeCriticalSection(&m_lock);
    m_pOwner.store(nullptr);
    m_lPending = 0;
    g_pAdaptorNotify.store(this);
}

CAdaptorNotify::~CAdaptorNotify()
{
    // A thread left running would go on using this object.
    if (m_hThread != nullptr) StopAdaptorNotifyThread();
    m_pOwner.store(nullptr);
    CAdaptorNotify* self = this;
    g_pAdaptorNotify.compare_exchange_strong(self, nullptr);
    DeleteCriticalSection(&m_lock);
}

void CAdaptorNotify::SetOwner(IAdaptorNotifyOwner* owner)
{
    IAdaptorNotifyOwner* none = nullptr;
    m_pOwner.compare_exchange_strong(none, owner);
}

int CAdaptorNotify::StartAdaptorNotifyThread()
{
    CScopeTimer timer("CAdaptorNotify::StartAdaptorNotifyThread");
    if (m_hThread != nullptr) {
        TRACE_INFO(10);
        return 1;
    }
    m_hWnd.store(nullptr);
    m_fStopRequested.store(false);
    m_hThread = CreateThread(nullptr, 0, AdaptorNotifyThreadProc, this, 0, nullptr);
    if (m_hThread == nullptr) {
        TRACE_ERROR(11, GetLastError());
        return 0;
    }
    return 1;
}

int CAdaptorNotify::StopAdaptorNotifyThread()
{
    CScopeTimer timer("CAdaptorNotify::StopAdaptorNotifyThread");
    if (m_hThread == nullptr) {
        TRACE_VERBOSE(12);
        return 0;
    }
    // The request comes first: a thread that has not stored its window yet will see it before its
    // message loop, and one that has is reached by WM_CLOSE.
    m_fStopRequested.store(true);
    SendMessageW(m_hWnd.load(), WM_CLOSE, 0, 0);
    WaitForSingleObject(m_hThread, INFINITE);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
    m_hWnd.store(nullptr);
    return 1;
}

void CAdaptorNotify::SignalPowerSourceChange()
{
    const IAdaptorNotifyOwner* owner = m_pOwner.load();
    if (owner == nullptr || owner->IsStarted() == 0) return;
    CriticalSectionGuard guard(m_lock);
    m_lPending = 1;
}

int CAdaptorNotify::ConsumePowerSourceChange(HANDLE closeEvent)
{
    TRACE_VERBOSE(13);
    const IAdaptorNotifyOwner* owner = m_pOwner.load();
    if (owner == nullptr || owner->IsStarted() == 0) return 0;

    LONG pending = 0;
    {
        CriticalSectionGuard guard(m_lock);
        pending = m_lPending;
        m_lPending = 0;
    }
    if (pending == 0) return 0;

    TRACE_VERBOSE(14, kHoldOffMs);
    const DWORD result = WaitForSingleObject(closeEvent, kHoldOffMs);
    if (result == WAIT_OBJECT_0) {
        TRACE_VERBOSE(15);
        return 1;
    }
    if (result == WAIT_TIMEOUT) {
        TRACE_VERBOSE(16);
    } else {
        TRACE_ERROR(17, GetLastError());
    }
    return 0;
}

DWORD WINAPI CAdaptorNotify::AdaptorNotifyThreadProc(LPVOID parameter)
{
    auto* self = static_cast<CAdaptorNotify*>(parameter);

    if (FindWindowW(kWindowClassName, nullptr) != nullptr) {
        TRACE_VERBOSE(18);
        return 1;
    }

    WNDCLASSW windowClass{};
    windowClass.style = CS_BYTEALIGNWINDOW;
    windowClass.lpfnWndProc = AdaptorNotifyWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = self->m_hInstance;
    windowClass.hIcon = nullptr;
    windowClass.hCursor = nullptr;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kWindowClassName;
    if (RegisterClassW(&windowClass) == 0) {
        TRACE_ERROR(19, GetLastError());
        return 1;
    }

    const HWND hwnd = CreateWindowExW(0, kWindowClassName, nullptr, WS_DISABLED, kWindowX, kWindowY, 0, 0, nullptr,
                                      nullptr, self->m_hInstance, nullptr);
    self->m_hWnd.store(hwnd);
    if (hwnd == nullptr) {
        TRACE_ERROR(20, GetLastError());
        UnregisterClassW(kWindowClassName, self->m_hInstance);
        return 1;
    }

    ShowWindow(hwnd, SW_HIDE);

    const HPOWERNOTIFY notification =
        RegisterPowerSettingNotification(hwnd, &GUID_ACDC_POWER_SOURCE, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (notification == nullptr) TRACE_ERROR(21, GetLastError());

    // The window is stored before the stop request is read, and a stop stores its request before
    // it reads the window, so either the stop reaches the window with WM_CLOSE or the request is
    // seen here and the loop never starts.
    if (!self->m_fStopRequested.load()) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    } else {
        TRACE_VERBOSE(22);
        DestroyWindow(hwnd);
    }

    if (notification != nullptr) UnregisterPowerSettingNotification(notification);
    UnregisterClassW(kWindowClassName, self->m_hInstance);
    return 0;
}

LRESULT CALLBACK CAdaptorNotify::AdaptorNotifyWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
    } else if (message == WM_POWERBROADCAST && wParam == PBT_POWERSETTINGCHANGE) {
        TRACE_VERBOSE(23);
        const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam);
        if (setting != nullptr && setting->PowerSetting == GUID_ACDC_POWER_SOURCE &&
            setting->DataLength >= sizeof(DWORD)) {
            DWORD source = 0;
            std::memcpy(&source, reinterpret_cast<const UCHAR*>(setting) + offsetof(POWERBROADCAST_SETTING, Data),
                        sizeof(source));
            CAdaptorNotify* notifier = g_pAdaptorNotify.load();
            if (source == PoAc) {
                TRACE_VERBOSE(24);
                if (notifier != nullptr) notifier->SignalPowerSourceChange();
            } else if (source == PoDc) {
                TRACE_VERBOSE(25);
                if (notifier != nullptr) notifier->SignalPowerSourceChange();
            }
        }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
