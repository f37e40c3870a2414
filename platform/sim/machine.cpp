// Applying a machine description, the embedded default machine, and the whole machine's reset.
#include "sim/machine.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/atomic_file.h"
#include "machine_syntax.h"
#include "sim/device_tree.h"
#include "sim/power_source.h"
#include "sim/probe_devices.h"
#include "sim/state_directory.h"
#include "sim/windows_directory.h"

namespace sim {

const char kDefaultMachine[] = R"machine(# The machine that driver-host runs when it is given no machine file.
[machine]
power = ac

[interface-probe]
temperature = 25.0

[fixed-probe]
kind = 20
temperature = 25.0

[wmi]
# Temperature is a thermal-map key: 564 reads as 25.0 degrees in the default map.
instance = "ACPI\PNP0C14\0_0" 564
)machine";

namespace {

namespace fs = std::filesystem;

// Where the map files go below the Windows directory, as the driver names them.
constexpr const char* kMapDirectory = "system32/drivers/UMDF";

std::string Problem(const std::string& what, const std::error_code& error)
{
    return what + ": " + error.message();
}

std::string WriteMaps(const MachineDescription& machine, const fs::path& windows)
{
    if (!machine.acMap && !machine.dcMap) return {};
    if (windows.empty()) {
        return "the map files need a Windows directory: name windows-directory or a state directory";
    }
    const fs::path directory = windows / kMapDirectory;
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) return Problem("cannot make " + directory.string(), error);
    for (const auto& [contents, name] :
         {std::pair{&machine.acMap, "ThermalMap_AC.ini"}, {&machine.dcMap, "ThermalMap_DC.ini"}}) {
        if (!*contents) continue;
        if (auto problem = platform::detail::WriteFileAtomically(directory / name, **contents, 0644);
            !problem.empty()) {
            return problem;
        }
    }
    return {};
}

std::string InstallInterface(const InterfaceProbeDescription& probe)
{
    if (!InstallInterfaceProbe()) return "cannot install the interface probe: its path names another device";
    if (probe.raw) {
        SetInterfaceProbeRawValue(*probe.raw);
    } else {
        SetInterfaceProbeTemperature(probe.temperature);
    }
    SetProbeSource(Probe::kInterface, probe.source);
    for (const auto& failure : probe.failures) {
        FailProbeRequests(Probe::kInterface, failure.controlCode, failure.error, failure.times);
    }
    if (!probe.present) RemoveProbe(Probe::kInterface);
    return {};
}

std::string InstallFixed(const FixedProbeDescription& probe)
{
    if (!InstallFixedProbe()) return "cannot install the fixed-path probe: its path names another device";
    SetFixedProbeStatusWord(probe.status.value_or(static_cast<std::uint16_t>((probe.kind << 8) | 1)));
    SetFixedProbeCounts(probe.counts.value_or(CountsForTemperature(probe.temperature, probe.kind)));
    SetProbeSource(Probe::kFixedPath, probe.source);
    for (const auto& failure : probe.failures) {
        FailProbeRequests(Probe::kFixedPath, failure.controlCode, failure.error, failure.times);
    }
    if (!probe.present) RemoveProbe(Probe::kFixedPath);
    return {};
}

}  // namespace

std::string ApplyMachine(const MachineDescription& machine)
{
    std::lock_guard lock(detail::MachineLock());

    // Everything that can fail on disk comes first, while the machine is still as it was.
    std::error_code error;
    fs::path state = StateDirectory();
    if (!machine.stateDirectory.empty()) {
        state = fs::absolute(machine.stateDirectory, error);
        if (error) return Problem("cannot use the state directory " + machine.stateDirectory, error);
        fs::create_directories(state, error);
        if (error || !fs::is_directory(state))
            return Problem("cannot make the state directory " + state.string(), error);
    }
    fs::path windows;
    if (!machine.windowsDirectory.empty() && fs::path(machine.windowsDirectory).is_absolute()) {
        windows = machine.windowsDirectory;
    } else if (!machine.windowsDirectory.empty() && state.empty()) {
        return "the Windows directory " + machine.windowsDirectory +
               " is relative to the state directory, but there is none";
    } else if (!state.empty()) {
        windows = state / (machine.windowsDirectory.empty() ? "windows" : machine.windowsDirectory);
    }
    windows = windows.lexically_normal();
    if (auto problem = WriteMaps(machine, windows); !problem.empty()) return problem;
    if (!machine.stateDirectory.empty() && !SetStateDirectory(state)) {
        return "cannot make the state directory " + state.string();
    }

    ResetDeviceTree();
    ResetWmi();
    ResetRegistry();
    SetWindowsDirectory(windows.string());
    SetAcLineStatus(machine.acLineStatus);
    if (machine.interfaceProbe) {
        if (auto problem = InstallInterface(*machine.interfaceProbe); !problem.empty()) return problem;
    }
    if (machine.fixedProbe) {
        if (auto problem = InstallFixed(*machine.fixedProbe); !problem.empty()) return problem;
    }
    for (const auto& instance : machine.wmiInstances) {
        std::vector<WmiProperty> properties{{u"InstanceName", WmiValue::String(instance.instanceName)}};
        if (instance.temperature) properties.push_back({u"Temperature", *instance.temperature});
        AddWmiInstance(u"ThermalTemperature", std::move(properties));
    }
    for (const auto& value : machine.registry) {
        SetRegistryValue(value.root, value.keyPath, value.name, value.type, value.data);
    }
    ReapplyKeptRegistryChanges();
    detail::RemovedHostedDeviceLocked().reset();
    if (!machine.hostedDevice) {
        ResetHostedDevice();
    } else if (machine.hostedDevice->present) {
        SetHostedDevice({machine.hostedDevice->instanceId, machine.hostedDevice->description});
    } else {
        RemoveHostedDevice();
        detail::RemovedHostedDeviceLocked() = {machine.hostedDevice->instanceId, machine.hostedDevice->description};
    }
    return {};
}

ParsedMachine HostMachine(const std::string& thermalClass)
{
    // The zones in the order of their numbers: thermal_zone2 before thermal_zone10.
    std::optional<std::pair<unsigned long, fs::path>> first;
    std::error_code error;
    for (fs::directory_iterator it(thermalClass, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        constexpr std::string_view kPrefix = "thermal_zone";
        if (!name.starts_with(kPrefix) || name.size() == kPrefix.size() || name.size() > kPrefix.size() + 9 ||
            name.find_first_not_of("0123456789", kPrefix.size()) != std::string::npos) {
            continue;
        }
        const unsigned long number = std::stoul(name.substr(kPrefix.size()));
        std::error_code missing;
        if (!fs::exists(it->path() / "temp", missing)) continue;
        if (!first || number < first->first) first.emplace(number, it->path() / "temp");
    }
    ParsedMachine parsed;
    if (!first) {
        parsed.error = "this machine has no thermal zone (" + thermalClass +
                       "/thermal_zone*/temp); give a machine file whose [interface-probe] source names a "
                       "temperature file, such as a temp1_input of /sys/class/hwmon/hwmon*";
        return parsed;
    }
    MachineDescription machine;
    machine.interfaceProbe.emplace().source = first->second.string();
    machine.fixedProbe.emplace().source = first->second.string();
    parsed.machine = std::move(machine);
    return parsed;
}

void ResetMachine()
{
    std::lock_guard lock(detail::MachineLock());
    ResetDeviceTree();
    ResetWmi();
    // The state directory goes first, so that emptying the registry leaves its file alone.
    ClearStateDirectory();
    ResetRegistry();
    ResetHostedDevice();
    detail::RemovedHostedDeviceLocked().reset();
    SetWindowsDirectory("");
    if (AcLineStatus() != kAcOnline) SetAcLineStatus(kAcOnline);
}

}  // namespace sim
