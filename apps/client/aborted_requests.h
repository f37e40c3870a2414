// A request the host aborted is sent again. The host aborts requests only while the device goes to
// low power, which takes a moment (longer on a busy machine): after a pause that doubles, for a
// while, the device is there again.
//
//   transport::TransportReply reply = client::SendAgainWhileAborted([&] { return Send(request); });
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/win32_error.h"
#include "transport/sensor_client.h"

namespace client {

// Sends with `send` until the reply is other than aborted or 3 s of pauses have passed; the last
// reply.
template <class Send>
transport::TransportReply SendAgainWhileAborted(Send send)
{
    constexpr std::chrono::milliseconds kFirstPause{5};
    constexpr std::chrono::milliseconds kLongestPause{200};
    constexpr std::chrono::milliseconds kPatience{3000};
    transport::TransportReply reply = send();
    std::chrono::milliseconds pause = kFirstPause;
    for (std::chrono::milliseconds waited{0};
         reply.status == HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED) && waited < kPatience;) {
        std::this_thread::sleep_for(pause);
        waited += pause;
        pause = std::min(pause * 2, kLongestPause);
        reply = send();
    }
    return reply;
}

}  // namespace client
