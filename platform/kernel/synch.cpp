#include "platform/kernel/synch.h"

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/fault_injection.h"
#include "core/handle_table.h"
#include "core/wait.h"
#include "platform/com/hresult.h"
#include "platform/kernel/last_error.h"

namespace platform::detail {
namespace {

class Event final : public KernelObject {
public:
    Event(bool manualReset, bool signalled) : m_manualReset(manualReset), m_signalled(signalled) {}

    bool IsWaitable() const override { return true; }
    bool TryAcquireLocked() override
    {
        if (!m_signalled) return false;
        if (!m_manualReset) m_signalled = false;
        return true;
    }
    void SetLocked(bool signalled) { m_signalled = signalled; }

private:
    const bool m_manualReset;
    bool m_signalled;  // guarded by KernelLock()
};

class Thread final : public KernelObject {
public:
    bool IsWaitable() const override { return true; }
    bool TryAcquireLocked() override { return m_ended; }

    bool m_ended = false;             // guarded by KernelLock()
    DWORD m_exitCode = STILL_ACTIVE;  // guarded by KernelLock()
};

// Named events of the process. Entries expire with their event. Guarded by KernelLock().
std::map<std::u16string, std::weak_ptr<Event>>& EventNames()
{
    static auto* names = new std::map<std::u16string, std::weak_ptr<Event>>;
    return *names;
}

std::atomic<DWORD> g_nextThreadId{1000};
thread_local DWORD t_threadId = 0;

}  // namespace
}  // namespace platform::detail

using namespace platform::detail;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    if (const auto error = CheckFault("CreateEventW", ERROR_NO_SYSTEM_RESOURCES)) {
        SetLastError(*error);
        return nullptr;
    }
    std::shared_ptr<Event> event;
    bool existed = false;
    {
        std::lock_guard lock(KernelLock());
        if (lpName != nullptr) {
            auto& slot = EventNames()[std::u16string(lpName)];
            event = slot.lock();
            existed = event != nullptr;
            if (!existed) {
                event = std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE);
                slot = event;
            }
        } else {
            event = std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE);
        }
    }
    HANDLE handle = InsertHandle(event);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

namespace {
BOOL SetEventState(HANDLE hEvent, bool signalled, std::string_view point)
{
    if (const auto error = CheckFault(point, ERROR_INVALID_HANDLE)) {
        SetLastError(*error);
        return FALSE;
    }
    const auto event = LookupHandleAs<Event>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(KernelLock());
    event->SetLocked(signalled);
    if (signalled) WakeWaitersLocked();
    return TRUE;
}
}  // namespace

BOOL SetEvent(HANDLE hEvent) { return SetEventState(hEvent, true, "SetEvent"); }

BOOL ResetEvent(HANDLE hEvent) { return SetEventState(hEvent, false, "ResetEvent"); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (const auto error = CheckFault("CreateThread", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return nullptr;
    }
    if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    const DWORD id = g_nextThreadId.fetch_add(1);
    {
        std::lock_guard lock(KernelLock());
        PlatformThreadStartedLocked();
    }
    try {
        std::thread([thread, id, lpStartAddress, lpParameter] {
            t_threadId = id;
            MarkCurrentThreadAsPlatformThread();
            const DWORD exitCode = lpStartAddress(lpParameter);
            std::lock_guard lock(KernelLock());
            thread->m_exitCode = exitCode;
            thread->m_ended = true;
            PlatformThreadEndedLocked();
            WakeWaitersLocked();
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(KernelLock());
        PlatformThreadEndedLocked();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = id;
    return InsertHandle(thread);
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    const auto thread = LookupHandleAs<Thread>(hThread);
    if (!thread || lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(KernelLock());
    *lpExitCode = thread->m_exitCode;
    return TRUE;
}

DWORD GetCurrentThreadId()
{
    if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1);
    return t_threadId;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    const auto object = LookupHandle(hHandle);
    if (!object || !object->IsWaitable()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock lock(KernelLock());
    const std::function<bool()> tryAcquire = [&object] { return object->TryAcquireLocked(); };
    return BlockUntil(lock, tryAcquire, DeadlineAfterLocked(dwMilliseconds)) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE hObject)
{
    if (!RemoveHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
