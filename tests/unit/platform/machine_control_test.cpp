// The machine commands, observed through the platform calls the driver makes.
#include "sim/machine_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>

#include "machine_test_kit.h"
#include "sim/device_tree.h"
#include "sim/machine.h"
#include "sim/power_source.h"
#include "sim/registry.h"
#include "sim/state_directory.h"
#include "support/temp_dir.h"

namespace {

using namespace machine_test_kit;
using Status = sim::MachineCommandResult::Status;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class MachineControl : public ::testing::Test {
protected:
    MachineControl()
    {
        const sim::ParsedMachine parsed = sim::ParseMachine(sim::kDefaultMachine);
        EXPECT_EQ(sim::ApplyMachine(*parsed.machine), "");
    }
    ~MachineControl() override { sim::ResetMachine(); }

    // Runs a command that must apply, and returns its message.
    static std::string Run(std::string_view line)
    {
        const sim::MachineCommandResult result = sim::RunMachineCommand(line);
        EXPECT_EQ(result.status, Status::kApplied) << line << ": " << result.message;
        return result.message;
    }
};

TEST_F(MachineControl, Power_SwitchesWhatGetSystemPowerStatusReportsAndTellsListeners)
{
    std::vector<std::uint32_t> heard;
    const int token = sim::AddPowerSettingListener([&](std::uint32_t value) { heard.push_back(value); });
    EXPECT_EQ(Run("power dc"), "power: dc");
    EXPECT_EQ(AcLineStatus(), AC_LINE_OFFLINE);
    Run("POWER Unknown");
    EXPECT_EQ(AcLineStatus(), AC_LINE_UNKNOWN);
    Run("power ac   # plugged in");
    EXPECT_EQ(AcLineStatus(), AC_LINE_ONLINE);
    sim::RemovePowerSettingListener(token);
    EXPECT_EQ(heard, (std::vector<std::uint32_t>{sim::kPowerSettingDc, sim::kPowerSettingAc}));
}

TEST_F(MachineControl, ProbeInterface_ChangesTheAnswerAndThePresence)
{
    EXPECT_EQ(Run("probe interface temperature 31.5"),
              "interface probe: temperature 31.5 (raw value " + std::to_string(sim::RawKeyForTemperature(31.5)) + ")");
    EXPECT_EQ(InterfaceRaw(), sim::RawKeyForTemperature(31.5));
    Run("probe interface raw 0x21c");
    EXPECT_EQ(InterfaceRaw(), 0x21Cu);
    Run("probe interface raw -2");
    EXPECT_EQ(InterfaceRaw(), 0xFFFFFFFEu);

    Run("probe interface remove");
    EXPECT_FALSE(InterfaceProbeEnumerated());
    EXPECT_EQ(Request(sim::kInterfaceProbePath, IOCTL_PROBE_READ_VALUE, 4).error, ERROR_FILE_NOT_FOUND);
    Run("probe interface restore");
    EXPECT_TRUE(InterfaceProbeEnumerated());
    EXPECT_EQ(InterfaceRaw(), 0xFFFFFFFEu);
    Run("probe interface present no");
    EXPECT_FALSE(InterfaceProbeEnumerated());
    Run("probe interface present yes");
    EXPECT_TRUE(InterfaceProbeEnumerated());
}

TEST_F(MachineControl, ProbeFixed_ChangesStatusCountsAndKind)
{
    Run("probe fixed status 0x1400");
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_STATUS), 0x1400);
    Run("probe fixed counts 960");
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_COUNTS), 960);
    Run("probe fixed kind 21");
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_STATUS), 0x1501);
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_COUNTS), 960);

    // A temperature keeps a kind that has a table, or takes the one named.
    EXPECT_EQ(Run("probe fixed temperature 25.5"), "fixed-path probe: temperature 25.5 (status 0x1501, counts 960)");
    Run("probe fixed temperature 25 kind 20");
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_STATUS), 0x1401);
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_COUNTS), 21136);
    Run("probe fixed status 0x1601");
    Run("probe fixed temperature 25");
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_STATUS), 0x1401);
}

TEST_F(MachineControl, ProbeFail_FailsRequestsUntilUsedUpOrTurnedOff)
{
    EXPECT_EQ(Run("probe fixed fail counts gen-failure 2"),
              "fixed-path probe: counts requests fail with error 31, the next 2");
    EXPECT_EQ(Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_COUNTS, 2).error, ERROR_GEN_FAILURE);
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_STATUS), 0x1401);
    EXPECT_EQ(Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_COUNTS, 2).error, ERROR_GEN_FAILURE);
    EXPECT_TRUE(FixedWord(IOCTL_PROBE_GET_COUNTS));

    EXPECT_EQ(Run("probe interface fail any 1167"), "interface probe: any requests fail with error 1167, always");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Request(sim::kInterfaceProbePath, IOCTL_PROBE_READ_VALUE, 4).error, ERROR_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(Run("probe interface fail any off"), "interface probe: any requests no longer fail");
    EXPECT_TRUE(InterfaceRaw());
}

TEST_F(MachineControl, Wmi_AddsChangesAndRemovesInstancesByName)
{
    const std::string zone = "ACPI\\PNP0C14\\0_0";
    EXPECT_EQ(Run("wmi add \"ACPI\\PNP0C14\\0_0\" 2960"), "wmi: added \"ACPI\\PNP0C14\\0_0\" with Temperature i4 2960");
    Run("wmi add \"zone \"\"b\"\"\" r8 1.5");
    EXPECT_EQ(WmiInstances(),
              (std::vector<std::string>{zone + "=i4 564", zone + "=i4 2960", "zone \"b\"=r8 1.500000"}));

    EXPECT_EQ(Run("wmi set ACPI\\PNP0C14\\0_0 600"),
              "wmi: 2 instance(s) named \"ACPI\\PNP0C14\\0_0\" now have Temperature i4 600");
    Run("wmi set \"zone \"\"b\"\"\" none");
    EXPECT_EQ(WmiInstances(), (std::vector<std::string>{zone + "=i4 600", zone + "=i4 600", "zone \"b\"=none"}));

    // Names compare exactly: another case names another instance.
    EXPECT_EQ(sim::RunMachineCommand("wmi remove acpi\\pnp0c14\\0_0").status, Status::kError);
    EXPECT_EQ(Run("wmi remove ACPI\\PNP0C14\\0_0"), "wmi: removed 2 instance(s) named \"ACPI\\PNP0C14\\0_0\"");
    EXPECT_EQ(WmiInstances(), std::vector<std::string>{"zone \"b\"=none"});
    EXPECT_EQ(Run("wmi clear"), "wmi: removed 1 instance(s)");
    EXPECT_TRUE(WmiInstances().empty());
}

TEST_F(MachineControl, Registry_SetsAndDeletesTestMode)
{
    EXPECT_THAT(Run("registry set TestMode Enable"),
                StartsWith("registry: set HKEY_CURRENT_CONFIG\\Software\\Varmel\\Configure\\TestMode (the driver "
                           "reads it when the device is next added"));
    EXPECT_EQ(TestMode(), std::make_pair(LSTATUS{ERROR_SUCCESS}, std::u16string(u"Enable")));
    Run("registry set HKCC\\Software\\Varmel\\Configure\\TestMode  \"two  words\"");
    EXPECT_EQ(TestMode().second, u"two  words");
    Run("registry set TestMode \"\"");
    EXPECT_EQ(TestMode(), std::make_pair(LSTATUS{ERROR_SUCCESS}, std::u16string()));
    EXPECT_THAT(Run("registry delete testmode"),
                StartsWith("registry: deleted HKEY_CURRENT_CONFIG\\Software\\Varmel\\Configure\\testmode (the driver "
                           "reads it when the device is next added"));
    EXPECT_EQ(TestMode().first, ERROR_FILE_NOT_FOUND);
    const auto again = sim::RunMachineCommand("registry delete TestMode");
    EXPECT_EQ(again.status, Status::kError);
    EXPECT_EQ(again.message,
              "registry delete: there is no value HKEY_CURRENT_CONFIG\\Software\\Varmel\\Configure\\TestMode");
}

// A restarted host applies its machine description again: a value set through the simulation
// channel is kept unless the description sets the same value, and a deleted one stays deleted.
TEST_F(MachineControl, Registry_ChangesSurviveARestartUnlessTheMachineSetsTheSameValue)
{
    test_support::TempDir dir;
    const auto restart = [&](const char* registrySection) {
        sim::ClearStateDirectory();
        ASSERT_TRUE(sim::SetStateDirectory(dir.path()));
        const sim::ParsedMachine parsed = sim::ParseMachine(std::string("[registry]\n") + registrySection);
        ASSERT_TRUE(parsed.machine) << parsed.error;
        ASSERT_EQ(sim::ApplyMachine(*parsed.machine), "");
    };
    const auto other = [] {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Lab", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::u16string();
        char16_t buffer[16] = {};
        DWORD size = sizeof(buffer) - 2;
        const LSTATUS status =
            RegQueryValueExW(key, u"Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS ? std::u16string(buffer) : std::u16string();
    };
    restart("");
    EXPECT_THAT(Run("registry set TestMode Enable"),
                HasSubstr("a restart of the host keeps it unless the machine file"));
    Run("registry set HKLM\\Software\\Lab\\Name set");
    Run("registry set HKLM\\Software\\Lab\\Gone x");
    Run("registry delete HKLM\\Software\\Lab\\Gone");

    restart("HKLM\\Software\\Lab\\Name = machine\n");
    EXPECT_EQ(TestMode().second, u"Enable");
    EXPECT_EQ(other(), u"machine");
    EXPECT_EQ(sim::KeptRegistryChanges(),
              std::vector<std::u16string>{u"HKEY_CURRENT_CONFIG\\Software\\Varmel\\Configure\\TestMode"});

    // The description had its say: the change it overrode is forgotten, not brought back later.
    restart("");
    EXPECT_EQ(TestMode().second, u"Enable");
    EXPECT_EQ(other(), u"");
    Run("registry delete TestMode");
    restart("");
    EXPECT_EQ(TestMode().first, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(sim::KeptRegistryChanges().empty());
}

TEST_F(MachineControl, Device_ChangesTheDescriptionAndTheEntry)
{
    const char16_t* id = sim::kDefaultHostedDeviceInstanceId;
    EXPECT_EQ(Run("device description Probe  in the rack"),
              "device: description \"Probe  in the rack\" (read at the device's next preparation)");
    EXPECT_EQ(DeviceDescription(id), u"Probe  in the rack");
    Run("device description \"\"");
    EXPECT_EQ(DeviceDescription(id), u"");

    Run("device present no");
    EXPECT_EQ(DeviceDescription(id), std::nullopt);
    EXPECT_EQ(sim::RunMachineCommand("device description x").message, "the machine has no entry for the device");
    // Present again, the entry is the one that was removed.
    EXPECT_EQ(Run("device present yes"), "device: present as \"ROOT\\VARMELTHERMAL\\0000\"");
    EXPECT_EQ(DeviceDescription(id), u"");
}

TEST_F(MachineControl, HostCommands_AreHandedBackAndChangeNothing)
{
    const std::pair<const char*, sim::HostCommand> cases[] = {
        {"sleep", sim::HostCommand::kSleep},
        {"Resume", sim::HostCommand::kResume},
        {"surprise-remove", sim::HostCommand::kSurpriseRemove},
        {" add-device  # again", sim::HostCommand::kAddDevice},
    };
    for (const auto& [line, command] : cases) {
        const sim::MachineCommandResult result = sim::RunMachineCommand(line);
        EXPECT_EQ(result.status, Status::kHostCommand) << line;
        EXPECT_EQ(result.hostCommand, command) << line;
        EXPECT_EQ(result.message, sim::HostCommandName(command));
    }
    EXPECT_TRUE(InterfaceProbeEnumerated());
    EXPECT_EQ(sim::RunMachineCommand("sleep now").message, "sleep: unexpected \"now\"");
}

TEST_F(MachineControl, Commands_OnAProbeTheMachineLacksAreRefused)
{
    ASSERT_EQ(sim::ApplyMachine(*sim::ParseMachine("[interface-probe]\n").machine), "");
    for (const char* line : {"probe fixed restore", "probe fixed status 1", "probe fixed temperature 30",
                             "probe fixed fail any 31", "probe fixed kind 21"}) {
        const auto result = sim::RunMachineCommand(line);
        EXPECT_EQ(result.status, Status::kError) << line;
        EXPECT_EQ(result.message, "this machine has no fixed-path probe") << line;
    }
}

struct BadCommand {
    const char* name;
    const char* line;
    const char* message;
};

void PrintTo(const BadCommand& c, std::ostream* out)
{
    *out << c.name;
}

const BadCommand kBadCommands[] = {
    {"Empty", "   # nothing", "no command; try help"},
    {"Unknown", "reboot", "unknown command \"reboot\"; try help"},
    {"QuotedVerb", "\"power\" dc", "unknown command \"power\""},
    {"PowerMissing", "power", "power: an argument is missing"},
    {"PowerUnknown", "power battery", "power: expected ac, dc or unknown, not \"battery\""},
    {"PowerExtra", "power dc now", "power dc: unexpected \"now\""},
    {"ProbeWhich", "probe both remove", "probe: expected interface or fixed, not \"both\""},
    {"ProbeNothing", "probe interface", "probe: expected interface or fixed, then what"},
    {"ProbeWhat", "probe interface kind 20",
     "probe interface: expected remove, restore, present, temperature, raw, source or fail"},
    {"SourceMissing", "probe fixed source", "probe fixed source: the path of a temperature file is missing"},
    {"SourceRelative", "probe interface source temp", "probe interface source: give an absolute path, not \"temp\""},
    {"TemperatureRange", "probe interface temperature 200", "probe interface temperature: 200 is out of range"},
    {"TemperatureKindWord", "probe fixed temperature 20 type 21", "expected CELSIUS [kind 20|21]"},
    {"TemperatureKind", "probe fixed temperature 20 kind 22", "kind must be 20 or 21"},
    {"StatusRange", "probe fixed status 65536", "probe fixed status: 65536 is out of range (0 to 65535)"},
    {"FailRequest", "probe interface fail counts 31", "expected the request read-value or any"},
    {"FailTimes", "probe fixed fail counts 31 never", "expected the times (1 or more) or always"},
    {"WmiWhat", "wmi drop x", "wmi: expected add, set, remove or clear, not \"drop\""},
    {"WmiNoName", "wmi add", "wmi add: the instance name is missing"},
    {"WmiNoValue", "wmi add x", "wmi add x: the Temperature value is missing"},
    {"WmiUnknownName", "wmi set nobody 1", "wmi set: no instance named \"nobody\""},
    {"WmiRemoveExtra", "wmi remove x 1", "wmi remove x: unexpected \"1\""},
    {"RegistryWhat", "registry get TestMode", "registry: expected set or delete"},
    {"RegistryNoPath", "registry set", "registry set: the value's path is missing"},
    {"RegistryNoData", "registry set TestMode", "registry set TestMode: the data is missing; \"\" sets an empty text"},
    {"DeviceWhat", "device rename x", "device: expected description or present"},
    {"DeviceNoText", "device description", "device description: the text is missing"},
    {"DevicePresent", "device present maybe", "device present: expected yes or no"},
    {"UnclosedQuote", "wmi add \"x 1", "a quote is not closed"},

};

class MachineControlError : public MachineControl, public ::testing::WithParamInterface<BadCommand> {};

TEST_P(MachineControlError, RunMachineCommand_RefusesWithAOneLineMessageAndChangesNothing)
{
    const BadCommand& c = GetParam();
    const sim::MachineCommandResult result = sim::RunMachineCommand(c.line);
    EXPECT_EQ(result.status, Status::kError);
    EXPECT_NE(result.message.find(c.message), std::string::npos) << result.message;
    EXPECT_EQ(result.message.find('\n'), std::string::npos) << result.message;
    EXPECT_EQ(sim::CheckMachineCommand(c.line).empty(), std::string(c.name) == "WmiUnknownName");

    EXPECT_EQ(AcLineStatus(), AC_LINE_ONLINE);
    EXPECT_EQ(InterfaceRaw(), sim::RawKeyForTemperature(25.0));
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_STATUS), 0x1401);
    EXPECT_EQ(WmiInstances().size(), 1u);
    EXPECT_EQ(TestMode().first, ERROR_FILE_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(BadCommands, MachineControlError, ::testing::ValuesIn(kBadCommands),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(MachineControl, RunMachineCommand_ChangesTheMachineWhileTheDriverUsesIt)
{
    // Commands from two threads and an apply, beside a reader of both probes and of WMI.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        // The answers change under it (and vanish for a moment while the machine is applied).
        while (!done) {
            FixedWord(IOCTL_PROBE_GET_STATUS);
            InterfaceRaw();
            WmiInstances();
        }
    });
    std::thread commands([] {
        for (int i = 0; i < 50; ++i) {
            Run(i % 2 ? "probe interface remove" : "probe interface restore");
            Run("wmi set ACPI\\PNP0C14\\0_0 " + std::to_string(i));
        }
    });
    for (int i = 0; i < 50; ++i) {
        Run(i % 2 ? "power dc" : "power ac");
        Run("probe fixed temperature " + std::to_string(i));
    }
    commands.join();
    EXPECT_EQ(sim::ApplyMachine(*sim::ParseMachine(sim::kDefaultMachine).machine), "");
    done = true;
    reader.join();
    EXPECT_EQ(InterfaceRaw(), sim::RawKeyForTemperature(25.0));
}

TEST_F(MachineControl, CheckMachineCommand_ParsesWithoutRunning)
{
    EXPECT_EQ(sim::CheckMachineCommand("power dc"), "");
    EXPECT_EQ(sim::CheckMachineCommand("wmi clear"), "");
    EXPECT_EQ(AcLineStatus(), AC_LINE_ONLINE);
    EXPECT_EQ(WmiInstances().size(), 1u);
}

TEST_F(MachineControl, MachineCommandLine_QuotesWordsSoTheyReadBackAsGiven)
{
    const std::string line = sim::MachineCommandLine({"wmi", "add", "zone #1 \"x\"", "bstr", ""});
    EXPECT_EQ(line, "wmi add \"zone #1 \"\"x\"\"\" bstr \"\"");
    Run(line);
    EXPECT_EQ(WmiInstances().back(), "zone #1 \"x\"=vt 8");
}

TEST_F(MachineControl, Help_ListsEveryCommand)
{
    const std::string help = sim::MachineCommandHelp();
    EXPECT_EQ(Run("help"), help);
    for (const char* command : {"power ac|dc|unknown",
                                "probe interface|fixed remove",
                                "probe interface|fixed restore",
                                "probe interface temperature",
                                "probe interface raw",
                                "probe fixed temperature",
                                "probe fixed kind",
                                "probe fixed status",
                                "probe fixed counts",
                                "probe interface fail",
                                "probe fixed fail",
                                "wmi add",
                                "wmi set",
                                "wmi remove",
                                "wmi clear",
                                "registry set",
                                "registry delete",
                                "sleep",
                                "resume",
                                "surprise-remove",
                                "add-device"}) {
        EXPECT_NE(help.find("  " + std::string(command)), std::string::npos) << command;
    }
}

}  // namespace
