// Window classes and windows.
//
// Class names form one namespace for the whole process (compared without regard to ASCII case); the
// instance handle given at registration is recorded but does not qualify the name. A window belongs
// to the thread that created it: only that thread may destroy it, and messages sent to it from other
// threads run on that thread (see message.h). Only top-level windows exist; creation sends no
// WM_NCCREATE or WM_CREATE. Windows that their thread leaves behind are freed when the thread ends,
// without messages.
//
// Thread safety: every function may be called from any thread. Window procedures are never called
// with a platform lock held.
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

struct HWND__;
struct HICON__;
struct HBRUSH__;
struct HMENU__;
using HWND = HWND__*;
using HICON = HICON__*;
using HCURSOR = HICON;
using HBRUSH = HBRUSH__*;
using HMENU = HMENU__*;

using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using ATOM = WORD;

using WNDPROC = LRESULT(CALLBACK*)(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

struct WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
};

// Class styles.
inline constexpr UINT CS_BYTEALIGNWINDOW = 0x2000;

// System colour indices; a class background may be given as a colour index plus one.
inline constexpr int COLOR_WINDOW = 5;

// Window styles.
inline constexpr DWORD WS_DISABLED = 0x08000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;

// ShowWindow commands: SW_HIDE hides the window, every other command shows it.
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOW = 5;

// Registers a class under its name. Returns the class atom, or 0 with the last error:
// ERROR_INVALID_PARAMETER for a missing class, name or procedure or negative extra bytes,
// ERROR_CLASS_ALREADY_EXISTS when the name is taken. A checked call.
ATOM RegisterClassW(const WNDCLASSW* lpWndClass);

// Removes a class. FALSE with ERROR_CLASS_DOES_NOT_EXIST for an unknown name, or
// ERROR_CLASS_HAS_WINDOWS while a window of the class exists.
BOOL UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance);

// Creates a top-level window of a registered class, owned by the calling thread; visible when the
// style holds WS_VISIBLE. NULL with the last error: ERROR_CANNOT_FIND_WND_CLASS for an unknown
// class, ERROR_INVALID_PARAMETER for a parent window (child windows do not exist). A checked call.
HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam);

// The first window (in creation order) of the class, and of the title when one is given; a null
// class matches every class. NULL when none exists.
HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName);

// Shows or hides the window. Returns TRUE when it was visible before, FALSE when it was hidden or
// the handle names no window (the last error is then ERROR_INVALID_WINDOW_HANDLE).
BOOL ShowWindow(HWND hWnd, int nCmdShow);

// Sends WM_DESTROY to the window, then frees it; messages still waiting to be sent to it are
// answered 0 with ERROR_INVALID_WINDOW_HANDLE. FALSE with ERROR_INVALID_WINDOW_HANDLE for no
// window (or one already being destroyed), ERROR_ACCESS_DENIED from a thread that does not own it.
BOOL DestroyWindow(HWND hWnd);

// The default handling of a message: WM_CLOSE destroys the window; every message gives 0.
LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
PLATFORM_API_END
