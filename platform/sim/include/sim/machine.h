// The simulated machine as a whole: its description file, the embedded default machine, and the
// reset that tests call. The file's format is written down in docs/machine-file.md.
//
//   sim::ParsedMachine parsed = sim::ReadMachineFile("lab.machine");
//   if (!parsed.machine) { std::fprintf(stderr, "%s\n", parsed.error.c_str()); return 2; }
//   if (const std::string problem = sim::ApplyMachine(*parsed.machine); !problem.empty()) { ... }
//
//   sim::ApplyMachine(*sim::ParseMachine(sim::kDefaultMachine).machine);  // the machine without a file
//   sim::ResetMachine();                                                   // in test teardown
//
// Parsing has no side effects: a text is read to its end and either yields a whole description or
// the first error with its line number, so a bad file changes nothing. Applying resets each part
// of the machine (devices, WMI instances, registry, the hosted device's entry) and then builds what the
// description names, and sets again the registry changes made at run time that the state
// directory keeps (sim/registry.h), unless the description sets the same value; map files are
// written before anything else changes, so a failure to write them also leaves the machine as it
// was.
//
// Thread safety: every function may be called from any thread. ApplyMachine, ResetMachine and the
// control commands (sim/machine_control.h) are serialised by one lock, so a command never lands in
// the middle of an apply. The description types are plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "platform/types.h"
#include "sim/registry.h"
#include "sim/wmi.h"

PLATFORM_API_BEGIN

namespace sim {

// What a probe device fails, and how often: `controlCode` 0 stands for every request, `times`
// kAlways (sim/probe_devices.h) for every request until cleared.
struct ProbeFailure {
    DWORD controlCode = 0;
    DWORD error = 0;
    int times = -1;
};

struct InterfaceProbeDescription {
    bool present = true;  // false: installed but unplugged, so a restore plugs it in
    double temperature = 25.0;
    std::optional<std::uint32_t> raw;  // answered instead of the temperature's key when set
    std::string source;  // a temperature file followed instead (sim/probe_devices.h); empty: none
    std::vector<ProbeFailure> failures;
};

struct FixedProbeDescription {
    bool present = true;
    std::uint8_t kind = 20;
    double temperature = 25.0;
    std::optional<std::uint16_t> status;  // answered instead of "ready, kind" when set
    std::optional<std::uint16_t> counts;  // answered instead of the temperature's counts when set
    std::string source;  // a temperature file followed instead, with this kind; empty: none
    std::vector<ProbeFailure> failures;
};

struct WmiInstanceDescription {
    std::u16string instanceName;
    std::optional<WmiValue> temperature;  // empty: the instance has no Temperature property
};

struct RegistryValueDescription {
    RegistryRoot root = RegistryRoot::CurrentConfig;
    std::u16string keyPath;
    std::u16string name;
    std::uint32_t type = 1;  // REG_SZ
    std::vector<std::uint8_t> data;
};

// The machine's entry for the device that the driver host runs (sim/device_tree.h).
struct HostedDeviceDescription {
    bool present = true;  // false: no entry, so the device's description cannot be read
    std::u16string instanceId;
    std::u16string description;
};

struct MachineDescription {
    std::uint8_t acLineStatus = 1;  // kAcOnline, kAcOffline or kAcUnknown (sim/power_source.h)
    // As written: the state directory absolute (ReadMachineFile makes a relative one absolute), the
    // Windows directory absolute or relative to the state directory. Empty: not named.
    std::string stateDirectory;
    std::string windowsDirectory;
    // Contents of ThermalMap_AC.ini and ThermalMap_DC.ini to write below the Windows directory.
    std::optional<std::string> acMap;
    std::optional<std::string> dcMap;
    std::optional<InterfaceProbeDescription> interfaceProbe;  // empty: no such device
    std::optional<FixedProbeDescription> fixedProbe;
    std::vector<WmiInstanceDescription> wmiInstances;  // in the order they are enumerated
    std::vector<RegistryValueDescription> registry;
    std::optional<HostedDeviceDescription> hostedDevice;  // empty: the default entry
};

struct ParsedMachine {
    std::optional<MachineDescription> machine;
    std::string error;  // "line N: what is wrong", set when there is no machine
    int errorLine = 0;  // 0 when the error concerns no line
};

// Parses a machine description (a UTF-8 byte-order mark at its start is skipped). Never throws for
// any input (allocation failure aside).
ParsedMachine ParseMachine(std::string_view text);

// The largest machine file ReadMachineFile takes.
inline constexpr std::size_t kMaxMachineFileBytes = 16u << 20;

// Reads and parses a file; a relative state directory or probe source is taken relative to the
// file's directory.
// Only a regular file of at most kMaxMachineFileBytes is read. Errors name the file:
// "lab.machine:12: unknown key ...", "/dev/zero: cannot be used: it is a character device, not a
// regular file".
ParsedMachine ReadMachineFile(const std::string& path);

// Makes the machine what the description says. A state directory named there is set; otherwise the
// current one stays. The Windows directory is the one named, made absolute against the state
// directory, or "windows" in the state directory when none is named (none at all without a state
// directory). Map files named are written (atomically) before anything else changes; map files not
// named are left as they are. Returns an empty string on success, else what failed; the machine
// is then unchanged, apart from directories made on the way.
std::string ApplyMachine(const MachineDescription& machine);

// The machine that the driver host runs when it is given no file: both probes present at 25.0
// degrees (the fixed-path one as kind 20), one WMI instance "ACPI\PNP0C14\0_0" whose Temperature is
// the default thermal map's key for 25.0 degrees, mains power, no TestMode value.
extern const char kDefaultMachine[];

// The machine that follows the Linux machine's own temperature: both probes read the first thermal
// zone below `thermalClass` (thermal_zoneN/temp, the lowest N), and there is nothing else: no WMI
// instance, so a zone that cannot be read gives no reading. Without a thermal zone, the error says
// so and what to do instead.
ParsedMachine HostMachine(const std::string& thermalClass = "/sys/class/thermal");

// Puts every part of the machine back as a test binary starts: no devices, no WMI instances, an
// empty registry, no state or Windows directory, mains power, the default hosted device entry.
// Touches no file.
void ResetMachine();

}  // namespace sim
PLATFORM_API_END
