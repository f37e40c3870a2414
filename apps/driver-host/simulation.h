// The simulation channel's commands, as the host carries them out: machine commands change the
// simulated machine at once (sim/machine_control.h); host commands drive the device's life:
//
//   sleep            system sleep: the device leaves D0 for D3
//   resume           system resume: the device returns to D0 (acquisition restarts: about 5 s)
//   surprise-remove  the device is pulled out
//   add-device       the device is added again and started
//
// Each command is logged, and a switch of the power source gets a line of its own. The reply is
// the command's status and its output (or why it failed):
// E_INVALIDARG for a command that does not parse, the host step's status for a host command.
//
// Ownership: refers to the host and the log, which outlive it. Thread safety: Run may be called
// from any thread; the socket server calls it on its command thread, one command at a time, so a
// host step that blocks (resume settles for about 5 s) delays only later commands. Host steps
// serialise with every other step of the host.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "driver-host/host_log.h"
#include "host/driver_host.h"
#include "sim/machine_control.h"

namespace driver_host {

// "AC", "DC (battery)" or "unknown", for a power status of sim/power_source.h.
const char* PowerSourceName(std::uint8_t acLineStatus);

class Simulation {
public:
    Simulation(platform::host::DriverHost& host, HostLog& log) : m_host(host), m_log(log) {}

    std::pair<HRESULT, std::string> Run(std::string_view commandLine);

private:
    std::pair<HRESULT, std::string> RunHostCommand(sim::HostCommand command);

    platform::host::DriverHost& m_host;
    HostLog& m_log;
};

}  // namespace driver_host
