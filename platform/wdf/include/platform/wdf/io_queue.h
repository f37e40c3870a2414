// An I/O queue of the host device.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

struct IWDFIoQueue : IUnknown {
    using base_interface = IUnknown;
    // Completes every request waiting in the queue as cancelled, stops the queue from accepting
    // new ones, and returns when the requests already handed to the driver are done.
    virtual void STDMETHODCALLTYPE PurgeSynchronously() = 0;
    // Lets the queue accept and deliver requests again.
    virtual void STDMETHODCALLTYPE Start() = 0;

protected:
    ~IWDFIoQueue() = default;
};
PLATFORM_INTERFACE_ID(IWDFIoQueue, "E3025EA2-1BDD-4B63-A4D5-2087C9FDE3D1");
PLATFORM_API_END
