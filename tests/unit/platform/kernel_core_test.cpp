#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/critical_section.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/module.h"
#include "platform/kernel/synch.h"
#include "platform/kernel/time.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"

namespace {

using namespace std::chrono_literals;
using platform::testing::ScopedFaults;
using platform::testing::ScopedVirtualClock;

class Kernel : public ::testing::Test {
protected:
    ScopedVirtualClock m_clock;
    ScopedFaults m_faults;
};

TEST_F(Kernel, NamedEventsShareOneNamespace)
{
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, u"Kernel.Named");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = CreateEventW(nullptr, TRUE, TRUE, u"Kernel.Named");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(first, second);

    // The second handle names the first event: auto-reset, initially clear.
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);  // the wait reset it

    // The name lives while a handle does.
    ASSERT_TRUE(CloseHandle(first));
    HANDLE third = CreateEventW(nullptr, FALSE, FALSE, u"Kernel.Named");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(second);
    CloseHandle(third);
    HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, u"Kernel.Named");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(fresh);
}

TEST_F(Kernel, ManualResetEventStaysSignalledUntilReset)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_F(Kernel, BadHandlesFailCleanly)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(nullptr, INFINITE), WAIT_FAILED);
}

TEST_F(Kernel, TimedWaitEndsWhenTheVirtualClockReachesItsDeadline)
{
    struct Context {
        HANDLE event;
        std::atomic<DWORD> result{0xDEAD};
    } context{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Context*>(p);
            c->result = WaitForSingleObject(c->event, 1000);
            return 7;
        },
        &context, 0, nullptr);
    ASSERT_NE(thread, nullptr);

    m_clock.AdvanceBy(999ms);
    EXPECT_EQ(context.result.load(), 0xDEADu);
    m_clock.AdvanceBy(1ms);
    EXPECT_EQ(context.result.load(), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 7u);
    CloseHandle(thread);
    CloseHandle(context.event);
}

TEST_F(Kernel, SetEventWakesAWaiterBeforeItsDeadline)
{
    struct Context {
        HANDLE event;
        std::atomic<DWORD> result{0xDEAD};
    } context{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Context*>(p);
            c->result = WaitForSingleObject(c->event, INFINITE);
            return 0;
        },
        &context, 0, nullptr);
    m_clock.RunUntilIdle();
    EXPECT_EQ(context.result.load(), 0xDEADu);
    SetEvent(context.event);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(context.result.load(), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(context.event);
}

TEST_F(Kernel, AClosedHandleKeepsTheObjectAliveForItsWaiter)
{
    struct Context {
        HANDLE event;
        std::atomic<DWORD> result{0xDEAD};
    } context{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    HANDLE second = nullptr;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Context*>(p);
            c->result = WaitForSingleObject(c->event, 500);
            return 0;
        },
        &context, 0, nullptr);
    m_clock.RunUntilIdle();
    EXPECT_TRUE(CloseHandle(context.event));
    m_clock.AdvanceBy(500ms);
    EXPECT_EQ(context.result.load(), WAIT_TIMEOUT);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    (void)second;
}

TEST_F(Kernel, EachTimeSourceReadsTheVirtualClock)
{
    LARGE_INTEGER frequency{}, before{}, after{};
    QueryPerformanceFrequency(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    QueryPerformanceCounter(&before);
    const ULONGLONG tickBefore = GetTickCount64();
    FILETIME ftBefore{};
    GetSystemTimeAsFileTime(&ftBefore);

    m_clock.AdvanceBy(1500us);
    QueryPerformanceCounter(&after);
    EXPECT_EQ(after.QuadPart - before.QuadPart, 15'000);
    m_clock.AdvanceBy(8500us);
    EXPECT_EQ(GetTickCount64() - tickBefore, 10u);
    FILETIME ftAfter{};
    GetSystemTimeAsFileTime(&ftAfter);
    const auto ticks = [](FILETIME ft) { return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; };
    EXPECT_EQ(ticks(ftAfter) - ticks(ftBefore), 100'000u);
}

TEST_F(Kernel, ReadStepLetsABusyWaitFinish)
{
    platform::testing::VirtualClock::SetReadStep(1ms);
    LARGE_INTEGER start{}, now{};
    QueryPerformanceCounter(&start);
    int reads = 0;
    do {
        QueryPerformanceCounter(&now);
        ++reads;
    } while (now.QuadPart - start.QuadPart < 5 * 10'000'000LL);
    EXPECT_EQ(reads, 5000);
}

TEST_F(Kernel, SystemTimeConvertsBothWays)
{
    const SYSTEMTIME st{2026, 12, 2, 8, 15, 11, 17, 250};
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    // 2026-12-08T15:11:17.250Z: Unix time 1796742677.25.
    EXPECT_EQ(ticks, 116'444'736'000'000'000ull + 17'967'426'772'500'000ull);
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 2026);
    EXPECT_EQ(back.wMonth, 12);
    EXPECT_EQ(back.wDay, 8);
    EXPECT_EQ(back.wDayOfWeek, 2);  // a Tuesday
    EXPECT_EQ(back.wHour, 15);
    EXPECT_EQ(back.wMinute, 11);
    EXPECT_EQ(back.wSecond, 17);
    EXPECT_EQ(back.wMilliseconds, 250);

    SYSTEMTIME feb30 = st;
    feb30.wMonth = 2;
    feb30.wDay = 30;
    EXPECT_FALSE(SystemTimeToFileTime(&feb30, &ft));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Kernel, VirtualSystemTimeStartsAtAKnownDate)
{
    SYSTEMTIME st{};
    GetSystemTime(&st);
    EXPECT_EQ(st.wYear, 2026);
    EXPECT_EQ(st.wMonth, 1);
    EXPECT_EQ(st.wDay, 1);
}

TEST_F(Kernel, CheckedCallsFailOnRequest)
{
    platform::testing::FailCall("CreateEventW", 2, ERROR_ACCESS_DENIED, 1);
    HANDLE passed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(passed, nullptr);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    HANDLE again = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(again, nullptr);
    CloseHandle(passed);
    CloseHandle(again);

    platform::testing::FailCall("CreateThread");
    EXPECT_EQ(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(platform::testing::LastInjectedFault(), "CreateThread");

    CRITICAL_SECTION cs;
    platform::testing::FailCall("InitializeCriticalSection");
    EXPECT_FALSE(InitializeCriticalSectionEx(&cs, 0, 0));
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 0));
    DeleteCriticalSection(&cs);
}

TEST_F(Kernel, SystematicInjectionFailsTheNthCheckedCall)
{
    auto flow = [] {
        HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE b = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        const bool ok = a != nullptr && b != nullptr && SetEvent(a);
        if (a) CloseHandle(a);
        if (b) CloseHandle(b);
        return ok;
    };
    platform::testing::StartCountingCheckedCalls();
    ASSERT_TRUE(flow());
    const auto calls = platform::testing::CheckedCallCount();
    EXPECT_EQ(calls, 3u);
    for (std::uint64_t k = 1; k <= calls; ++k) {
        platform::testing::StartCountingCheckedCalls(k);
        EXPECT_FALSE(flow()) << "k = " << k;
    }
}

TEST(CriticalSection, IsRecursiveAndExclusive)
{
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 0));
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    std::atomic<bool> otherGotIt{true};
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&cs) != FALSE; }).join();
    EXPECT_FALSE(otherGotIt);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread([&] {
        otherGotIt = TryEnterCriticalSection(&cs) != FALSE;
        if (otherGotIt) LeaveCriticalSection(&cs);
    }).join();
    EXPECT_TRUE(otherGotIt);
    DeleteCriticalSection(&cs);
}

TEST(PointerEncoding, RoundTripsAndHidesThePointer)
{
    int value = 0;
    PVOID encoded = EncodePointer(&value);
    EXPECT_NE(encoded, static_cast<PVOID>(&value));
    EXPECT_EQ(DecodePointer(encoded), static_cast<PVOID>(&value));
    EXPECT_EQ(DecodePointer(EncodePointer(nullptr)), nullptr);
}

}  // namespace
