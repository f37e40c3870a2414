#include "platform/kernel/critical_section.h"

#include <mutex>
#include <new>

#include "core/fault_injection.h"
#include "platform/com/hresult.h"
#include "platform/kernel/last_error.h"

namespace {

std::recursive_mutex& Lock(LPCRITICAL_SECTION cs) { return *static_cast<std::recursive_mutex*>(cs->impl); }

BOOL Initialize(LPCRITICAL_SECTION cs)
{
    if (const auto error = platform::detail::CheckFault("InitializeCriticalSection", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return FALSE;
    }
    cs->impl = new (std::nothrow) std::recursive_mutex;
    if (cs->impl == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD) { return Initialize(cs); }

BOOL InitializeCriticalSectionEx(LPCRITICAL_SECTION cs, DWORD, DWORD) { return Initialize(cs); }

void InitializeCriticalSection(LPCRITICAL_SECTION cs) { cs->impl = new std::recursive_mutex; }

void EnterCriticalSection(LPCRITICAL_SECTION cs) { Lock(cs).lock(); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) { return Lock(cs).try_lock() ? TRUE : FALSE; }

void LeaveCriticalSection(LPCRITICAL_SECTION cs) { Lock(cs).unlock(); }

void DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    delete static_cast<std::recursive_mutex*>(cs->impl);
    cs->impl = nullptr;
}
