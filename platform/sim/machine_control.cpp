// The machine commands: parsed into a Command first, so that a line is checked whole before
// anything changes, then run under the machine lock.
#include "sim/machine_control.h"

#include <cstdio>
#include <variant>

#include "machine_syntax.h"
#include "sim/device_tree.h"
#include "sim/power_source.h"
#include "sim/probe_devices.h"
#include "sim/registry.h"
#include "sim/state_directory.h"
#include "sim/wmi.h"

namespace sim {
namespace {

using namespace detail;

struct SetPower {
    std::uint8_t acLineStatus;
};
struct SetProbePresent {
    Probe probe;
    bool present;
};
struct SetInterfaceTemperature {
    double celsius;
};
struct SetInterfaceRaw {
    std::uint32_t raw;
};
struct SetFixedTemperature {
    double celsius;
    std::optional<std::uint8_t> kind;  // the present kind when it has a table, else 20
};
struct SetFixedKind {
    std::uint8_t kind;
};
struct SetFixedStatus {
    std::uint16_t status;
};
struct SetFixedCounts {
    std::uint16_t counts;
};
struct FollowSource {
    Probe probe;
    std::string path;
};
struct FailProbe {
    Probe probe;
    ProbeFailure failure;
};
struct WmiAdd {
    WmiInstanceDescription instance;
};
struct WmiSet {
    WmiInstanceDescription instance;
};
struct WmiRemove {
    std::u16string instanceName;
};
struct WmiClear {};
struct RegistrySet {
    RegistryValueDescription value;
};
struct RegistryDelete {
    RegistryValueDescription value;
};
struct SetDeviceDescription {
    std::u16string description;
};
struct SetDevicePresent {
    bool present;
};
struct Help {};

using Command =
    std::variant<SetPower, SetProbePresent, SetInterfaceTemperature, SetInterfaceRaw, SetFixedTemperature, SetFixedKind,
                 SetFixedStatus, SetFixedCounts, FollowSource, FailProbe, WmiAdd, WmiSet, WmiRemove, WmiClear, RegistrySet,
                 RegistryDelete, SetDeviceDescription, SetDevicePresent, Help, HostCommand>;

constexpr struct {
    const char* word;
    HostCommand command;
} kHostCommands[] = {
    {"sleep", HostCommand::kSleep},
    {"resume", HostCommand::kResume},
    {"surprise-remove", HostCommand::kSurpriseRemove},
    {"add-device", HostCommand::kAddDevice},
};

// The driver reads the registry when it prepares the device's hardware, which a device added
// again does.
constexpr const char* kRegistryTakesEffect =
    " (the driver reads it when the device is next added: sim surprise-remove, then sim add-device, or a restart "
    "of the host)";

const char* ProbeName(Probe probe)
{
    return probe == Probe::kInterface ? "interface probe" : "fixed-path probe";
}

std::string Hex16(std::uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%04X", value);
    return text;
}

std::string Celsius(double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
}

// Reads one command line. `error` is set, and nothing returned, when the line is not a command.
class CommandParser {
public:
    std::optional<Command> Parse(std::string_view line, std::string& error)
    {
        std::string_view kept;
        if (auto problem = CheckCharacters(line); !problem.empty()) return Fail(problem, error);
        if (auto problem = StripComment(line, kept); !problem.empty()) return Fail(problem, error);
        m_line = Trim(kept);
        if (auto problem = SplitWords(m_line, m_words); !problem.empty()) return Fail(problem, error);
        if (m_words.empty()) return Fail("no command; try help", error);
        if (m_words[0].quoted) return Fail("unknown command " + Quoted(m_words[0].text) + "; try help", error);
        const std::string verb = Lower(m_words[0].text);
        std::optional<Command> command;
        if (verb == "help") {
            command = Expect(1) ? std::optional<Command>(Help{}) : std::nullopt;
        } else if (verb == "power") {
            command = Power();
        } else if (verb == "probe") {
            command = ProbeCommand();
        } else if (verb == "wmi") {
            command = Wmi();
        } else if (verb == "registry") {
            command = Registry();
        } else if (verb == "device") {
            command = Device();
        } else {
            for (const auto& host : kHostCommands) {
                if (verb == host.word && Expect(1)) command = host.command;
            }
            if (!command && m_error.empty()) m_error = "unknown command " + Quoted(m_words[0].text) + "; try help";
        }
        if (!command) return Fail(m_error, error);
        return command;
    }

private:
    static std::optional<Command> Fail(const std::string& problem, std::string& error)
    {
        error = problem;
        return std::nullopt;
    }

    // The words from the first up to `count`, as a prefix for messages.
    std::string Prefix(std::size_t count) const
    {
        std::string prefix;
        for (std::size_t i = 0; i < count && i < m_words.size(); ++i) {
            prefix += (i == 0 ? "" : " ") + m_words[i].text;
        }
        return prefix;
    }

    bool Problem(std::size_t at, const std::string& what)
    {
        m_error = Prefix(at) + ": " + what;
        return false;
    }

    // The command has exactly `count` words.
    bool Expect(std::size_t count)
    {
        if (m_words.size() == count) return true;
        if (m_words.size() < count) return Problem(m_words.size(), "an argument is missing; try help");
        return Problem(count, "unexpected " + Quoted(m_words[count].text));
    }

    bool Check(std::size_t at, const std::string& error)
    {
        if (error.empty()) return true;
        return Problem(at, error);
    }

    std::optional<Command> Power()
    {
        SetPower command{};
        if (!Expect(2) || !Check(1, ParsePower(m_words[1].text, command.acLineStatus))) return std::nullopt;
        return command;
    }

    std::optional<Command> ProbeCommand()
    {
        if (m_words.size() < 3) {
            Problem(1, "expected interface or fixed, then what to change; try help");
            return std::nullopt;
        }
        Probe probe;
        if (SameWord(m_words[1].text, "interface")) {
            probe = Probe::kInterface;
        } else if (SameWord(m_words[1].text, "fixed")) {
            probe = Probe::kFixedPath;
        } else {
            Problem(1, "expected interface or fixed, not " + Quoted(m_words[1].text));
            return std::nullopt;
        }
        const std::string what = Lower(m_words[2].text);
        const std::string_view argument = m_words.size() > 3 ? std::string_view(m_words[3].text) : std::string_view();
        if (what == "remove" || what == "restore") {
            if (!Expect(3)) return std::nullopt;
            return SetProbePresent{probe, what == "restore"};
        }
        if (what == "present") {
            bool present = false;
            if (!Expect(4) || !Check(3, ParseYesNo(argument, present))) return std::nullopt;
            return SetProbePresent{probe, present};
        }
        if (what == "fail") {
            FailProbe command{probe, {}};
            if (!Check(3, ParseFailure(probe, std::span<const Word>(m_words).subspan(3), command.failure))) {
                return std::nullopt;
            }
            return command;
        }
        if (what == "source") {
            FollowSource command{probe, {}};
            if (m_words.size() < 4) {
                Problem(3, "the path of a temperature file is missing, e.g. /sys/class/thermal/thermal_zone0/temp");
                return std::nullopt;
            }
            if (!Check(3, TextValue(m_line.substr(m_words[3].begin), command.path))) return std::nullopt;
            // The host's working directory is not the sender's.
            if (command.path.empty() || command.path.front() != '/') {
                Problem(3, "give an absolute path, not " + Quoted(command.path));
                return std::nullopt;
            }
            return command;
        }
        if (what == "temperature") {
            double celsius = 0;
            if (probe == Probe::kInterface) {
                if (!Expect(4) || !Check(3, ParseTemperature(argument, celsius))) return std::nullopt;
                return SetInterfaceTemperature{celsius};
            }
            if (m_words.size() != 4 && !(m_words.size() == 6 && SameWord(m_words[4].text, "kind"))) {
                Problem(3, "expected CELSIUS [kind 20|21]");
                return std::nullopt;
            }
            SetFixedTemperature command{};
            if (!Check(3, ParseTemperature(argument, command.celsius))) return std::nullopt;
            if (m_words.size() == 6) {
                std::uint8_t kind = 0;
                if (!Check(5, ParseKind(m_words[5].text, kind))) return std::nullopt;
                command.kind = kind;
            }
            return command;
        }
        if (probe == Probe::kInterface && what == "raw") {
            std::uint32_t raw = 0;
            if (!Expect(4) || !Check(3, ParseRawValue(argument, raw))) return std::nullopt;
            return SetInterfaceRaw{raw};
        }
        if (probe == Probe::kFixedPath && what == "kind") {
            std::uint8_t kind = 0;
            if (!Expect(4) || !Check(3, ParseKind(argument, kind))) return std::nullopt;
            return SetFixedKind{kind};
        }
        if (probe == Probe::kFixedPath && (what == "status" || what == "counts")) {
            std::uint16_t value = 0;
            if (!Expect(4) || !Check(3, ParseUint16(argument, value))) return std::nullopt;
            if (what == "status") return SetFixedStatus{value};
            return SetFixedCounts{value};
        }
        Problem(2, probe == Probe::kInterface
                       ? "expected remove, restore, present, temperature, raw, source or fail"
                       : "expected remove, restore, present, temperature, kind, status, counts, source or fail");
        return std::nullopt;
    }

    std::optional<Command> Wmi()
    {
        if (m_words.size() < 2) {
            Problem(1, "expected add, set, remove or clear");
            return std::nullopt;
        }
        const std::string what = Lower(m_words[1].text);
        if (what == "clear") return Expect(2) ? std::optional<Command>(WmiClear{}) : std::nullopt;
        if (what != "add" && what != "set" && what != "remove") {
            Problem(1, "expected add, set, remove or clear, not " + Quoted(m_words[1].text));
            return std::nullopt;
        }
        if (m_words.size() < 3) {
            Problem(2, "the instance name is missing");
            return std::nullopt;
        }
        WmiInstanceDescription instance;
        if (!Check(2, ParseInstanceName(m_words[2], instance.instanceName))) return std::nullopt;
        if (what == "remove") {
            if (!Expect(3)) return std::nullopt;
            return WmiRemove{instance.instanceName};
        }
        if (!Check(3, ParseWmiValue(std::span<const Word>(m_words).subspan(3), instance.temperature))) {
            return std::nullopt;
        }
        if (what == "add") return WmiAdd{std::move(instance)};
        return WmiSet{std::move(instance)};
    }

    std::optional<Command> Registry()
    {
        if (m_words.size() < 2 || (!SameWord(m_words[1].text, "set") && !SameWord(m_words[1].text, "delete"))) {
            Problem(1, "expected set or delete");
            return std::nullopt;
        }
        const bool set = SameWord(m_words[1].text, "set");
        if (m_words.size() < 3) {
            Problem(2, "the value's path is missing");
            return std::nullopt;
        }
        RegistryValueDescription value;
        if (!Check(2, ParseRegistryPath(m_words[2], value))) return std::nullopt;
        if (!set) {
            if (!Expect(3)) return std::nullopt;
            return RegistryDelete{std::move(value)};
        }
        if (m_words.size() < 4) {
            Problem(3, "the data is missing; \"\" sets an empty text");
            return std::nullopt;
        }
        if (!Check(3, ParseRegistryData(m_line.substr(m_words[3].begin), value))) return std::nullopt;
        return RegistrySet{std::move(value)};
    }

    std::optional<Command> Device()
    {
        const std::string what = m_words.size() > 1 ? Lower(m_words[1].text) : std::string();
        if (what == "present") {
            bool present = false;
            if (!Expect(3) || !Check(2, ParseYesNo(m_words[2].text, present))) return std::nullopt;
            return SetDevicePresent{present};
        }
        if (what != "description") {
            Problem(1, "expected description or present");
            return std::nullopt;
        }
        if (m_words.size() < 3) {
            Problem(2, "the text is missing; \"\" sets an empty description");
            return std::nullopt;
        }
        std::string text;
        SetDeviceDescription command;
        if (!Check(2, TextValue(m_line.substr(m_words[2].begin), text)) ||
            !Check(2, Utf8ToUtf16(text, command.description))) {
            return std::nullopt;
        }
        return command;
    }

    std::string_view m_line;
    std::vector<Word> m_words;
    std::string m_error;
};

MachineCommandResult Applied(std::string message)
{
    return {MachineCommandResult::Status::kApplied, std::move(message), HostCommand::kSleep};
}

MachineCommandResult Refused(std::string message)
{
    return {MachineCommandResult::Status::kError, std::move(message), HostCommand::kSleep};
}

MachineCommandResult NotInstalled(Probe probe)
{
    return Refused(std::string("this machine has no ") + ProbeName(probe));
}

// Runs a parsed command; called with the machine lock held.
struct Runner {
    MachineCommandResult operator()(const SetPower& c) const
    {
        SetAcLineStatus(c.acLineStatus);
        return Applied(std::string("power: ") + PowerWord(c.acLineStatus));
    }

    MachineCommandResult operator()(const SetProbePresent& c) const
    {
        if (!(c.present ? RestoreProbe(c.probe) : RemoveProbe(c.probe))) return NotInstalled(c.probe);
        return Applied(std::string(ProbeName(c.probe)) + (c.present ? ": present" : ": removed"));
    }

    MachineCommandResult operator()(const SetInterfaceTemperature& c) const
    {
        if (!SetInterfaceProbeTemperature(c.celsius)) return NotInstalled(Probe::kInterface);
        return Applied("interface probe: temperature " + Celsius(c.celsius) + " (raw value " +
                       std::to_string(InterfaceProbeRawValue()) + ")");
    }

    MachineCommandResult operator()(const SetInterfaceRaw& c) const
    {
        if (!SetInterfaceProbeRawValue(c.raw)) return NotInstalled(Probe::kInterface);
        return Applied("interface probe: raw value " + std::to_string(c.raw));
    }

    MachineCommandResult operator()(const SetFixedTemperature& c) const
    {
        std::uint8_t kind = c.kind.value_or(static_cast<std::uint8_t>(FixedProbeStatusWord() >> 8));
        if (kind != PROBE_KIND_20 && kind != PROBE_KIND_21) kind = PROBE_KIND_20;
        if (!SetFixedProbeTemperature(c.celsius, kind)) return NotInstalled(Probe::kFixedPath);
        return Applied("fixed-path probe: temperature " + Celsius(c.celsius) + " (status " +
                       Hex16(FixedProbeStatusWord()) + ", counts " + std::to_string(FixedProbeCounts()) + ")");
    }

    MachineCommandResult operator()(const SetFixedKind& c) const
    {
        // A probe that follows a source goes on following it, with the new kind's table.
        const std::string source = ProbeSource(Probe::kFixedPath);
        if (!SetFixedProbeStatusWord(static_cast<std::uint16_t>((c.kind << 8) | 1))) {
            return NotInstalled(Probe::kFixedPath);
        }
        SetProbeSource(Probe::kFixedPath, source);
        return Applied("fixed-path probe: status " + Hex16(FixedProbeStatusWord()));
    }

    MachineCommandResult operator()(const FollowSource& c) const
    {
        if (!SetProbeSource(c.probe, c.path)) return NotInstalled(c.probe);
        const std::string message = std::string(ProbeName(c.probe)) + ": follows " + c.path;
        std::string why;
        if (const std::optional<double> celsius = ReadTemperatureSource(c.path, &why)) {
            return Applied(message + " (now " + Celsius(*celsius) + " degrees)");
        }
        return Applied(message + "; it cannot be read now (" + why + "), so the probe's requests fail until it can");
    }

    MachineCommandResult operator()(const SetFixedStatus& c) const
    {
        if (!SetFixedProbeStatusWord(c.status)) return NotInstalled(Probe::kFixedPath);
        return Applied("fixed-path probe: status " + Hex16(c.status));
    }

    MachineCommandResult operator()(const SetFixedCounts& c) const
    {
        if (!SetFixedProbeCounts(c.counts)) return NotInstalled(Probe::kFixedPath);
        return Applied("fixed-path probe: counts " + std::to_string(c.counts));
    }

    MachineCommandResult operator()(const FailProbe& c) const
    {
        const ProbeFailure& f = c.failure;
        if (!FailProbeRequests(c.probe, f.controlCode, f.error, f.times)) return NotInstalled(c.probe);
        std::string message = std::string(ProbeName(c.probe)) + ": " + RequestWord(f.controlCode) + " requests ";
        if (f.times == 0) return Applied(message + "no longer fail");
        message += "fail with error " + std::to_string(f.error);
        return Applied(message + (f.times == kAlways ? ", always" : ", the next " + std::to_string(f.times)));
    }

    MachineCommandResult operator()(const WmiAdd& c) const
    {
        std::vector<WmiProperty> properties{{u"InstanceName", WmiValue::String(c.instance.instanceName)}};
        if (c.instance.temperature) properties.push_back({u"Temperature", *c.instance.temperature});
        AddWmiInstance(u"ThermalTemperature", std::move(properties));
        return Applied("wmi: added " + Quoted(Utf16ToUtf8(c.instance.instanceName)) + " with Temperature " +
                       DescribeWmiValue(c.instance.temperature));
    }

    MachineCommandResult operator()(const WmiSet& c) const
    {
        const auto ids = ThermalTemperatureInstances(c.instance.instanceName);
        if (ids.empty()) return Refused("wmi set: no instance named " + Quoted(Utf16ToUtf8(c.instance.instanceName)));
        for (const int id : ids) {
            if (c.instance.temperature) {
                SetWmiProperty(id, u"Temperature", *c.instance.temperature);
            } else {
                RemoveWmiProperty(id, u"Temperature");
            }
        }
        return Applied("wmi: " + std::to_string(ids.size()) + " instance(s) named " +
                       Quoted(Utf16ToUtf8(c.instance.instanceName)) + " now have Temperature " +
                       DescribeWmiValue(c.instance.temperature));
    }

    MachineCommandResult operator()(const WmiRemove& c) const
    {
        const auto ids = ThermalTemperatureInstances(c.instanceName);
        if (ids.empty()) return Refused("wmi remove: no instance named " + Quoted(Utf16ToUtf8(c.instanceName)));
        for (const int id : ids) RemoveWmiInstance(id);
        return Applied("wmi: removed " + std::to_string(ids.size()) + " instance(s) named " +
                       Quoted(Utf16ToUtf8(c.instanceName)));
    }

    MachineCommandResult operator()(const WmiClear&) const
    {
        const auto ids = ThermalTemperatureInstances(std::nullopt);
        for (const int id : ids) RemoveWmiInstance(id);
        return Applied("wmi: removed " + std::to_string(ids.size()) + " instance(s)");
    }

    MachineCommandResult operator()(const RegistrySet& c) const
    {
        const auto& v = c.value;
        SetRegistryValueKept(v.root, v.keyPath, v.name, v.type, v.data);
        std::string kept;
        if (!StateDirectory().empty()) kept = "; a restart of the host keeps it unless the machine file sets it";
        return Applied("registry: set " + RegistryPathText(v) + kRegistryTakesEffect + kept);
    }

    MachineCommandResult operator()(const RegistryDelete& c) const
    {
        const auto& v = c.value;
        if (!DeleteRegistryValueKept(v.root, v.keyPath, v.name)) {
            return Refused("registry delete: there is no value " + RegistryPathText(v));
        }
        return Applied("registry: deleted " + RegistryPathText(v) + kRegistryTakesEffect);
    }

    MachineCommandResult operator()(const SetDeviceDescription& c) const
    {
        if (!SetHostedDeviceDescription(c.description)) return Refused("the machine has no entry for the device");
        return Applied("device: description " + Quoted(Utf16ToUtf8(c.description)) +
                       " (read at the device's next preparation)");
    }

    MachineCommandResult operator()(const SetDevicePresent& c) const
    {
        auto& removed = RemovedHostedDeviceLocked();
        const auto entry = HostedDevice();
        if (!c.present) {
            if (entry) removed = entry;
            RemoveHostedDevice();
            return Applied("device: no entry; its instance ID and description cannot be read");
        }
        if (entry) return Applied("device: present as " + Quoted(Utf16ToUtf8(entry->instanceId)));
        SetHostedDevice(
            removed.value_or(HostedDeviceEntry{kDefaultHostedDeviceInstanceId, kDefaultHostedDeviceDescription}));
        removed.reset();
        return Applied("device: present as " + Quoted(Utf16ToUtf8(HostedDevice()->instanceId)));
    }

    MachineCommandResult operator()(const Help&) const { return Applied(MachineCommandHelp()); }

    MachineCommandResult operator()(HostCommand c) const
    {
        return {MachineCommandResult::Status::kHostCommand, HostCommandName(c), c};
    }
};

bool NeedsQuotes(std::string_view word)
{
    if (word.empty()) return true;
    for (const char c : word) {
        if (IsBlank(c) || c == '"' || c == '#') return true;
    }
    return false;
}

}  // namespace

const char* HostCommandName(HostCommand command)
{
    for (const auto& host : kHostCommands) {
        if (host.command == command) return host.word;
    }
    return "?";
}

MachineCommandResult RunMachineCommand(std::string_view line)
{
    std::string error;
    const auto command = CommandParser().Parse(line, error);
    if (!command) return Refused(error);
    if (std::holds_alternative<HostCommand>(*command) || std::holds_alternative<Help>(*command)) {
        return std::visit(Runner{}, *command);
    }
    std::lock_guard lock(MachineLock());
    return std::visit(Runner{}, *command);
}

std::string CheckMachineCommand(std::string_view line)
{
    std::string error;
    CommandParser().Parse(line, error);
    return error;
}

std::string MachineCommandLine(const std::vector<std::string>& words)
{
    std::string line;
    for (const auto& word : words) {
        if (!line.empty()) line += ' ';
        line += NeedsQuotes(word) ? Quoted(word) : word;
    }
    return line;
}

const char* MachineCommandHelp()
{
    return "Machine commands (the words of the machine file, docs/machine-file.md):\n"
           "  power ac|dc|unknown                      switch the power source\n"
           "  probe interface|fixed remove             unplug the probe\n"
           "  probe interface|fixed restore            plug it back in\n"
           "  probe interface|fixed present yes|no     the same as restore or remove\n"
           "  probe interface temperature CELSIUS      answer a temperature (-15 to 105)\n"
           "  probe interface raw VALUE                answer this 32-bit raw value\n"
           "  probe fixed temperature CELSIUS [kind 20|21]\n"
           "                                           answer a temperature, ready, with this kind\n"
           "  probe fixed kind 20|21                   ready, with this sensor kind\n"
           "  probe fixed status WORD                  answer this status word (low byte ready, high byte kind)\n"
           "  probe fixed counts COUNTS                answer these raw counts (0 to 65535)\n"
           "  probe interface|fixed source PATH        follow a temperature file of this machine (millidegrees),\n"
           "                                           e.g. /sys/class/thermal/thermal_zone0/temp; a temperature,\n"
           "                                           raw value, status or counts stops following\n"
           "  probe interface fail read-value|any ERROR [TIMES|always]\n"
           "  probe fixed fail status|counts|any ERROR [TIMES|always]\n"
           "                                           fail requests (always when no times are given)\n"
           "  probe interface|fixed fail REQUEST off   stop failing them\n"
           "  wmi add NAME VALUE                       add a ThermalTemperature instance\n"
           "  wmi set NAME VALUE                       change the Temperature of the instances named NAME\n"
           "  wmi remove NAME                          remove the instances named NAME\n"
           "  wmi clear                                remove every instance\n"
           "  registry set PATH DATA                   set a registry value\n"
           "  registry delete PATH                     delete a registry value\n"
           "                                           the driver reads the registry when the device is added:\n"
           "                                           a change takes effect at surprise-remove, then add-device\n"
           "                                           (or a restart of the host, which keeps values set here\n"
           "                                           unless the machine file sets them)\n"
           "  device description TEXT                  the description device setup reads for the device\n"
           "  device present yes|no                    no: the machine has no entry for the device, so its\n"
           "                                           instance ID and description cannot be read\n"
           "Host commands (the driver host carries them out):\n"
           "  sleep                                    system sleep: the device leaves D0 for D3\n"
           "  resume                                   system resume: the device returns to D0\n"
           "  surprise-remove                          the device is pulled out\n"
           "  add-device                               the device is added again\n"
           "  help                                     this text\n"
           "Values:\n"
           "  ERROR   a number, or invalid-function, gen-failure, not-ready, not-supported,\n"
           "          insufficient-buffer, io-device, device-not-connected, timeout\n"
           "  NAME    an InstanceName, e.g. \"ACPI\\PNP0C14\\0_0\"; quote it when it holds blanks\n"
           "  VALUE   a number (i4), or i2|i4|ui4 NUMBER, r8 NUMBER, bool true|false, bstr TEXT,\n"
           "          null, or none for no Temperature property\n"
           "  PATH    TestMode (a value of the driver's key HKEY_CURRENT_CONFIG\\Software\\Varmel\\Configure),\n"
           "          or HKEY_CURRENT_CONFIG|HKEY_LOCAL_MACHINE\\KEY\\NAME\n"
           "  DATA    a text (REG_SZ), or sz|expand-sz TEXT, dword NUMBER, binary HEX-BYTES\n"
           "  Numbers are decimal, or hexadecimal after 0x. Quote a word with \"...\"; \"\" is a quote inside it.\n";
}

}  // namespace sim
