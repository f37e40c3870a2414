// How a client receives the sensor events the class extension delivers: the host's file object
// (one client's open handle) answers IClientEventSink through QueryInterface. A file that does not
// answer it gets no events.
//
//   class CClientFile final : public platform::ComObject<CClientFile, IWDFFile, transport::IClientEventSink> {
//       void STDMETHODCALLTYPE OnSensorEvent(const std::uint8_t* encoded, std::size_t size) override
//       { ... queue a copy of the bytes for the client ... }
//   };
//
// Thread safety: OnSensorEvent is called on the thread that posts the event (the driver's event
// thread, or a thread running a sensor-driver callback), possibly on several threads at once, and
// with no lock of the class extension held. It must copy what it keeps and return without waiting
// for the client; it may call the class extension.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

namespace transport {

struct IClientEventSink : IUnknown {
    using base_interface = IUnknown;
    // One event message (sensor_protocol.h). The bytes are valid only during the call.
    virtual void STDMETHODCALLTYPE OnSensorEvent(const std::uint8_t* encoded, std::size_t size) = 0;

protected:
    ~IClientEventSink() = default;
};

}  // namespace transport

PLATFORM_INTERFACE_ID(transport::IClientEventSink, "9F4BBFB7-BB0E-498E-AAA7-F2E07FE6CBD4");
PLATFORM_API_END
