// The callback that an I/O queue's callback object implements for device I/O control requests.
//
// Thread safety: a parallel queue calls it on several threads at once. The handler completes the
// request, or hands it to someone who will.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"
#include "platform/wdf/io_queue.h"
#include "platform/wdf/io_request.h"

PLATFORM_API_BEGIN

struct IQueueCallbackDeviceIoControl : IUnknown {
    using base_interface = IUnknown;
    virtual void STDMETHODCALLTYPE OnDeviceIoControl(IWDFIoQueue* pWdfQueue, IWDFIoRequest* pWdfRequest,
                                                     ULONG ControlCode, SIZE_T InputBufferSizeInBytes,
                                                     SIZE_T OutputBufferSizeInBytes) = 0;

protected:
    ~IQueueCallbackDeviceIoControl() = default;
};
PLATFORM_INTERFACE_ID(IQueueCallbackDeviceIoControl, "83A4011A-7FFA-45F6-832D-24F0FB038EC4");
PLATFORM_API_END
