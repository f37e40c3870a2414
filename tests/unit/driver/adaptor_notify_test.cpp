#include "acquisition/adaptor_notify.h"

#include <gtest/gtest.h>

#include "support/call_thread.h"

#include <atomic>
#include <chrono>
#include <functional>

#include "platform/kernel/synch.h"
#include "platform/user/message.h"
#include "platform/user/window.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "platform_testing/windows.h"
#include "sim/power_source.h"

namespace {

using namespace std::chrono_literals;
using platform::testing::ExistingWindows;
using platform::testing::PowerSettingRegistrationCount;
using platform::testing::RegisteredClass;
using platform::testing::ScopedCallHold;
using platform::testing::ScopedFaults;
using platform::testing::ScopedVirtualClock;

constexpr WCHAR kClassName[] = u"{F5A897D2-E5DA-4A1F-82D0-E99D8533BCEB}";

class FakeOwner final : public IAdaptorNotifyOwner {
public:
    int IsStarted() const override { return started.load(); }
    std::atomic<int> started{1};
};

using test_support::CallThread;

class AdaptorNotify : public ::testing::Test {
protected:
    AdaptorNotify() { m_notifier.SetOwner(&m_owner); }
    ~AdaptorNotify() override
    {
        m_notifier.StopAdaptorNotifyThread();
        CloseHandle(m_closeEvent);
        sim::SetAcLineStatus(sim::kAcOnline);
    }

    // Starts the notifier and lets its thread reach its message loop.
    void StartAndSettle()
    {
        ASSERT_EQ(m_notifier.StartAdaptorNotifyThread(), 1);
        m_clock.RunUntilIdle();
        ASSERT_NE(FindWindowW(kClassName, nullptr), nullptr);
    }
    // Changes the power source and lets the notifier thread take the notification.
    void SwitchTo(std::uint8_t acLineStatus)
    {
        sim::SetAcLineStatus(acLineStatus);
        m_clock.RunUntilIdle();
    }
    CallThread Consume()
    {
        return CallThread([this] { return m_notifier.ConsumePowerSourceChange(m_closeEvent); });
    }
    // A consume that holds off for 4000 ms.
    void ExpectHoldOff()
    {
        CallThread consume = Consume();
        m_clock.AdvanceBy(3999ms);
        EXPECT_FALSE(consume.Done());
        m_clock.AdvanceBy(1ms);
        EXPECT_TRUE(consume.Done());
        if (!consume.Done()) SetEvent(m_closeEvent);
        consume.Join();
        EXPECT_EQ(consume.Result(), 0);
    }
    // A consume that returns without holding off.
    void ExpectNoHoldOff()
    {
        const auto before = m_clock.Elapsed();
        CallThread consume = Consume();
        m_clock.RunUntilIdle();
        EXPECT_TRUE(consume.Done());
        if (!consume.Done()) SetEvent(m_closeEvent);
        consume.Join();
        EXPECT_EQ(consume.Result(), 0);
        EXPECT_EQ(m_clock.Elapsed(), before);
    }

    ScopedVirtualClock m_clock;
    ScopedFaults m_faults;
    FakeOwner m_owner;
    CAdaptorNotify m_notifier;
    HANDLE m_closeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

TEST_F(AdaptorNotify, Consume_HoldsOffFor4000msAfterAChange)
{
    StartAndSettle();
    SwitchTo(sim::kAcOffline);
    ExpectHoldOff();
    // The change is consumed: the next sample is not held off.
    ExpectNoHoldOff();
}

TEST_F(AdaptorNotify, Consume_ReturnsOneAtOnceWhenTheCloseEventIsSignalledDuringTheHoldOff)
{
    StartAndSettle();
    SwitchTo(sim::kAcOnline);

    CallThread consume = Consume();
    m_clock.AdvanceBy(1000ms);
    EXPECT_FALSE(consume.Done());
    ASSERT_TRUE(SetEvent(m_closeEvent));
    m_clock.RunUntilIdle();
    EXPECT_TRUE(consume.Done());
    consume.Join();
    EXPECT_EQ(consume.Result(), 1);
    EXPECT_EQ(m_clock.Elapsed(), 1000ms);
}

TEST_F(AdaptorNotify, Signal_TwoNotificationsBeforeAConsumeGiveOneHoldOff)
{
    StartAndSettle();
    SwitchTo(sim::kAcOffline);
    SwitchTo(sim::kAcOnline);

    CallThread consume = Consume();
    m_clock.AdvanceBy(4000ms);
    EXPECT_TRUE(consume.Done());
    consume.Join();
    EXPECT_EQ(consume.Result(), 0);
    ExpectNoHoldOff();
}

TEST_F(AdaptorNotify, WndProc_AShortTermSourceChangesNothing)
{
    StartAndSettle();
    sim::SwitchToShortTermPowerSource();
    m_clock.RunUntilIdle();
    ExpectNoHoldOff();
    // Notifications do arrive: a switch to battery is one.
    SwitchTo(sim::kAcOffline);
    ExpectHoldOff();
}

TEST_F(AdaptorNotify, Signal_ANotificationWhileNotStartedIsDropped)
{
    StartAndSettle();
    m_owner.started = 0;
    SwitchTo(sim::kAcOffline);
    m_owner.started = 1;
    ExpectNoHoldOff();
    // The same notification while started is kept.
    SwitchTo(sim::kAcOnline);
    ExpectHoldOff();
}

TEST_F(AdaptorNotify, SetOwner_TheFirstOwnerWins)
{
    FakeOwner stopped;
    stopped.started = 0;
    m_notifier.SetOwner(&stopped);  // ignored: the fixture's owner, started, stays
    StartAndSettle();
    SwitchTo(sim::kAcOffline);

    CallThread consume = Consume();
    m_clock.RunUntilIdle();
    EXPECT_FALSE(consume.Done());
    SetEvent(m_closeEvent);
    consume.Join();
    EXPECT_EQ(consume.Result(), 1);
}

TEST_F(AdaptorNotify, WithoutAnOwnerNothingIsEverPending)
{
    CAdaptorNotify lone;
    lone.SignalPowerSourceChange();
    EXPECT_EQ(lone.ConsumePowerSourceChange(m_closeEvent), 0);
}

TEST_F(AdaptorNotify, Start_CreatesAHiddenWindowRegisteredForThePowerSource)
{
    StartAndSettle();
    const auto windows = ExistingWindows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].className, kClassName);
    EXPECT_EQ(windows[0].title, u"");
    EXPECT_EQ(windows[0].style, WS_DISABLED);
    EXPECT_EQ(windows[0].exStyle, 0u);
    EXPECT_EQ(windows[0].x, 10000);
    EXPECT_EQ(windows[0].y, 10000);
    EXPECT_EQ(windows[0].width, 0);
    EXPECT_EQ(windows[0].height, 0);
    EXPECT_FALSE(windows[0].visible);
    EXPECT_NE(windows[0].ownerThreadId, GetCurrentThreadId());

    const auto windowClass = RegisteredClass(kClassName);
    ASSERT_TRUE(windowClass.has_value());
    EXPECT_EQ(windowClass->style, CS_BYTEALIGNWINDOW);
    EXPECT_EQ(windowClass->cbClsExtra, 0);
    EXPECT_EQ(windowClass->cbWndExtra, 0);
    EXPECT_EQ(windowClass->hInstance, nullptr);
    EXPECT_EQ(windowClass->hIcon, nullptr);
    EXPECT_EQ(windowClass->hCursor, nullptr);
    EXPECT_EQ(windowClass->hbrBackground, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1)));
    EXPECT_EQ(PowerSettingRegistrationCount(), 1u);
}

TEST_F(AdaptorNotify, Stop_ClosesTheWindowAndUnregistersAndAllowsARestart)
{
    StartAndSettle();
    EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 1);
    EXPECT_TRUE(ExistingWindows().empty());
    EXPECT_FALSE(RegisteredClass(kClassName).has_value());
    EXPECT_EQ(PowerSettingRegistrationCount(), 0u);
    EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 0);

    StartAndSettle();
    SwitchTo(sim::kAcOffline);
    CallThread consume = Consume();
    m_clock.AdvanceBy(4000ms);
    consume.Join();
    EXPECT_EQ(m_clock.Elapsed(), 4000ms);
}

TEST_F(AdaptorNotify, Start_ASecondStartStartsNoSecondThread)
{
    StartAndSettle();
    platform::testing::FailCallAlways("CreateThread");
    EXPECT_EQ(m_notifier.StartAdaptorNotifyThread(), 1);
    EXPECT_EQ(platform::testing::InjectedFaultCount(), 0u);  // CreateThread was not called
    platform::testing::ResetFaults();
    m_clock.RunUntilIdle();
    EXPECT_EQ(ExistingWindows().size(), 1u);
    EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 1);
    EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 0);
}

TEST_F(AdaptorNotify, Stop_WithNoThreadReturnsZero) { EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 0); }

TEST_F(AdaptorNotify, Start_ReturnsZeroWhenTheThreadCannotBeCreated)
{
    platform::testing::FailCall("CreateThread");
    EXPECT_EQ(m_notifier.StartAdaptorNotifyThread(), 0);
    EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 0);
    StartAndSettle();
}

TEST_F(AdaptorNotify, ThreadProc_OnlyOneWindowOfTheClassExistsAtATime)
{
    StartAndSettle();
    const HWND first = FindWindowW(kClassName, nullptr);
    {
        CAdaptorNotify second;
        second.SetOwner(&m_owner);
        EXPECT_EQ(second.StartAdaptorNotifyThread(), 1);
        m_clock.RunUntilIdle();
        EXPECT_EQ(ExistingWindows().size(), 1u);
        // Its thread has ended: the stop's WM_CLOSE goes nowhere and the first window stays.
        EXPECT_EQ(second.StopAdaptorNotifyThread(), 1);
        EXPECT_EQ(FindWindowW(kClassName, nullptr), first);
    }
    EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 1);
    EXPECT_TRUE(ExistingWindows().empty());
}

TEST_F(AdaptorNotify, ThreadProc_EndsAtOnceWhenTheClassOrWindowCannotBeMade)
{
    for (const char* point : {"RegisterClassW", "CreateWindowExW"}) {
        SCOPED_TRACE(point);
        platform::testing::FailCall(point);
        ASSERT_EQ(m_notifier.StartAdaptorNotifyThread(), 1);
        m_clock.RunUntilIdle();
        EXPECT_TRUE(ExistingWindows().empty());
        EXPECT_FALSE(RegisteredClass(kClassName).has_value());
        EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 1);
    }
}

TEST_F(AdaptorNotify, ThreadProc_RunsWithoutNotificationsWhenRegistrationFails)
{
    platform::testing::FailCall("RegisterPowerSettingNotification");
    StartAndSettle();
    EXPECT_EQ(PowerSettingRegistrationCount(), 0u);
    SwitchTo(sim::kAcOffline);
    ExpectNoHoldOff();
    EXPECT_EQ(m_notifier.StopAdaptorNotifyThread(), 1);
    EXPECT_TRUE(ExistingWindows().empty());
}

TEST_F(AdaptorNotify, Stop_BeforeTheWindowExistsStillEndsTheThread)
{
    ScopedCallHold hold("CreateWindowExW");
    ASSERT_EQ(m_notifier.StartAdaptorNotifyThread(), 1);
    m_clock.RunUntilIdle();
    ASSERT_EQ(hold.Waiting(), 1u);

    // The stop finds no window to close and waits for the thread.
    CallThread stop([this] { return m_notifier.StopAdaptorNotifyThread(); });
    m_clock.RunUntilIdle();
    EXPECT_FALSE(stop.Done());

    hold.Release();
    m_clock.RunUntilIdle();
    EXPECT_TRUE(stop.Done());
    if (!stop.Done()) SendMessageW(FindWindowW(kClassName, nullptr), WM_CLOSE, 0, 0);  // end the test anyway
    stop.Join();
    EXPECT_EQ(stop.Result(), 1);
    EXPECT_TRUE(ExistingWindows().empty());
    EXPECT_FALSE(RegisteredClass(kClassName).has_value());
    EXPECT_EQ(PowerSettingRegistrationCount(), 0u);
}

TEST_F(AdaptorNotify, Stop_WhileTheThreadRegistersEndsTheThread)
{
    ScopedCallHold hold("RegisterPowerSettingNotification");
    ASSERT_EQ(m_notifier.StartAdaptorNotifyThread(), 1);
    m_clock.RunUntilIdle();
    ASSERT_EQ(hold.Waiting(), 1u);

    // The window exists: the stop's WM_CLOSE waits for a thread that is not in its loop yet.
    CallThread stop([this] { return m_notifier.StopAdaptorNotifyThread(); });
    m_clock.RunUntilIdle();
    EXPECT_FALSE(stop.Done());

    hold.Release();
    stop.Join();
    EXPECT_EQ(stop.Result(), 1);
    EXPECT_TRUE(ExistingWindows().empty());
    EXPECT_EQ(PowerSettingRegistrationCount(), 0u);
}

TEST_F(AdaptorNotify, Destructor_StopsARunningThread)
{
    {
        CAdaptorNotify notifier;
        ASSERT_EQ(notifier.StartAdaptorNotifyThread(), 1);
        m_clock.RunUntilIdle();
        EXPECT_EQ(ExistingWindows().size(), 1u);
    }
    EXPECT_TRUE(ExistingWindows().empty());
    EXPECT_FALSE(RegisteredClass(kClassName).has_value());
}

}  // namespace
