#include <set>

#include "core/fault_injection.h"
#include "core/wait.h"
#include "platform/kernel/last_error.h"
#include "platform/user/window.h"
#include "user/user_state.h"

using namespace platform::detail;

namespace {

constexpr ATOM kFirstClassAtom = 0xC000;
constexpr ATOM kLastClassAtom = 0xFFFF;

// The lowest atom no registered class uses, or 0 when every one is taken.
ATOM FreeAtomLocked()
{
    std::set<ATOM> used;
    for (const auto& [key, windowClass] : ClassesLocked()) used.insert(windowClass->atom);
    for (ATOM atom = kFirstClassAtom;; ++atom) {
        if (!used.contains(atom)) return atom;
        if (atom == kLastClassAtom) return 0;
    }
}

}  // namespace

ATOM RegisterClassW(const WNDCLASSW* lpWndClass)
{
    if (const auto error = CheckFault("RegisterClassW", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return 0;
    }
    if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr || lpWndClass->lpszClassName[0] == u'\0' ||
        lpWndClass->lpfnWndProc == nullptr || lpWndClass->cbClsExtra < 0 || lpWndClass->cbWndExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto windowClass = std::make_shared<WindowClass>();
    windowClass->name = lpWndClass->lpszClassName;
    windowClass->fields = *lpWndClass;
    windowClass->fields.lpszClassName = nullptr;
    windowClass->fields.lpszMenuName = nullptr;

    std::unique_lock lock(KernelLock());
    auto& classes = ClassesLocked();
    const std::u16string key = FoldClassName(windowClass->name);
    DWORD error = ERROR_SUCCESS;
    if (classes.contains(key)) {
        error = ERROR_CLASS_ALREADY_EXISTS;
    } else if ((windowClass->atom = FreeAtomLocked()) == 0) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        classes.emplace(key, windowClass);
    }
    lock.unlock();
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    return windowClass->atom;
}

BOOL UnregisterClassW(LPCWSTR lpClassName, HINSTANCE)
{
    if (lpClassName == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    std::unique_lock lock(KernelLock());
    auto& classes = ClassesLocked();
    const auto it = classes.find(FoldClassName(lpClassName));
    DWORD error = ERROR_SUCCESS;
    if (it == classes.end()) {
        error = ERROR_CLASS_DOES_NOT_EXIST;
    } else if (it->second->windows != 0) {
        error = ERROR_CLASS_HAS_WINDOWS;
    } else {
        classes.erase(it);
    }
    lock.unlock();
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
