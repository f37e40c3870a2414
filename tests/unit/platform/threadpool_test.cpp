#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/kernel/threadpool.h"
#include "platform/kernel/time.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"

namespace {

using namespace std::chrono_literals;

FILETIME RelativeDue(std::chrono::milliseconds due)
{
    const auto ticks = static_cast<std::uint64_t>(-static_cast<std::int64_t>(due.count()) * 10'000);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

struct Record {
    std::atomic<int> calls{0};
    std::atomic<ULONGLONG> lastTick{0};
    HANDLE release = nullptr;  // when set, the callback waits for it
};

void CALLBACK Count(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER)
{
    auto* record = static_cast<Record*>(context);
    record->lastTick = GetTickCount64();
    if (record->release != nullptr) WaitForSingleObject(record->release, INFINITE);
    ++record->calls;
}

class Threadpool : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pool = CreateThreadpool(nullptr);
        ASSERT_NE(m_pool, nullptr);
        SetThreadpoolThreadMaximum(m_pool, 1);
        ASSERT_TRUE(SetThreadpoolThreadMinimum(m_pool, 1));
        InitializeThreadpoolEnvironment(&m_environment);
        SetThreadpoolCallbackPool(&m_environment, m_pool);
        m_timer = CreateThreadpoolTimer(Count, &m_record, &m_environment);
        ASSERT_NE(m_timer, nullptr);
    }
    void TearDown() override
    {
        SetThreadpoolTimer(m_timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(m_timer, TRUE);
        CloseThreadpoolTimer(m_timer);
        CloseThreadpool(m_pool);
        DestroyThreadpoolEnvironment(&m_environment);
        m_clock.RunUntilIdle();
    }

    platform::testing::ScopedVirtualClock m_clock;
    platform::testing::ScopedFaults m_faults;
    PTP_POOL m_pool = nullptr;
    TP_CALLBACK_ENVIRON m_environment{};
    PTP_TIMER m_timer = nullptr;
    Record m_record;
};

TEST_F(Threadpool, RelativeTimerFiresOnceAtItsDueTime)
{
    const ULONGLONG start = GetTickCount64();
    FILETIME due = RelativeDue(240000ms);
    SetThreadpoolTimer(m_timer, &due, 0, 100);
    EXPECT_TRUE(IsThreadpoolTimerSet(m_timer));

    m_clock.AdvanceBy(239999ms);
    EXPECT_EQ(m_record.calls.load(), 0);
    m_clock.AdvanceBy(1ms);
    EXPECT_EQ(m_record.calls.load(), 1);
    EXPECT_EQ(m_record.lastTick.load() - start, 240000u);
    EXPECT_FALSE(IsThreadpoolTimerSet(m_timer));
    m_clock.AdvanceBy(1000s);
    EXPECT_EQ(m_record.calls.load(), 1);
}

TEST_F(Threadpool, NullDueTimeStopsTheTimer)
{
    FILETIME due = RelativeDue(1000ms);
    SetThreadpoolTimer(m_timer, &due, 0, 0);
    SetThreadpoolTimer(m_timer, nullptr, 0, 0);
    EXPECT_FALSE(IsThreadpoolTimerSet(m_timer));
    m_clock.AdvanceBy(2000ms);
    EXPECT_EQ(m_record.calls.load(), 0);
}

TEST_F(Threadpool, ResettingMovesTheDueTime)
{
    FILETIME late = RelativeDue(5000ms);
    SetThreadpoolTimer(m_timer, &late, 0, 0);
    FILETIME early = RelativeDue(100ms);
    SetThreadpoolTimer(m_timer, &early, 0, 0);
    m_clock.AdvanceBy(100ms);
    EXPECT_EQ(m_record.calls.load(), 1);
    m_clock.AdvanceBy(5000ms);
    EXPECT_EQ(m_record.calls.load(), 1);
}

TEST_F(Threadpool, PeriodicTimerKeepsFiring)
{
    FILETIME due = RelativeDue(10ms);
    SetThreadpoolTimer(m_timer, &due, 20, 0);
    m_clock.AdvanceBy(70ms);
    EXPECT_EQ(m_record.calls.load(), 4);  // at 10, 30, 50 and 70 ms
    EXPECT_TRUE(IsThreadpoolTimerSet(m_timer));
}

TEST_F(Threadpool, WaitForCallbacksWaitsForTheRunningOne)
{
    m_record.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    FILETIME due = RelativeDue(10ms);
    SetThreadpoolTimer(m_timer, &due, 0, 0);
    m_clock.AdvanceBy(10ms);  // the callback now blocks on the release event
    EXPECT_EQ(m_record.calls.load(), 0);

    HANDLE waiter = CreateThread(
        nullptr, 0,
        [](LPVOID timer) -> DWORD {
            WaitForThreadpoolTimerCallbacks(static_cast<PTP_TIMER>(timer), TRUE);
            return 0;
        },
        m_timer, 0, nullptr);
    m_clock.RunUntilIdle();
    EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_TIMEOUT);
    SetEvent(m_record.release);
    EXPECT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(m_record.calls.load(), 1);
    CloseHandle(waiter);
    CloseHandle(m_record.release);
    m_record.release = nullptr;
}

TEST(ThreadpoolFailures, CreationAndMinimumCanFail)
{
    platform::testing::ScopedFaults faults;
    platform::testing::FailCall("CreateThreadpool");
    EXPECT_EQ(CreateThreadpool(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);

    PTP_POOL pool = CreateThreadpool(nullptr);
    ASSERT_NE(pool, nullptr);
    platform::testing::FailCall("SetThreadpoolThreadMinimum");
    EXPECT_FALSE(SetThreadpoolThreadMinimum(pool, 1));
    CloseThreadpool(pool);

    pool = CreateThreadpool(nullptr);
    TP_CALLBACK_ENVIRON environment{};
    InitializeThreadpoolEnvironment(&environment);
    SetThreadpoolCallbackPool(&environment, pool);
    platform::testing::FailCall("CreateThreadpoolTimer");
    EXPECT_EQ(CreateThreadpoolTimer(Count, nullptr, &environment), nullptr);
    TP_CALLBACK_ENVIRON noPool{};
    InitializeThreadpoolEnvironment(&noPool);
    EXPECT_EQ(CreateThreadpoolTimer(Count, nullptr, &noPool), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseThreadpool(pool);
}

}  // namespace
