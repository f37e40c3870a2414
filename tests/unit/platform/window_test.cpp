#include <gtest/gtest.h>

#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/user/message.h"
#include "platform/user/window.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "platform_testing/windows.h"
#include "support/window_test_kit.h"

namespace {

using platform::testing::ScopedFaults;
using platform::testing::ScopedVirtualClock;
using test_support::MessageLog;
using test_support::RecordingWndProc;
using test_support::ScopedRecordingClass;
using test_support::WindowThread;

constexpr WCHAR kClass[] = u"Test.Window";

WNDCLASSW RecordingClass(LPCWSTR name)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = RecordingWndProc;
    windowClass.lpszClassName = name;
    return windowClass;
}

HWND CreateTestWindow(LPCWSTR className, LPCWSTR title = nullptr, DWORD style = 0)
{
    return CreateWindowExW(0, className, title, style, 1, 2, 3, 4, nullptr, nullptr, nullptr, nullptr);
}

class WindowClasses : public ::testing::Test {
protected:
    ScopedVirtualClock m_clock;
    ScopedFaults m_faults;
};

TEST_F(WindowClasses, RegisterClassW_NameIsTakenForTheWholeProcess)
{
    const WNDCLASSW windowClass = RecordingClass(kClass);
    ASSERT_NE(RegisterClassW(&windowClass), 0);

    SetLastError(0);
    EXPECT_EQ(RegisterClassW(&windowClass), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    const WNDCLASSW otherCase = RecordingClass(u"TEST.window");
    EXPECT_EQ(RegisterClassW(&otherCase), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

    // Another thread meets the same name.
    struct Result {
        ATOM atom = 1;
        DWORD error = 0;
    } result;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* r = static_cast<Result*>(p);
            const WNDCLASSW again = RecordingClass(kClass);
            r->atom = RegisterClassW(&again);
            r->error = GetLastError();
            return 0;
        },
        &result, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(result.atom, 0);
    EXPECT_EQ(result.error, ERROR_CLASS_ALREADY_EXISTS);

    ASSERT_TRUE(UnregisterClassW(kClass, nullptr));
    EXPECT_NE(RegisterClassW(&windowClass), 0);
    EXPECT_TRUE(UnregisterClassW(kClass, nullptr));
}

TEST_F(WindowClasses, RegisterClassW_RejectsIncompleteClasses)
{
    EXPECT_EQ(RegisterClassW(nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    WNDCLASSW noName = RecordingClass(nullptr);
    WNDCLASSW emptyName = RecordingClass(u"");
    WNDCLASSW noProcedure = RecordingClass(kClass);
    noProcedure.lpfnWndProc = nullptr;
    WNDCLASSW negativeExtra = RecordingClass(kClass);
    negativeExtra.cbWndExtra = -1;
    for (const WNDCLASSW* windowClass : {&noName, &emptyName, &noProcedure, &negativeExtra}) {
        SetLastError(0);
        EXPECT_EQ(RegisterClassW(windowClass), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_FALSE(platform::testing::RegisteredClass(kClass).has_value());
}

TEST_F(WindowClasses, UnregisterClassW_FailsWhileAWindowOfTheClassExists)
{
    const WNDCLASSW windowClass = RecordingClass(kClass);
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    const HWND window = CreateTestWindow(kClass);
    ASSERT_NE(window, nullptr);

    EXPECT_FALSE(UnregisterClassW(kClass, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(UnregisterClassW(kClass, nullptr));
    EXPECT_FALSE(UnregisterClassW(kClass, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
}

TEST_F(WindowClasses, CheckedCallsFailWhenTold)
{
    const WNDCLASSW windowClass = RecordingClass(kClass);
    platform::testing::FailCall("RegisterClassW");
    EXPECT_EQ(RegisterClassW(&windowClass), 0);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);

    ASSERT_NE(RegisterClassW(&windowClass), 0);
    platform::testing::FailCall("CreateWindowExW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateTestWindow(kClass), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(platform::testing::ExistingWindows().empty());
    EXPECT_TRUE(UnregisterClassW(kClass, nullptr));
}

class Windows : public ::testing::Test {
protected:
    ScopedVirtualClock m_clock;
    ScopedFaults m_faults;
    ScopedRecordingClass m_class{kClass};
};

TEST_F(Windows, CreateWindowExW_NeedsARegisteredClassAndNoParent)
{
    EXPECT_EQ(CreateTestWindow(u"Test.NoSuchClass"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
    EXPECT_EQ(CreateTestWindow(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);

    const HWND window = CreateTestWindow(kClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, window, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    const auto windows = platform::testing::ExistingWindows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].hwnd, window);
    EXPECT_EQ(windows[0].className, kClass);
    EXPECT_EQ(windows[0].ownerThreadId, GetCurrentThreadId());
    EXPECT_EQ(windows[0].x, 1);
    EXPECT_EQ(windows[0].height, 4);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(Windows, FindWindowW_MatchesTheClassAndTheTitleWhenGiven)
{
    const HWND one = CreateTestWindow(kClass, u"one");
    const HWND two = CreateTestWindow(kClass, u"two");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);

    EXPECT_EQ(FindWindowW(kClass, nullptr), one);
    EXPECT_EQ(FindWindowW(u"test.WINDOW", nullptr), one);
    EXPECT_EQ(FindWindowW(kClass, u"two"), two);
    EXPECT_EQ(FindWindowW(nullptr, u"two"), two);
    EXPECT_EQ(FindWindowW(kClass, u"three"), nullptr);
    EXPECT_EQ(FindWindowW(u"Test.Other", nullptr), nullptr);

    ASSERT_TRUE(DestroyWindow(one));
    EXPECT_EQ(FindWindowW(kClass, nullptr), two);
    ASSERT_TRUE(DestroyWindow(two));
    EXPECT_EQ(FindWindowW(kClass, nullptr), nullptr);
}

TEST_F(Windows, DestroyWindow_SendsWmDestroyThenFreesTheWindow)
{
    const HWND window = CreateTestWindow(kClass);
    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_EQ(MessageLog::Instance().MessagesOf(window), std::vector<UINT>{WM_DESTROY});
    EXPECT_EQ(FindWindowW(kClass, nullptr), nullptr);

    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(ShowWindow(window, SW_SHOW));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

    // The recording procedure posted a quit from WM_DESTROY.
    MSG message{};
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0);
    EXPECT_EQ(message.message, WM_QUIT);
}

TEST_F(Windows, DestroyWindow_FromAnotherThreadIsRefused)
{
    WindowThread owner(kClass);
    EXPECT_FALSE(DestroyWindow(owner.Window()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(FindWindowW(kClass, nullptr), owner.Window());
    EXPECT_TRUE(MessageLog::Instance().MessagesOf(owner.Window()).empty());
}

}  // namespace
