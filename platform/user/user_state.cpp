#include "user/user_state.h"

#include <vector>

#include "core/clock.h"
#include "core/wait.h"
#include "platform/kernel/synch.h"
#include "platform/win32_error.h"
#include "platform_testing/windows.h"

namespace platform::detail {
namespace {

// Ends the thread's queue when the thread ends. Guarded by KernelLock() (read and written only by
// its own thread, under the lock, so that other threads see a consistent queue).
struct ThreadQueue {
    std::shared_ptr<MessageQueue> queue;
    ~ThreadQueue();
};
thread_local ThreadQueue t_queue;

ThreadQueue::~ThreadQueue()
{
    if (!queue) return;
    std::lock_guard lock(KernelLock());
    std::vector<std::shared_ptr<Window>> owned;
    for (const auto& [value, window] : WindowsLocked()) {
        if (window->queue == queue) owned.push_back(window);
    }
    for (const auto& window : owned) FreeWindowLocked(*window);
    for (const auto& message : queue->sent) CompleteLocked(*message, 0, ERROR_INVALID_WINDOW_HANDLE);
    queue->sent.clear();
    queue->posted.clear();
    WakeWaitersLocked();
}

std::uintptr_t g_nextWindowHandle = 0x10010;  // guarded by KernelLock()

struct CallHold {
    bool held = false;
    std::size_t waiting = 0;
};
// Guarded by KernelLock().
std::map<std::string, CallHold, std::less<>>& CallHoldsLocked()
{
    static auto* holds = new std::map<std::string, CallHold, std::less<>>;
    return *holds;
}

}  // namespace

std::u16string FoldClassName(std::u16string_view name)
{
    std::u16string folded(name);
    for (auto& c : folded) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return folded;
}

std::map<std::u16string, std::shared_ptr<WindowClass>>& ClassesLocked()
{
    static auto* classes = new std::map<std::u16string, std::shared_ptr<WindowClass>>;
    return *classes;
}

std::map<std::uintptr_t, std::shared_ptr<Window>>& WindowsLocked()
{
    static auto* windows = new std::map<std::uintptr_t, std::shared_ptr<Window>>;
    return *windows;
}

std::shared_ptr<Window> FindWindowLocked(HWND hwnd)
{
    const auto& windows = WindowsLocked();
    const auto it = windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return it == windows.end() ? nullptr : it->second;
}

HWND NextWindowHandleLocked()
{
    const std::uintptr_t value = g_nextWindowHandle;
    g_nextWindowHandle += 0x10;
    return reinterpret_cast<HWND>(value);
}

std::shared_ptr<MessageQueue> CurrentQueueLocked()
{
    if (!t_queue.queue) t_queue.queue = std::make_shared<MessageQueue>();
    return t_queue.queue;
}

std::shared_ptr<MessageQueue> CurrentQueueIfAnyLocked() { return t_queue.queue; }

void CompleteLocked(SentMessage& message, LRESULT result, DWORD error)
{
    message.done = true;
    message.result = result;
    message.error = error;
    WakeWaitersLocked();
}

void RunNextSentMessageLocked(std::unique_lock<std::mutex>& lock, MessageQueue& queue)
{
    const std::shared_ptr<SentMessage> message = queue.sent.front();
    queue.sent.pop_front();
    const auto window = FindWindowLocked(message->hwnd);
    if (!window) {
        CompleteLocked(*message, 0, ERROR_INVALID_WINDOW_HANDLE);
        return;
    }
    const WNDPROC procedure = window->windowClass->fields.lpfnWndProc;
    lock.unlock();
    const LRESULT result = procedure(message->hwnd, message->message, message->wParam, message->lParam);
    lock.lock();
    CompleteLocked(*message, result, ERROR_SUCCESS);
}

void FreeWindowLocked(const Window& window)
{
    auto& sent = window.queue->sent;
    for (auto it = sent.begin(); it != sent.end();) {
        if ((*it)->hwnd == window.hwnd) {
            CompleteLocked(**it, 0, ERROR_INVALID_WINDOW_HANDLE);
            it = sent.erase(it);
        } else {
            ++it;
        }
    }
    --window.windowClass->windows;
    WindowsLocked().erase(reinterpret_cast<std::uintptr_t>(window.hwnd));
    WakeWaitersLocked();
}

void PassCallHold(std::string_view function)
{
    std::unique_lock lock(KernelLock());
    auto& holds = CallHoldsLocked();
    const auto it = holds.find(function);
    if (it == holds.end() || !it->second.held) return;
    CallHold& hold = it->second;  // entries are never erased
    ++hold.waiting;
    const std::function<bool()> released = [&hold] { return !hold.held; };
    BlockUntil(lock, released, kNever);
    --hold.waiting;
}

}  // namespace platform::detail

namespace platform::testing {

using namespace platform::detail;

std::vector<WindowInfo> ExistingWindows()
{
    std::lock_guard lock(KernelLock());
    std::vector<WindowInfo> windows;
    for (const auto& [value, w] : WindowsLocked()) {
        windows.push_back({w->hwnd, w->windowClass->name, w->title, w->style, w->exStyle, w->x, w->y, w->width,
                           w->height, w->visible, w->ownerThreadId});
    }
    return windows;
}

std::optional<WNDCLASSW> RegisteredClass(std::u16string_view name)
{
    std::lock_guard lock(KernelLock());
    const auto& classes = ClassesLocked();
    const auto it = classes.find(FoldClassName(name));
    if (it == classes.end()) return std::nullopt;
    return it->second->fields;
}

void HoldCall(std::string_view function)
{
    std::lock_guard lock(KernelLock());
    auto& holds = CallHoldsLocked();
    auto it = holds.find(function);
    if (it == holds.end()) it = holds.emplace(std::string(function), CallHold{}).first;
    it->second.held = true;
}

void ReleaseCall(std::string_view function)
{
    std::lock_guard lock(KernelLock());
    auto& holds = CallHoldsLocked();
    const auto it = holds.find(function);
    if (it == holds.end()) return;
    it->second.held = false;
    WakeWaitersLocked();
}

std::size_t ThreadsHeldAt(std::string_view function)
{
    std::lock_guard lock(KernelLock());
    const auto& holds = CallHoldsLocked();
    const auto it = holds.find(function);
    return it == holds.end() ? 0 : it->second.waiting;
}

}  // namespace platform::testing
