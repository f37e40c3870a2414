// Test control of the window manager: what windows, classes and power-setting registrations exist,
// and holds that stop threads at the start of a call so a test can act at an exact point.
//
//   platform::testing::ScopedCallHold hold("CreateWindowExW");  // callers wait at the call's start
//   StartSomethingThatCreatesAWindow();
//   platform::testing::VirtualClock::RunUntilIdle();
//   EXPECT_EQ(hold.Waiting(), 1u);
//   hold.Release();                                             // they go on
//
// Calls that honour holds: CreateWindowExW, RegisterPowerSettingNotification. A held caller waits
// through the platform's blocking mechanism, so the virtual clock counts it as blocked.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "platform/user/window.h"

PLATFORM_API_BEGIN

namespace platform::testing {

struct WindowInfo {
    HWND hwnd;
    std::u16string className;
    std::u16string title;
    DWORD style;
    DWORD exStyle;
    int x;
    int y;
    int width;
    int height;
    bool visible;
    DWORD ownerThreadId;
};

// Every window that exists now, in creation order.
std::vector<WindowInfo> ExistingWindows();

// The fields a class was registered with (the name pointers are null), or nothing.
std::optional<WNDCLASSW> RegisteredClass(std::u16string_view name);

// Power-setting registrations not yet unregistered.
std::size_t PowerSettingRegistrationCount();

void HoldCall(std::string_view function);
void ReleaseCall(std::string_view function);
// Threads waiting at the call's start now.
std::size_t ThreadsHeldAt(std::string_view function);

class ScopedCallHold {
public:
    explicit ScopedCallHold(std::string_view function) : m_function(function) { HoldCall(m_function); }
    ~ScopedCallHold() { ReleaseCall(m_function); }
    ScopedCallHold(const ScopedCallHold&) = delete;
    ScopedCallHold& operator=(const ScopedCallHold&) = delete;

    void Release() { ReleaseCall(m_function); }
    std::size_t Waiting() const { return ThreadsHeldAt(m_function); }

private:
    std::string m_function;
};

}  // namespace platform::testing
PLATFORM_API_END
