#include <gtest/gtest.h>

#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/user/message.h"
#include "platform/user/power_setting.h"
#include "platform/user/window.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "platform_testing/windows.h"
#include "sim/power_source.h"
#include "support/window_test_kit.h"

namespace {

using platform::testing::PowerSettingRegistrationCount;
using platform::testing::ScopedFaults;
using platform::testing::ScopedVirtualClock;
using test_support::MessageLog;
using test_support::ReceivedMessage;
using test_support::ScopedRecordingClass;
using test_support::WindowThread;

constexpr WCHAR kClass[] = u"Test.PowerBroadcast";

class PowerBroadcast : public ::testing::Test {
protected:
    void TearDown() override
    {
        sim::SetAcLineStatus(sim::kAcOnline);
        EXPECT_EQ(PowerSettingRegistrationCount(), 0u);
    }

    std::vector<ReceivedMessage> Broadcasts(HWND hwnd) const { return MessageLog::Instance().Of(hwnd, WM_POWERBROADCAST); }

    ScopedVirtualClock m_clock;
    ScopedFaults m_faults;
    ScopedRecordingClass m_class{kClass};
};

TEST_F(PowerBroadcast, PowerSourceSwitchesReachEveryRegisteredWindowAndOnlyThose)
{
    WindowThread first(kClass, {.registerForPowerSource = true});
    WindowThread second(kClass, {.registerForPowerSource = true});
    WindowThread unregistered(kClass);

    sim::SetAcLineStatus(sim::kAcOffline);
    sim::SetAcLineStatus(sim::kAcOnline);
    sim::SwitchToShortTermPowerSource();
    sim::SetAcLineStatus(sim::kAcUnknown);  // names no power source: nothing is broadcast
    m_clock.RunUntilIdle();

    for (const WindowThread* owner : {&first, &second}) {
        const auto received = Broadcasts(owner->Window());
        ASSERT_EQ(received.size(), 3u);
        const DWORD expected[] = {PoDc, PoAc, PoHot};
        for (std::size_t i = 0; i < received.size(); ++i) {
            EXPECT_EQ(received[i].wParam, PBT_POWERSETTINGCHANGE);
            EXPECT_TRUE(received[i].acdcSetting);
            EXPECT_EQ(received[i].settingLength, sizeof(DWORD));
            EXPECT_EQ(received[i].settingValue, expected[i]);
            EXPECT_EQ(received[i].threadId, owner->ThreadId());
        }
    }
    EXPECT_TRUE(Broadcasts(unregistered.Window()).empty());
}

TEST_F(PowerBroadcast, TheChangerDoesNotWaitForAWindowThatIsNotInItsLoop)
{
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WindowThread owner(kClass, {.registerForPowerSource = true, .startPumping = go});

    sim::SetAcLineStatus(sim::kAcOffline);  // returns although the owner runs no loop
    m_clock.RunUntilIdle();
    EXPECT_TRUE(Broadcasts(owner.Window()).empty());

    SetEvent(go);
    m_clock.RunUntilIdle();
    ASSERT_EQ(Broadcasts(owner.Window()).size(), 1u);
    EXPECT_EQ(Broadcasts(owner.Window())[0].settingValue, PoDc);
    owner.Close();
    CloseHandle(go);
}

TEST_F(PowerBroadcast, TheWindowsOwnThreadMayChangeThePowerSource)
{
    const HWND window = CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    const HPOWERNOTIFY registration =
        RegisterPowerSettingNotification(window, &GUID_ACDC_POWER_SOURCE, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(registration, nullptr);

    sim::SetAcLineStatus(sim::kAcOffline);
    EXPECT_TRUE(Broadcasts(window).empty());  // it waits for this thread's message loop
    PostQuitMessage(0);
    MSG message{};
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0);  // runs the notification, then quits
    ASSERT_EQ(Broadcasts(window).size(), 1u);
    EXPECT_EQ(Broadcasts(window)[0].threadId, GetCurrentThreadId());

    EXPECT_TRUE(UnregisterPowerSettingNotification(registration));
    DestroyWindow(window);
}

TEST_F(PowerBroadcast, UnregisteredAndDestroyedWindowsHearNothing)
{
    const HWND window = CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    const HPOWERNOTIFY unregistered =
        RegisterPowerSettingNotification(window, &GUID_ACDC_POWER_SOURCE, DEVICE_NOTIFY_WINDOW_HANDLE);
    const HPOWERNOTIFY outlivesItsWindow =
        RegisterPowerSettingNotification(window, &GUID_ACDC_POWER_SOURCE, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_TRUE(UnregisterPowerSettingNotification(unregistered));
    EXPECT_FALSE(UnregisterPowerSettingNotification(unregistered));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // A notification queued for the window goes with it.
    sim::SetAcLineStatus(sim::kAcOffline);
    ASSERT_TRUE(DestroyWindow(window));
    sim::SetAcLineStatus(sim::kAcOnline);
    MSG message{};
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0);  // only the quit of WM_DESTROY is left
    EXPECT_TRUE(Broadcasts(window).empty());

    // The registration stays valid until it is unregistered.
    EXPECT_TRUE(UnregisterPowerSettingNotification(outlivesItsWindow));
}

TEST_F(PowerBroadcast, RegisterPowerSettingNotification_RejectsBadArguments)
{
    const HWND window = CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(RegisterPowerSettingNotification(window, nullptr, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterPowerSettingNotification(window, &GUID_ACDC_POWER_SOURCE, 1), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterPowerSettingNotification(nullptr, &GUID_ACDC_POWER_SOURCE, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

    platform::testing::FailCall("RegisterPowerSettingNotification");
    EXPECT_EQ(RegisterPowerSettingNotification(window, &GUID_ACDC_POWER_SOURCE, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(PowerSettingRegistrationCount(), 0u);
    DestroyWindow(window);
}

}  // namespace
