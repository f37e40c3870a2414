#include "driver-host/host_run.h"

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/text.h"
#include "driver-host/exit_codes.h"
#include "driver-host/first_idle.h"
#include "driver-host/host_log.h"
#include "driver-host/service_manager.h"
#include "driver-host/settle_progress.h"
#include "driver-host/simulation.h"
#include "driver-host/trace_relay.h"
#include "host/device_property_file.h"
#include "host/driver_host.h"
#include "host/socket_server.h"
#include "host/state_directory_lock.h"
#include "platform/probe/thermal_driver_contract.h"
#include "sim/machine.h"
#include "sim/power_source.h"
#include "sim/probe_devices.h"
#include "sim/registry.h"
#include "sim/state_directory.h"
#include "sim/windows_directory.h"

namespace driver_host {
namespace {

using platform::host::DeviceState;
using platform::host::DriverHost;
using platform::host::HostStep;
using platform::host::RecordKind;

const char* SignalName(int number)
{
    return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "a signal";
}

std::string RadioStateText(ULONG state)
{
    return std::to_string(state) + (state == 0 ? " (on)" : state == 1 ? " (off)" : "");
}

// Logs what the load of a state file found; false when the file could not be read. `restored`
// says what the device has now, for a file that was damaged.
bool ReportStateFile(const sim::StateFileLoad& load, const std::string& restored, HostLog& log)
{
    switch (load.outcome) {
        case sim::StateFileOutcome::kUnreadable:
            log.Error(load.problem + "; the host stops: let this user read it, or move it away");
            return false;
        case sim::StateFileOutcome::kRestored:
        case sim::StateFileOutcome::kReset:
            log.Warning(restored.empty() ? load.problem : load.problem + "; " + restored);
            return true;
        case sim::StateFileOutcome::kMissing:
        case sim::StateFileOutcome::kLoaded:
            return true;
    }
    return true;
}

// The radio state a device finds in its restored or emptied property store (the driver starts a
// store without one at 0, on).
std::string RadioStateFound(const platform::host::PropertyFileCheck& check)
{
    const auto radio = check.numbers.find(THERMAL_RADIO_STATE_VALUE_NAME);
    if (radio == check.numbers.end()) return "radio state reset to 0 (on)";
    return "radio state restored: " + RadioStateText(radio->second);
}

// Takes the state directory for this host alone and loads what it keeps: the exit code on
// failure, else 0.
int PrepareStateDirectory(const std::filesystem::path& directory, HostLog& log,
                          std::unique_ptr<platform::host::StateDirectoryLock>* lock)
{
    std::string problem;
    *lock = platform::host::StateDirectoryLock::Acquire(directory, "driver-host", &problem);
    if (!*lock) {
        log.Error(problem);
        return kExitMachine;
    }
    if (!sim::SetStateDirectory(directory)) {
        log.Error("the state directory " + directory.string() + " cannot be used: it cannot be made");
        return kExitMachine;
    }
    bool readable = true;
    for (const sim::StateFileLoad& load : sim::RegistryLoads()) readable = ReportStateFile(load, {}, log) && readable;
    const platform::host::PropertyFileCheck properties = platform::host::CheckDevicePropertyFile();
    readable = ReportStateFile(properties.load, RadioStateFound(properties), log) && readable;
    return readable ? 0 : kExitMachine;
}

// Reads the machine, takes its state directory and applies the machine; the exit code on failure,
// else 0.
int PrepareMachine(const HostOptions& options, HostLog& log, std::unique_ptr<platform::host::StateDirectoryLock>* lock)
{
    const bool hostMachine = options.machineFile == kHostMachine;
    sim::ParsedMachine parsed = options.machineFile.empty() ? sim::ParseMachine(sim::kDefaultMachine)
                                : hostMachine             ? sim::HostMachine()
                                                          : sim::ReadMachineFile(options.machineFile);
    if (!parsed.machine) {
        log.Error((hostMachine ? "--machine host: " : "machine file ") + parsed.error);
        return kExitMachine;
    }
    // A state directory given on the command line wins over the one the machine file names.
    const std::string directory = options.stateDirectoryGiven || parsed.machine->stateDirectory.empty()
                                      ? options.stateDirectory
                                      : parsed.machine->stateDirectory;
    parsed.machine->stateDirectory.clear();
    if (const int problem = PrepareStateDirectory(directory, log, lock); problem != 0) return problem;
    if (const std::string problem = sim::ApplyMachine(*parsed.machine); !problem.empty()) {
        log.Error("the machine cannot be set up: " + problem);
        return kExitMachine;
    }
    log.Step("state directory " + sim::StateDirectory().string() + " (registry, device property store)");
    for (const std::u16string& value : sim::KeptRegistryChanges()) {
        log.Step("registry: " + apps::Utf16ToUtf8(value) + " keeps the value set through sim");
    }
    std::string name = options.machineFile.empty() ? std::string("the embedded default") : options.machineFile;
    if (hostMachine) name = "this machine's own temperature: both probes follow " + parsed.machine->interfaceProbe->source;
    log.Step("machine: " + name + "; power " + PowerSourceName(sim::AcLineStatus()) + "; map files in " + sim::WindowsDirectory() +
             "/system32/drivers/UMDF");
    return 0;
}

// Logs each probe whose temperature file cannot be read, once, and once more when it reads again.
void LogProbeSources(HostLog& log)
{
    sim::SetProbeSourceListener([&log](sim::Probe probe, const std::string& path, const std::string& why) {
        const std::string name = probe == sim::Probe::kInterface ? "interface probe" : "fixed-path probe";
        if (why.empty()) {
            log.Step(name + ": its source " + path + " reads again");
        } else {
            log.Warning(name + ": its source " + path + " cannot be read (" + why +
                        "); the probe's requests fail until it can");
        }
    });
}

// Checks the socket: its private directory when it is the default one, and the path itself; the
// exit code on failure, else 0.
int PrepareSocket(const HostOptions& options, HostLog& log)
{
    const auto cannot = [&](const std::string& why) {
        log.Error("the socket " + options.socketPath + " cannot be served: " + why);
        return kExitSocket;
    };
    if (!options.socketGiven) {
        if (const std::string directory = apps::DefaultSocketDirectory(); !directory.empty()) {
            if (const std::string problem = apps::MakePrivateDirectory(directory); !problem.empty()) {
                return cannot(problem);
            }
        }
    }
    std::string why;
    if (FAILED(platform::host::SocketServer::CheckPath(options.socketPath, &why))) return cannot(why);
    return 0;
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

// Log lines for the device's idling and waking, which the host's idle thread does on its own.
void LogIdleAndWake(HostLog& log, DeviceState previous, DeviceState state, WDF_POWER_DEVICE_STATE power)
{
    const std::string dx = "D" + std::to_string(static_cast<int>(power) - 1);
    if (state == DeviceState::kIdle) {
        log.Step("device idles (" + dx +
                 "): no client needs it; a client's connect wakes it, and acquisition starts after about 5 s");
    } else if (previous == DeviceState::kIdle && state == DeviceState::kWorking) {
        log.Step("device woke (D0): a client needs it; acquisition starts, the first reading after about 5 s");
    } else if (previous == DeviceState::kIdle && state == DeviceState::kLowPower) {
        log.Step("device left idle for low power (" + dx + "): a system sleep, or a wake that failed");
    }
}

std::string PeerText(const platform::host::PeerCredentials& peer)
{
    return "pid " + std::to_string(peer.pid) + ", uid " + std::to_string(peer.uid);
}

// Log lines for the socket's clients: each connect and disconnect, each connection the host ends,
// and each change of the radio state a client asks for.
void LogClients(platform::host::SocketServerOptions* options, HostLog& log, std::atomic<int>* connected)
{
    options->onConnection = [&log, connected](const platform::host::PeerCredentials& peer,
                                              platform::host::FileAccess access, bool isConnected) {
        const int now = isConnected ? ++*connected : --*connected;
        const char* accessText = access == platform::host::FileAccess::kReadWrite ? "read-write" : "read-only";
        log.Step(std::string(isConnected ? "client connected (" : "client disconnected (") + PeerText(peer) +
                 (isConnected ? std::string(", ") + accessText : std::string()) + "); " + std::to_string(now) +
                 " connected");
    };
    options->onClosedByHost = [&log](const platform::host::PeerCredentials& peer, std::string_view why) {
        log.Step("closing the connection of a client (" + PeerText(peer) + "): " + std::string(why));
    };
    options->reportedControlCodes = {IOCTL_SET_RADIO_STATE, IOCTL_SET_PREVIOUS_RADIO_STATE};
    options->onControlDone = [&log](const platform::host::PeerCredentials& peer, ULONG code,
                                    std::span<const std::uint8_t> input, HRESULT status) {
        std::string what = code == IOCTL_SET_RADIO_STATE ? "radio state" : "previous radio state";
        ULONG value = 0;
        if (input.size() == sizeof(value)) {
            std::memcpy(&value, input.data(), sizeof(value));
            what += " set to " + RadioStateText(value);
        } else {
            what += " set with " + std::to_string(input.size()) + " bytes";
        }
        what += " by a client (" + PeerText(peer) + ")";
        log.Step(SUCCEEDED(status) ? what : what + ": " + apps::HresultText(status));
    };
}

}  // namespace

int RunHost(const HostOptions& options, apps::SignalWatch& signals)
{
    const PassedSocket passed = TakePassedSocket();
    const ServiceManager manager;
    HostLog log;
    log.Step(std::string("driver-host ") + DRIVER_HOST_VERSION + " (pid " + std::to_string(::getpid()) + ")");
    // Until the driver is loaded a signal ends the host at once: the load cannot be cut short (the
    // driver settles its map for 5 s), and nothing needs releasing before it is done; the system
    // drops the state directory's lock, and every state file is written whole or not at all.
    std::atomic<const char*> startStep{"preparing the machine and its state directory"};
    int signalsSeen = 0;  // used by the watch thread only
    signals.SetHandler([&log, &signalsSeen, &startStep, &manager](int number) {
        if (const char* step = startStep.load(); step != nullptr) {
            const std::string line =
                std::string(SignalName(number)) + " while " + step + ": the host ends without serving";
            manager.Stopping(line);
            log.Step(line);
            log.Step("exit " + std::to_string(kExitOk));
            log.Flush(std::chrono::seconds(2));
            std::_Exit(kExitOk);
        }
        if (++signalsSeen > 1) log.Step(std::string(SignalName(number)) + " again: the shutdown is under way");
    });
    // The handler uses the log, the count and the step: it goes before they do, on every way out.
    struct HandlerReset {
        apps::SignalWatch& signals;
        ~HandlerReset() { signals.SetHandler(nullptr); }
    } handlerReset{signals};
    // A signal that came before the handler was set.
    if (const int number = signals.Received(); number != 0) {
        log.Step(std::string(SignalName(number)) + " before the start: the host ends without serving");
        return kExitOk;
    }

    std::unique_ptr<platform::host::StateDirectoryLock> stateLock;
    LogProbeSources(log);
    // The listener uses the log: it goes before the log does.
    struct ListenerReset {
        ~ListenerReset() { sim::SetProbeSourceListener(nullptr); }
    } listenerReset;
    if (const int problem = PrepareMachine(options, log, &stateLock); problem != 0) return problem;
    startStep = "checking the socket";
    std::string socketPath = options.socketPath;
    if (!passed.problem.empty()) {
        log.Error(passed.problem);
        return kExitSocket;
    }
    if (passed.fd >= 0) {
        socketPath = passed.path;
        log.Step("serving the socket the service manager passed: " + socketPath +
                 (options.socketGiven && options.socketPath != socketPath ? " (instead of --socket)" : "") +
                 "; its first client waits for the load and the device's wake");
    } else if (const int problem = PrepareSocket(options, log); problem != 0) {
        return problem;
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
    host.SetStateObserver([&log](DeviceState previous, DeviceState state, WDF_POWER_DEVICE_STATE power) {
        LogIdleAndWake(log, previous, state, power);
    });
    host.SetUserIdleEnabled(options.idle);
    log.Step(std::string("user idle setting ") +
             (options.idle ? "on: the device idles while no client needs it" : "off: the device stays powered"));

    HostStep step;
    startStep = "loading the driver";
    log.Step("loading " + options.modulePath + " (about 5 s: the thermal map settles)");
    {
        manager.Status("loading the driver (about 5 s)");
        SettleProgress progress(log, "loading", 5, "the thermal map settles", [&manager](const std::string& line) {
            manager.Status(line);
            manager.Alive();
        });
        step = host.Load(options.modulePath, CLSID_ThermalDriver);
    }
    startStep = nullptr;
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
        WaitForFirstIdle(host, log, &signals);
    }

    Simulation simulation(host, log);
    std::atomic<int> connected{0};
    platform::host::SocketServerOptions serverOptions;
    serverOptions.socketPath = socketPath;
    serverOptions.listeningFd = passed.fd;
    serverOptions.aliveInterval = manager.WatchdogInterval();
    serverOptions.onAlive = [&manager] { manager.Alive(); };
    serverOptions.access = platform::host::AccessPolicy::ForThisProcess(options.allowGroupIds);
    // What a peak of clients left in the heap goes back to the system once most of them are gone.
    serverOptions.onClientsFell = [] { malloc_trim(0); };
    serverOptions.onSimulate = [&simulation](std::string_view line) { return simulation.Run(line); };
    serverOptions.onTraceLevel = [&traces](std::uint8_t level) { traces.SetClientLevel(level); };
    LogClients(&serverOptions, log, &connected);
    platform::host::SocketServer server(host, std::move(serverOptions));

    int exitCode = kExitOk;
    if (signals.Received() == 0) {
        std::string why;
        if (FAILED(server.Start(&why))) {
            log.Error("the socket " + socketPath + " cannot be served: " + why);
            exitCode = kExitSocket;
        } else {
            traces.SetBroadcast(
                [&server](std::uint8_t level, std::string_view line) { server.BroadcastTrace(level, line); });
            log.Step("serving clients on " + socketPath + " (" + AccessSummary(options) + ")");
            manager.Ready("serving clients on " + socketPath);
            log.Step("ready; stop with Ctrl-C or SIGTERM");
            signals.Wait();
        }
    }
    if (const int number = signals.Received(); number != 0) {
        const std::string line = std::string(SignalName(number)) + ": shutting down";
        manager.Stopping(line);
        log.Step(line);
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
