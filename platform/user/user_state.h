// The window manager's process-wide state: window classes, windows, and the message queue of each
// thread that has one.
//
// Thread safety: every field below is guarded by KernelLock() (core/wait.h), so that message waits
// block through BlockUntil and every change that can satisfy a waiter calls WakeWaitersLocked().
// Window procedures are always called with the lock released.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/user/message.h"
#include "platform/user/window.h"

namespace platform::detail {

// A message sent to a window of another thread. The sender waits for `done`; a notification that
// nobody waits for owns the data its lParam points to in `payload`.
struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::shared_ptr<const void> payload;
    bool done = false;
    LRESULT result = 0;
    DWORD error = 0;  // ERROR_SUCCESS, or why the message never ran
};

struct MessageQueue {
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::deque<MSG> posted;
    bool quitPosted = false;
    int quitCode = 0;
};

struct WindowClass {
    std::u16string name;  // as registered
    WNDCLASSW fields{};   // the name pointers are not kept
    ATOM atom = 0;
    std::size_t windows = 0;
};

struct Window {
    HWND hwnd = nullptr;
    std::shared_ptr<WindowClass> windowClass;
    std::u16string title;
    DWORD style = 0;
    DWORD exStyle = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool visible = false;
    bool destroying = false;  // WM_DESTROY is running
    std::shared_ptr<MessageQueue> queue;  // the owning thread's
    DWORD ownerThreadId = 0;
};

// Class names compare without regard to ASCII case; the key is the folded name.
std::u16string FoldClassName(std::u16string_view name);
std::map<std::u16string, std::shared_ptr<WindowClass>>& ClassesLocked();

// Windows by handle value; handle values grow and are never reused, so this is creation order.
std::map<std::uintptr_t, std::shared_ptr<Window>>& WindowsLocked();
std::shared_ptr<Window> FindWindowLocked(HWND hwnd);
HWND NextWindowHandleLocked();

// The calling thread's queue: made on first use, or null while it has none. The queue ends with its
// thread: the thread's windows are freed and messages still waiting to be sent are answered 0.
std::shared_ptr<MessageQueue> CurrentQueueLocked();
std::shared_ptr<MessageQueue> CurrentQueueIfAnyLocked();

// Marks a sent message as answered and wakes its sender.
void CompleteLocked(SentMessage& message, LRESULT result, DWORD error);
// Runs the first sent message of the calling thread's queue; releases the lock around the window
// procedure.
void RunNextSentMessageLocked(std::unique_lock<std::mutex>& lock, MessageQueue& queue);
// Removes the window, and answers the messages still waiting to be sent to it.
void FreeWindowLocked(const Window& window);

// Test control: a call named `function` that is held (platform_testing/windows.h) makes its caller
// wait here, at the call's start, until the hold is released.
void PassCallHold(std::string_view function);

}  // namespace platform::detail
