// What a caller of the host's device I/O gets back.
#pragma once

#include <functional>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/com/hresult.h"

namespace platform::host {

// How a device I/O control request ended: the status the driver (or the host) completed it with,
// the byte count, and the output bytes, which are the first `information` bytes of the output
// buffer when the status is a success and none otherwise.
struct IoResult {
    HRESULT status = S_OK;
    SIZE_T information = 0;
    std::vector<BYTE> output;
};

// Called once per request, on the thread that completed it, with no host lock held.
using IoCompletionHandler = std::function<void(IoResult)>;

class CHostIoQueue;
class CHostIoRequest;

// A request that the device's queue left to its caller to hand to the driver on the caller's own
// thread, instead of waking one of its threads for it (DeviceIoControl's `dispatchHere`). The
// caller calls Dispatch when it may block for as long as the driver takes; the request counts as
// dispatched from the moment it was claimed (a purge waits for it). A claim dropped without
// Dispatch is dispatched by its destructor.
class ClaimedIoRequest {
public:
    ClaimedIoRequest();
    ~ClaimedIoRequest();
    ClaimedIoRequest(const ClaimedIoRequest&) = delete;
    ClaimedIoRequest& operator=(const ClaimedIoRequest&) = delete;

    explicit operator bool() const { return static_cast<bool>(m_request); }
    // Hands the request to the driver on this thread; nothing when there is no claim.
    void Dispatch();

private:
    friend class CHostIoQueue;
    platform::ComPtr<CHostIoQueue> m_queue;
    platform::ComPtr<CHostIoRequest> m_request;
};

}  // namespace platform::host
