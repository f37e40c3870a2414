// Window messages and each thread's message queue.
//
// A thread gets a message queue when it first creates a window or uses its queue. Messages sent to
// a window of another thread wait in that thread's queue and run on it, inside its GetMessageW,
// while the sender waits; a thread waiting in SendMessageW runs the messages sent to its own
// windows in the meantime, so two threads sending to each other do not deadlock. Sent messages run
// before posted ones; WM_QUIT comes after every posted message.
//
// Every wait here goes through the platform's one blocking mechanism, so the virtual clock counts
// a thread waiting in GetMessageW or SendMessageW as blocked.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include "platform/export.h"
#include "platform/types.h"
#include "platform/user/window.h"

PLATFORM_API_BEGIN

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;  // tick count, in milliseconds, when the message was posted
    POINT pt;
};
using LPMSG = MSG*;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_USER = 0x0400;

// Calls the window procedure and returns its result: directly on the owning thread, else on the
// owning thread inside its GetMessageW while the caller waits. 0 with ERROR_INVALID_WINDOW_HANDLE
// when the window does not exist, or stops existing (or its thread ends) before the message ran.
LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// Queues the message for the window's thread and returns at once. FALSE with
// ERROR_INVALID_WINDOW_HANDLE when the window does not exist.
BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// Asks the calling thread's message loop to end: GetMessageW returns 0 with WM_QUIT (wParam the
// exit code) once the posted messages before it are taken.
void PostQuitMessage(int nExitCode);

// Waits for the next posted message of the calling thread, running sent messages meanwhile.
// Returns 0 for WM_QUIT, nonzero for another message, and -1 (ERROR_INVALID_PARAMETER) for a null
// message or a filter: only hWnd NULL with the range 0, 0 (every message) is supported.
BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);

// There are no keyboard messages to translate: returns FALSE.
BOOL TranslateMessage(const MSG* lpMsg);

// Calls the procedure of the message's window and returns its result; 0 when the window does not
// exist.
LRESULT DispatchMessageW(const MSG* lpMsg);
PLATFORM_API_END
