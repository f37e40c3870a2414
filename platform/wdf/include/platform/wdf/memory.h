// A memory object of the host: the buffer of an I/O request.
//
// Thread safety: the buffer belongs to the request's handler until the request is completed.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

struct IWDFMemory : IUnknown {
    using base_interface = IUnknown;
    // The buffer and, when pSize is not null, its length in bytes. Null for an empty buffer.
    virtual void* STDMETHODCALLTYPE GetDataBuffer(SIZE_T* pSize) = 0;

protected:
    ~IWDFMemory() = default;
};
PLATFORM_INTERFACE_ID(IWDFMemory, "6740D16C-1D36-45C6-9C2B-6CDD00B21AA7");
PLATFORM_API_END
