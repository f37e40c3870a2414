#include <gtest/gtest.h>

#include <atomic>

#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/user/message.h"
#include "platform/user/window.h"
#include "platform_testing/virtual_clock.h"
#include "support/window_test_kit.h"

namespace {

using platform::testing::ScopedVirtualClock;
using test_support::kAskBack;
using test_support::kEcho;
using test_support::kQuitCode;
using test_support::MessageLog;
using test_support::ScopedRecordingClass;
using test_support::WindowThread;

constexpr WCHAR kClass[] = u"Test.Messages";

// Sends one message from a platform thread of its own, so that the test can watch the sender wait.
class Sender {
public:
    Sender(HWND hwnd, UINT message, WPARAM wParam) : m_hwnd(hwnd), m_message(message), m_wParam(wParam)
    {
        m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~Sender() { Join(); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    bool Done() const { return m_done.load(); }
    void Join()
    {
        if (m_thread == nullptr) return;
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    LRESULT Result() const { return m_result; }
    DWORD Error() const { return m_error; }

private:
    static DWORD WINAPI Run(LPVOID parameter)
    {
        auto* self = static_cast<Sender*>(parameter);
        SetLastError(ERROR_SUCCESS);
        self->m_result = SendMessageW(self->m_hwnd, self->m_message, self->m_wParam, 0);
        self->m_error = GetLastError();
        self->m_done.store(true);
        return 0;
    }

    HWND m_hwnd;
    UINT m_message;
    WPARAM m_wParam;
    HANDLE m_thread = nullptr;
    std::atomic<bool> m_done{false};
    LRESULT m_result = -1;
    DWORD m_error = 0;
};

// A window owner that waits for `go` and then destroys its window (or, with destroy false, simply
// ends), without ever running a message loop.
struct SilentOwner {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool destroy = true;
    HWND window = nullptr;
    HANDLE thread = nullptr;

    explicit SilentOwner(bool destroyWindow) : destroy(destroyWindow)
    {
        thread = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto* self = static_cast<SilentOwner*>(p);
                self->window =
                    CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
                SetEvent(self->ready);
                WaitForSingleObject(self->go, INFINITE);
                if (self->destroy) DestroyWindow(self->window);
                return 0;
            },
            this, 0, nullptr);
        WaitForSingleObject(ready, INFINITE);
    }
    ~SilentOwner()
    {
        SetEvent(go);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(ready);
        CloseHandle(go);
    }
};

class Messages : public ::testing::Test {
protected:
    ScopedVirtualClock m_clock;
    ScopedRecordingClass m_class{kClass};
};

TEST_F(Messages, SendMessageW_OnTheOwningThreadCallsTheProcedureDirectly)
{
    const HWND window = CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(SendMessageW(window, kEcho, 21, 0), 42);
    const auto received = MessageLog::Instance().Of(window, kEcho);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].threadId, GetCurrentThreadId());
    DestroyWindow(window);
}

TEST_F(Messages, SendMessageW_FromAnotherThreadRunsOnTheOwnerInsideItsGetMessageW)
{
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WindowThread owner(kClass, {.startPumping = go});
    Sender sender(owner.Window(), kEcho, 21);

    // The owner is not in GetMessageW yet: the sender waits, and counts as blocked.
    m_clock.RunUntilIdle();
    EXPECT_FALSE(sender.Done());
    EXPECT_TRUE(MessageLog::Instance().Of(owner.Window(), kEcho).empty());

    SetEvent(go);
    sender.Join();
    EXPECT_EQ(sender.Result(), 42);
    const auto received = MessageLog::Instance().Of(owner.Window(), kEcho);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].threadId, owner.ThreadId());
    owner.Close();
    CloseHandle(go);
}

TEST_F(Messages, SendMessageW_ThreadsSendingToEachOtherDoNotDeadlock)
{
    WindowThread first(kClass);
    WindowThread second(kClass);
    // first asks second, which sends back to first while first waits for second: 5*2 + 1 + 1.
    EXPECT_EQ(SendMessageW(first.Window(), kAskBack, 0, reinterpret_cast<LPARAM>(second.Window())), 12);
    const auto echoed = MessageLog::Instance().Of(first.Window(), kEcho);
    ASSERT_EQ(echoed.size(), 1u);
    EXPECT_EQ(echoed[0].threadId, first.ThreadId());
}

TEST_F(Messages, SendMessageW_ToNoWindowGivesZeroWithAnError)
{
    const HWND window = CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(DestroyWindow(window));
    SetLastError(0);
    EXPECT_EQ(SendMessageW(window, kEcho, 21, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SendMessageW(nullptr, kEcho, 21, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Messages, SendMessageW_WaitingSenderIsAnsweredWhenTheWindowIsDestroyed)
{
    SilentOwner owner(true);
    Sender sender(owner.window, kEcho, 21);
    m_clock.RunUntilIdle();
    EXPECT_FALSE(sender.Done());

    SetEvent(owner.go);
    sender.Join();
    EXPECT_EQ(sender.Result(), 0);
    EXPECT_EQ(sender.Error(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(MessageLog::Instance().Of(owner.window, kEcho).empty());
}

TEST_F(Messages, SendMessageW_WaitingSenderIsAnsweredWhenTheOwnerEnds)
{
    SilentOwner owner(false);
    Sender sender(owner.window, kEcho, 21);
    m_clock.RunUntilIdle();
    EXPECT_FALSE(sender.Done());

    SetEvent(owner.go);
    sender.Join();
    EXPECT_EQ(sender.Result(), 0);
    EXPECT_EQ(sender.Error(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Messages, WmCloseDestroysTheWindowAndEndsTheMessageLoop)
{
    WindowThread owner(kClass);
    EXPECT_EQ(SendMessageW(owner.Window(), WM_CLOSE, 0, 0), 0);
    owner.Close();  // returns only once the loop ended

    EXPECT_EQ(MessageLog::Instance().MessagesOf(owner.Window()), (std::vector<UINT>{WM_CLOSE, WM_DESTROY}));
    EXPECT_EQ(MessageLog::Instance().Of(owner.Window(), WM_DESTROY).at(0).threadId, owner.ThreadId());
    EXPECT_EQ(owner.LastGetMessageResult(), 0);
    EXPECT_EQ(owner.QuitCode(), static_cast<WPARAM>(kQuitCode));
    EXPECT_EQ(FindWindowW(kClass, nullptr), nullptr);
}

TEST_F(Messages, PostedMessagesAreDispatchedInOrderBeforeWmQuit)
{
    const HWND window = CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    PostQuitMessage(3);
    ASSERT_TRUE(PostMessageW(window, kEcho, 1, 0));
    ASSERT_TRUE(PostMessageW(window, kEcho, 2, 0));

    MSG message{};
    for (WPARAM expected : {1u, 2u}) {
        ASSERT_GT(GetMessageW(&message, nullptr, 0, 0), 0);
        EXPECT_EQ(message.hwnd, window);
        EXPECT_EQ(message.wParam, expected);
        EXPECT_FALSE(TranslateMessage(&message));
        EXPECT_EQ(DispatchMessageW(&message), static_cast<LRESULT>(2 * expected));
    }
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0);
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(message.wParam, 3u);

    DestroyWindow(window);
    EXPECT_FALSE(PostMessageW(window, kEcho, 1, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    message.hwnd = window;
    EXPECT_EQ(DispatchMessageW(&message), 0);
    // Take the quit that the window's WM_DESTROY posted.
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), 0);
}

TEST_F(Messages, GetMessageW_RejectsANullMessageAndFilters)
{
    MSG message{};
    EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetMessageW(&message, nullptr, 1, 5), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
