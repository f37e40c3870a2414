// What a caller of the host's device I/O gets back.
#pragma once

#include <functional>
#include <vector>

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

}  // namespace platform::host
