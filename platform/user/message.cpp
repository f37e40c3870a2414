#include "platform/user/message.h"

#include "core/clock.h"
#include "core/wait.h"
#include "platform/kernel/last_error.h"
#include "user/user_state.h"

using namespace platform::detail;

namespace {

DWORD TickCountLocked() { return static_cast<DWORD>(MonotonicNowLocked() / kTicksPerMillisecond); }

}  // namespace

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::unique_lock lock(KernelLock());
    const auto window = FindWindowLocked(hWnd);
    if (!window) {
        lock.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const std::shared_ptr<MessageQueue> own = CurrentQueueIfAnyLocked();
    if (window->queue == own) {
        const WNDPROC procedure = window->windowClass->fields.lpfnWndProc;
        lock.unlock();
        return procedure(hWnd, Msg, wParam, lParam);
    }

    auto message = std::make_shared<SentMessage>();
    message->hwnd = hWnd;
    message->message = Msg;
    message->wParam = wParam;
    message->lParam = lParam;
    window->queue->sent.push_back(message);
    WakeWaitersLocked();

    // While it waits, the caller runs what other threads send to its own windows.
    const std::function<bool()> answeredOrSentTo = [&message, &own] {
        return message->done || (own && !own->sent.empty());
    };
    for (;;) {
        BlockUntil(lock, answeredOrSentTo, kNever);
        if (message->done) break;
        RunNextSentMessageLocked(lock, *own);
    }
    const LRESULT result = message->result;
    const DWORD error = message->error;
    lock.unlock();
    if (error != ERROR_SUCCESS) SetLastError(error);
    return result;
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::unique_lock lock(KernelLock());
    const auto window = FindWindowLocked(hWnd);
    if (!window) {
        lock.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    window->queue->posted.push_back(MSG{hWnd, Msg, wParam, lParam, TickCountLocked(), POINT{0, 0}});
    WakeWaitersLocked();
    return TRUE;
}

void PostQuitMessage(int nExitCode)
{
    std::lock_guard lock(KernelLock());
    const auto queue = CurrentQueueLocked();
    queue->quitPosted = true;
    queue->quitCode = nExitCode;
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (lpMsg == nullptr || hWnd != nullptr || wMsgFilterMin != 0 || wMsgFilterMax != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::unique_lock lock(KernelLock());
    const std::shared_ptr<MessageQueue> queue = CurrentQueueLocked();
    const std::function<bool()> anything = [&queue] {
        return !queue->sent.empty() || !queue->posted.empty() || queue->quitPosted;
    };
    for (;;) {
        BlockUntil(lock, anything, kNever);
        if (!queue->sent.empty()) {
            RunNextSentMessageLocked(lock, *queue);
        } else if (!queue->posted.empty()) {
            *lpMsg = queue->posted.front();
            queue->posted.pop_front();
            return TRUE;
        } else {
            queue->quitPosted = false;
            *lpMsg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue->quitCode), 0, TickCountLocked(), POINT{0, 0}};
            return FALSE;
        }
    }
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageW(const MSG* lpMsg)
{
    if (lpMsg == nullptr) return 0;
    std::unique_lock lock(KernelLock());
    const auto window = FindWindowLocked(lpMsg->hwnd);
    if (!window || window->queue != CurrentQueueIfAnyLocked()) {
        lock.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const WNDPROC procedure = window->windowClass->fields.lpfnWndProc;
    lock.unlock();
    return procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}
