// The file callback that a device callback object implements: a client's handle is being closed.
//
// Thread safety: may run beside other callbacks of the device.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"
#include "platform/wdf/file.h"

PLATFORM_API_BEGIN

struct IFileCallbackCleanup : IUnknown {
    using base_interface = IUnknown;
    virtual void STDMETHODCALLTYPE OnCleanupFile(IWDFFile* pWdfFileObject) = 0;

protected:
    ~IFileCallbackCleanup() = default;
};
PLATFORM_INTERFACE_ID(IFileCallbackCleanup, "639DFDD5-55FA-4F20-BAA5-72C9F38AA7F4");
PLATFORM_API_END
