#include "driver-host/simulation.h"

#include "driver-host/first_idle.h"
#include "driver-host/settle_progress.h"
#include "sim/power_source.h"

namespace driver_host {
namespace {

std::pair<HRESULT, std::string> Outcome(const platform::host::HostStep& step, std::string success)
{
    if (step.ok()) return {S_OK, std::move(success)};
    return {step.status, step.message};
}

}  // namespace

const char* PowerSourceName(std::uint8_t acLineStatus)
{
    return acLineStatus == sim::kAcOnline ? "AC" : acLineStatus == sim::kAcOffline ? "DC (battery)" : "unknown";
}

std::pair<HRESULT, std::string> Simulation::Run(std::string_view commandLine)
{
    const std::uint8_t powerBefore = sim::AcLineStatus();
    const sim::MachineCommandResult result = sim::RunMachineCommand(commandLine);
    switch (result.status) {
        case sim::MachineCommandResult::Status::kApplied:
            // The help text is many lines; the log says only that it was asked for.
            m_log.Step("simulation: " + std::string(commandLine) +
                       (result.message == sim::MachineCommandHelp() ? std::string() : " -> " + result.message));
            if (const std::uint8_t power = sim::AcLineStatus(); power != powerBefore) {
                m_log.Step(std::string("power source switched: ") + PowerSourceName(powerBefore) + " -> " +
                           PowerSourceName(power));
            }
            return {S_OK, result.message};
        case sim::MachineCommandResult::Status::kError:
            m_log.Step("simulation: " + std::string(commandLine) + " refused: " + result.message);
            return {E_INVALIDARG, result.message};
        case sim::MachineCommandResult::Status::kHostCommand:
            break;
    }
    return RunHostCommand(result.hostCommand);
}

std::pair<HRESULT, std::string> Simulation::RunHostCommand(sim::HostCommand hostCommand)
{
    using sim::HostCommand;
    m_log.Step(std::string("simulation: ") + sim::HostCommandName(hostCommand));
    std::pair<HRESULT, std::string> reply;
    switch (hostCommand) {
        case HostCommand::kSleep:
            reply = Outcome(m_host.Suspend(WdfPowerDeviceD3), "the device left D0 for D3 (system sleep)");
            break;
        case HostCommand::kResume: {
            SettleProgress progress(m_log, "resuming", 5, "acquisition restarts: the thermal map settles");
            reply = Outcome(m_host.Resume(), "the device is back in D0 (system resume)");
            break;
        }
        case HostCommand::kSurpriseRemove: {
            const platform::host::HostStep step = m_host.SurpriseRemove();
            // After the surprise removal the driver refuses further callbacks as shutting down;
            // the device is removed all the same.
            if (!step.ok() && m_host.State() == platform::host::DeviceState::kRemoved) {
                reply = {S_OK, "the device was surprise-removed and released (" + step.message + ")"};
            } else {
                reply = Outcome(step, "the device was surprise-removed and released");
            }
            break;
        }
        case HostCommand::kAddDevice: {
            platform::host::HostStep step = m_host.AddDevice();
            if (step.ok()) step = m_host.Start();
            reply = Outcome(step, "the device was added and started (D0)");
            if (step.ok()) WaitForFirstIdle(m_host, m_log);
            break;
        }
    }
    if (SUCCEEDED(reply.first)) {
        m_log.Step(reply.second);
    } else {
        m_log.Error(std::string(sim::HostCommandName(hostCommand)) + " failed: " + reply.second);
    }
    return reply;
}

}  // namespace driver_host
