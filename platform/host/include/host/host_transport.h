// A sensor-protocol transport through the host's device I/O, for clients in the host's process:
//
//   ComPtr<CHostFile> file;
//   host.OpenFile(FileAccess::kReadWrite, [&](std::span<const std::uint8_t> event) { ... }, &file);
//   transport::SensorClient client(platform::host::MakeSensorTransport(host, file.Get()));
//   client.Connect(sensorId, &connected);
//
// Each request is one DeviceIoControl on `file`, waited for. The transport holds a reference to the
// file; the host must outlive it. Thread safety: as DriverHost::DeviceIoControl (any thread).
#pragma once

#include "host/driver_host.h"
#include "host/host_file.h"
#include "transport/sensor_client.h"

namespace platform::host {

transport::SensorTransport MakeSensorTransport(DriverHost& host, CHostFile* file);

}  // namespace platform::host
