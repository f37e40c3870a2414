#include "host/host_transport.h"

#include <utility>

namespace platform::host {

transport::SensorTransport MakeSensorTransport(DriverHost& host, CHostFile* file)
{
    return [&host, held = platform::ComPtr<CHostFile>(file)](
               ULONG controlCode, std::span<const std::uint8_t> input,
               std::size_t outputCapacity) -> transport::TransportReply {
        IoResult result = host.DeviceIoControl(held.Get(), controlCode, input, outputCapacity);
        return {result.status, result.information, std::move(result.output)};
    };
}

}  // namespace platform::host
