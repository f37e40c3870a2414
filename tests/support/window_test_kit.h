// Helpers for testing windows and messages: a window procedure that records what it receives, and
// a platform thread that owns one window and runs its message loop.
//
//   test_support::ScopedRecordingClass windowClass(u"Test.Class");
//   test_support::WindowThread owner(u"Test.Class");          // returns once the window exists
//   SendMessageW(owner.Window(), test_support::kEcho, 21, 0);   // 42, run on owner's thread
//   owner.Close();                                              // WM_CLOSE, then joins the thread
//
// The recording procedure answers:
//   kEcho (wParam n): 2n;
//   kAskBack (lParam another window): sends kRelay to it, with this window as lParam, and adds 1;
//   kRelay (lParam another window): sends kEcho 5 to it and adds 1;
//   WM_DESTROY: posts WM_QUIT with kQuitCode;
//   anything else: DefWindowProcW.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/kernel/synch.h"
#include "platform/user/message.h"
#include "platform/user/power_setting.h"
#include "platform/user/window.h"

namespace test_support {

inline constexpr UINT kEcho = WM_USER + 1;
inline constexpr UINT kAskBack = WM_USER + 2;
inline constexpr UINT kRelay = WM_USER + 3;
inline constexpr int kQuitCode = 7;

struct ReceivedMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    DWORD threadId;
    bool acdcSetting;     // WM_POWERBROADCAST naming GUID_ACDC_POWER_SOURCE
    DWORD settingLength;  // its DataLength
    DWORD settingValue;   // its 32-bit value
};

class MessageLog {
public:
    static MessageLog& Instance()
    {
        static MessageLog log;
        return log;
    }
    void Add(const ReceivedMessage& message)
    {
        std::lock_guard guard(m_mutex);
        m_messages.push_back(message);
    }
    std::vector<ReceivedMessage> Of(HWND hwnd, UINT message) const
    {
        std::lock_guard guard(m_mutex);
        std::vector<ReceivedMessage> found;
        for (const auto& m : m_messages) {
            if (m.hwnd == hwnd && m.message == message) found.push_back(m);
        }
        return found;
    }
    std::vector<UINT> MessagesOf(HWND hwnd) const
    {
        std::lock_guard guard(m_mutex);
        std::vector<UINT> found;
        for (const auto& m : m_messages) {
            if (m.hwnd == hwnd) found.push_back(m.message);
        }
        return found;
    }
    void Clear()
    {
        std::lock_guard guard(m_mutex);
        m_messages.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<ReceivedMessage> m_messages;
};

inline LRESULT CALLBACK RecordingWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    ReceivedMessage received{hwnd, message, wParam, GetCurrentThreadId(), false, 0, 0};
    if (message == WM_POWERBROADCAST && wParam == PBT_POWERSETTINGCHANGE && lParam != 0) {
        const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam);
        received.acdcSetting = setting->PowerSetting == GUID_ACDC_POWER_SOURCE;
        received.settingLength = setting->DataLength;
        if (setting->DataLength >= sizeof(DWORD)) {
            std::memcpy(&received.settingValue, setting->Data, sizeof(DWORD));
        }
    }
    MessageLog::Instance().Add(received);
    switch (message) {
        case kEcho:
            return static_cast<LRESULT>(2 * wParam);
        case kAskBack:
            return SendMessageW(reinterpret_cast<HWND>(lParam), kRelay, 0, reinterpret_cast<LPARAM>(hwnd)) + 1;
        case kRelay:
            return SendMessageW(reinterpret_cast<HWND>(lParam), kEcho, 5, 0) + 1;
        case WM_DESTROY:
            PostQuitMessage(kQuitCode);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// Registers a class with the recording procedure for the test's lifetime.
class ScopedRecordingClass {
public:
    explicit ScopedRecordingClass(LPCWSTR name) : m_name(name)
    {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = RecordingWndProc;
        windowClass.lpszClassName = name;
        m_atom = RegisterClassW(&windowClass);
        EXPECT_NE(m_atom, 0) << "error " << GetLastError();
        MessageLog::Instance().Clear();
    }
    ~ScopedRecordingClass() { UnregisterClassW(m_name, nullptr); }
    ScopedRecordingClass(const ScopedRecordingClass&) = delete;
    ScopedRecordingClass& operator=(const ScopedRecordingClass&) = delete;

private:
    LPCWSTR m_name;
    ATOM m_atom = 0;
};

struct WindowThreadOptions {
    LPCWSTR title = nullptr;
    bool registerForPowerSource = false;
    HANDLE startPumping = nullptr;  // the loop starts once this event is signalled
};

// A platform thread that creates one window, optionally registers it for power-source
// notifications, and runs its message loop until WM_QUIT.
class WindowThread {
public:
    explicit WindowThread(LPCWSTR className, WindowThreadOptions options = {})
        : m_className(className), m_options(options), m_ready(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        EXPECT_NE(m_thread, nullptr);
        WaitForSingleObject(m_ready, INFINITE);
    }
    ~WindowThread()
    {
        Close();
        CloseHandle(m_ready);
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    HWND Window() const { return m_window; }
    DWORD ThreadId() const { return m_threadId; }
    // Closes the window if it still exists and waits for the thread to end.
    void Close()
    {
        if (m_thread == nullptr) return;
        SendMessageW(m_window, WM_CLOSE, 0, 0);  // nothing happens when the window is gone
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    // What GetMessageW ended the loop with: 0 for WM_QUIT; and the quit message's exit code.
    BOOL LastGetMessageResult() const { return m_lastResult; }
    WPARAM QuitCode() const { return m_quitCode; }

private:
    static DWORD WINAPI Run(LPVOID parameter)
    {
        auto* self = static_cast<WindowThread*>(parameter);
        self->m_threadId = GetCurrentThreadId();
        self->m_window = CreateWindowExW(0, self->m_className, self->m_options.title, 0, 0, 0, 10, 10, nullptr,
                                         nullptr, nullptr, nullptr);
        HPOWERNOTIFY registration = nullptr;
        if (self->m_window != nullptr && self->m_options.registerForPowerSource) {
            registration = RegisterPowerSettingNotification(self->m_window, &GUID_ACDC_POWER_SOURCE,
                                                            DEVICE_NOTIFY_WINDOW_HANDLE);
        }
        SetEvent(self->m_ready);
        if (self->m_window == nullptr) return 1;
        if (self->m_options.startPumping != nullptr) WaitForSingleObject(self->m_options.startPumping, INFINITE);
        MSG message{};
        while ((self->m_lastResult = GetMessageW(&message, nullptr, 0, 0)) > 0) DispatchMessageW(&message);
        self->m_quitCode = message.wParam;
        if (registration != nullptr) UnregisterPowerSettingNotification(registration);
        return 0;
    }

    LPCWSTR m_className;
    WindowThreadOptions m_options;
    HANDLE m_ready;
    HANDLE m_thread = nullptr;
    // Written by the thread before it signals m_ready or ends; read after.
    HWND m_window = nullptr;
    DWORD m_threadId = 0;
    BOOL m_lastResult = -2;
    WPARAM m_quitCode = 0;
};

}  // namespace test_support
