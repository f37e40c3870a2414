// An I/O request that the host delivers to a queue's callback object.
//
// Thread safety: a request is owned by its handler until it is completed; it is completed once.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"
#include "platform/wdf/file.h"
#include "platform/wdf/memory.h"

PLATFORM_API_BEGIN

struct IWDFIoRequest : IUnknown {
    using base_interface = IUnknown;
    // Finishes the request with a status and the number of bytes of output it carries.
    virtual void STDMETHODCALLTYPE CompleteWithInformation(HRESULT hrCompletionStatus, SIZE_T Information) = 0;
    // The request's input and output buffers, with a reference added; null when it has none. (The
    // host gives a memory object of length 0, with a null buffer, for an empty one.)
    virtual void STDMETHODCALLTYPE GetInputMemory(IWDFMemory** ppWdfMemory) = 0;
    virtual void STDMETHODCALLTYPE GetOutputMemory(IWDFMemory** ppWdfMemory) = 0;
    // The file object the request came through (the client's open handle), with a reference
    // added; null when it has none.
    virtual void STDMETHODCALLTYPE GetFileObject(IWDFFile** ppFileObject) = 0;
    // The control code and buffer sizes of a device I/O control request; any pointer may be null.
    virtual void STDMETHODCALLTYPE GetDeviceIoControlParameters(ULONG* pControlCode, SIZE_T* pInputBufferSizeInBytes,
                                                                SIZE_T* pOutputBufferSizeInBytes) = 0;

protected:
    ~IWDFIoRequest() = default;
};
PLATFORM_INTERFACE_ID(IWDFIoRequest, "012F2D6A-3452-458D-A34F-D002B615DD64");
PLATFORM_API_END
