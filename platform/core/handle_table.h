// The process's handle table: HANDLE values name counted kernel objects.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <memory>

#include "platform/types.h"

namespace platform::detail {

// A kernel object; waitable ones answer under the kernel lock.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // True when a wait on the object is satisfied now; may consume the signal (auto-reset).
    // Called with the kernel lock held. Objects that cannot be waited on answer nothing.
    virtual bool TryAcquireLocked() { return false; }
    virtual bool IsWaitable() const { return false; }
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes the handle; false when it is not open.
bool RemoveHandle(HANDLE handle);
std::size_t OpenHandleCount();

}  // namespace platform::detail
