#include "driver-host/host_run.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver-host/exit_codes.h"
#include "driver-host/first_idle.h"
#include "driver-host/host_log.h"
#include "driver-host/settle_progress.h"
#include "driver-host/simulation.h"
#include "driver-host/trace_relay.h"
#include "host/driver_host.h"
#include "host/socket_server.h"
#include "platform/probe/thermal_driver_contract.h"
#include "sim/machine.h"
#include "sim/power_source.h"
#include "sim/state_directory.h"
#include "sim/windows_directory.h"

namespace driver_host {
namespace {

using platform::host::DriverHost;
using platform::host::HostStep;
using platform::host::RecordKind;

const char* SignalName(int number)
{
    return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "a signal";
}

const char* PowerName(std::uint8_t status)
{
    return status == sim::kAcOnline ? "AC" : status == sim::kAcOffline ? "DC (battery)" : "unknown";
}

// Sets the state directory and applies the machine; the exit code on failure, else 0.
int PrepareMachine(const HostOptions& options, HostLog& log)
{
    if (!sim::SetStateDirectory(options.stateDirectory)) {
        log.Error("the state directory " + options.stateDirectory + " cannot be made");
        return kExitMachine;
    }
    sim::ParsedMachine parsed = options.machineFile.empty() ? sim::ParseMachine(sim::kDefaultMachine)
                                                            : sim::ReadMachineFile(options.machineFile);
    if (!parsed.machine) {
        log.Error("machine file " + parsed.error);
        return kExitMachine;
    }
    // A state directory given on the command line wins over the one the machine file names.
    if (options.stateDirectoryGiven) parsed.machine->stateDirectory.clear();
    if (const std::string problem = sim::ApplyMachine(*parsed.machine); !problem.empty()) {
        log.Error("the machine cannot be set up: " + problem);
        return kExitMachine;
    }
    log.Step("state directory " + sim::StateDirectory().string() + " (registry, device property store)");
    log.Step("machine: " + (options.machineFile.empty() ? std::string("the embedded default") : options.machineFile) +
             "; power " + PowerName(sim::AcLineStatus()) + "; map files in " + sim::WindowsDirectory() +
             "/system32/drivers/UMDF");
    return 0;
}

// Whether a host already listens on the socket: then loading the driver for 5 seconds is pointless.
bool SocketIsServed(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool served = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return served;
}

// The entries of the host's record that a serving host keeps.
constexpr std::size_t kServingRecordEntries = 512;

// The names of the callbacks the host made since `mark` entries had been recorded.
struct RecordMark {
    std::uint64_t total = 0;
};

RecordMark MarkRecord(const DriverHost& host)
{
    return {host.Record().DroppedEntries() + host.Record().Entries().size()};
}

std::string CallbacksSince(const DriverHost& host, RecordMark mark)
{
    const std::vector<platform::host::RecordEntry> entries = host.Record().Entries();
    const std::uint64_t dropped = host.Record().DroppedEntries();
    std::string names;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (dropped + i < mark.total || entries[i].kind != RecordKind::kCallback) continue;
        std::string name = entries[i].name;
        if (const auto colons = name.rfind("::"); colons != std::string::npos) name = name.substr(colons + 2);
        if (!entries[i].arguments.empty()) name += "(" + entries[i].arguments + ")";
        if (!names.empty()) names += ", ";
        names += name;
    }
    return names;
}

std::string Versioned(const DriverHost& host)
{
    const platform::host::DriverModule* module = host.Module();
    if (module == nullptr) return {};
    return module->Path() + " (framework " + std::to_string(module->Version().MajorNumber) + "." +
           std::to_string(module->Version().MinorNumber) + ")";
}

// Removes the device (if there is one) and unloads the module, a line per step.
bool Release(DriverHost& host, HostLog& log)
{
    bool ok = true;
    const platform::host::DeviceState state = host.State();
    if (state == platform::host::DeviceState::kAdded || state == platform::host::DeviceState::kWorking ||
        state == platform::host::DeviceState::kLowPower || state == platform::host::DeviceState::kIdle) {
        const RecordMark mark = MarkRecord(host);
        const HostStep removed = host.Remove();
        const std::string calls = CallbacksSince(host, mark);
        if (removed.ok()) {
            log.Step("device removed: sensor not available, acquisition stopped, hardware released [" + calls + "]");
        } else {
            log.Error("removing the device: " + removed.message + " [" + calls + "]");
            ok = false;
        }
    }
    if (host.Module() != nullptr || host.State() != platform::host::DeviceState::kNone) {
        const RecordMark mark = MarkRecord(host);
        const HostStep unloaded = host.Unload();
        const std::string calls = CallbacksSince(host, mark);
        if (unloaded.ok()) {
            log.Step("module unloaded [" + calls + "]");
        } else {
            log.Error("unloading the module: " + unloaded.message + " [" + calls + "]");
            ok = false;
        }
    }
    return ok;
}

std::string AccessSummary(const HostOptions& options)
{
    std::string text = ::geteuid() == 0 ? std::string("read-write for root")
                                        : "read-write for this user (uid " + std::to_string(::geteuid()) + ") and root";
    for (const std::string& group : options.allowGroups) text += ", group " + group;
    return text + "; read-only for others who can open it";
}

}  // namespace

int RunHost(const HostOptions& options, apps::SignalWatch& signals)
{
    HostLog log;
    log.Step(std::string("driver-host ") + DRIVER_HOST_VERSION + " (pid " + std::to_string(::getpid()) + ")");
    int signalsSeen = 0;  // used by the watch thread only
    signals.SetHandler([&log, &signalsSeen](int number) {
        if (++signalsSeen > 1) log.Step(std::string(SignalName(number)) + " again: the shutdown is under way");
    });
    // The handler uses the log and the count: it goes before they do, on every way out.
    struct HandlerReset {
        apps::SignalWatch& signals;
        ~HandlerReset() { signals.SetHandler(nullptr); }
    } handlerReset{signals};

    if (const int problem = PrepareMachine(options, log); problem != 0) return problem;
    if (SocketIsServed(options.socketPath)) {
        log.Error("another host is serving on " + options.socketPath + "; stop it or give --socket another path");
        return kExitSocket;
    }

    TraceRelay traces(log, options.traceLevel);
    std::string formatsProblem;
    if (!traces.LoadFormats(options.traceFormats, &formatsProblem) && options.traceLevel > 0) {
        log.Error("trace formats: " + formatsProblem + " (lines show message numbers)");
    }
    traces.Start();

    DriverHost host;
    // The record is read here only for the callbacks of each lifecycle step, which are few. A
    // short history keeps busy clients from filling memory and the cache with it (each request
    // adds several entries).
    host.Record().SetCapacity(kServingRecordEntries);
    host.SetUserIdleEnabled(options.idle);
    log.Step(std::string("user idle setting ") +
             (options.idle ? "on: the device idles while no client needs it" : "off: the device stays powered"));

    HostStep step;
    log.Step("loading " + options.modulePath + " (about 5 s: the thermal map settles)");
    {
        SettleProgress progress(log, "loading", 5, "the thermal map settles");
        step = host.Load(options.modulePath, CLSID_ThermalDriver);
    }
    if (!step.ok()) {
        log.Error("loading the driver: " + step.message);
        Release(host, log);
        return kExitDriverFailed;
    }
    log.Step("module loaded: " + Versioned(host) + "; driver object initialised");

    if (signals.Received() == 0) {
        step = host.AddDevice();
        if (step.ok()) {
            log.Step("device added");
            step = host.Start();
        }
        if (!step.ok()) {
            log.Error("starting the device: " + step.message);
            Release(host, log);
            return kExitDriverFailed;
        }
        log.Step("device started (D0): the sensor is not available until a client wakes the device");
        WaitForFirstIdle(host, log);
    }

    Simulation simulation(host, log);
    platform::host::SocketServerOptions serverOptions;
    serverOptions.socketPath = options.socketPath;
    serverOptions.access = platform::host::AccessPolicy::ForThisProcess(options.allowGroupIds);
    serverOptions.onSimulate = [&simulation](std::string_view line) { return simulation.Run(line); };
    serverOptions.onTraceLevel = [&traces](std::uint8_t level) { traces.SetClientLevel(level); };
    platform::host::SocketServer server(host, std::move(serverOptions));

    int exitCode = kExitOk;
    if (signals.Received() == 0) {
        std::string why;
        if (FAILED(server.Start(&why))) {
            log.Error("the socket " + options.socketPath + " cannot be served: " + why);
            exitCode = kExitSocket;
        } else {
            traces.SetBroadcast(
                [&server](std::uint8_t level, std::string_view line) { server.BroadcastTrace(level, line); });
            log.Step("serving clients on " + options.socketPath + " (" + AccessSummary(options) + ")");
            log.Step("ready; stop with Ctrl-C or SIGTERM");
            const int number = signals.Wait();
            log.Step(std::string(SignalName(number)) + ": shutting down");
        }
    } else {
        log.Step(std::string(SignalName(signals.Received())) + ": shutting down");
    }

    traces.SetBroadcast({});
    if (exitCode == kExitOk) {
        const std::size_t clients = server.ConnectionCount();
        server.Stop();
        log.Step("socket closed; " + std::to_string(clients) + " client connection(s) closed and cleaned up");
    }
    if (!Release(host, log) && exitCode == kExitOk) exitCode = kExitDriverFailed;
    log.Step("exit " + std::to_string(exitCode));
    return exitCode;
}

}  // namespace driver_host
