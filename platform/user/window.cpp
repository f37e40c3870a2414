#include "platform/user/window.h"

#include "core/fault_injection.h"
#include "core/wait.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/user/message.h"
#include "user/user_state.h"

using namespace platform::detail;

HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU, HINSTANCE, LPVOID)
{
    PassCallHold("CreateWindowExW");
    if (const auto error = CheckFault("CreateWindowExW", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return nullptr;
    }
    if (hWndParent != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lpClassName == nullptr) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    auto window = std::make_shared<Window>();
    window->title = lpWindowName != nullptr ? lpWindowName : u"";
    window->style = dwStyle;
    window->exStyle = dwExStyle;
    window->x = X;
    window->y = Y;
    window->width = nWidth;
    window->height = nHeight;
    window->visible = (dwStyle & WS_VISIBLE) != 0;
    window->ownerThreadId = GetCurrentThreadId();

    std::lock_guard lock(KernelLock());
    const auto& classes = ClassesLocked();
    const auto it = classes.find(FoldClassName(lpClassName));
    if (it == classes.end()) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    window->windowClass = it->second;
    window->queue = CurrentQueueLocked();
    window->hwnd = NextWindowHandleLocked();
    ++window->windowClass->windows;
    WindowsLocked().emplace(reinterpret_cast<std::uintptr_t>(window->hwnd), window);
    return window->hwnd;
}

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName)
{
    const std::u16string folded = lpClassName != nullptr ? FoldClassName(lpClassName) : std::u16string();
    std::lock_guard lock(KernelLock());
    for (const auto& [value, window] : WindowsLocked()) {
        if (lpClassName != nullptr && FoldClassName(window->windowClass->name) != folded) continue;
        if (lpWindowName != nullptr && window->title != lpWindowName) continue;
        return window->hwnd;
    }
    return nullptr;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow)
{
    std::unique_lock lock(KernelLock());
    const auto window = FindWindowLocked(hWnd);
    if (!window) {
        lock.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const bool wasVisible = window->visible;
    window->visible = nCmdShow != SW_HIDE;
    return wasVisible ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND hWnd)
{
    std::unique_lock lock(KernelLock());
    const auto window = FindWindowLocked(hWnd);
    DWORD error = ERROR_SUCCESS;
    if (!window || window->destroying) {
        error = ERROR_INVALID_WINDOW_HANDLE;
    } else if (window->queue != CurrentQueueIfAnyLocked()) {
        error = ERROR_ACCESS_DENIED;
    }
    if (error != ERROR_SUCCESS) {
        lock.unlock();
        SetLastError(error);
        return FALSE;
    }
    window->destroying = true;
    const WNDPROC procedure = window->windowClass->fields.lpfnWndProc;
    lock.unlock();
    procedure(hWnd, WM_DESTROY, 0, 0);
    lock.lock();
    FreeWindowLocked(*window);
    return TRUE;
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM, LPARAM)
{
    if (Msg == WM_CLOSE) DestroyWindow(hWnd);
    return 0;
}
