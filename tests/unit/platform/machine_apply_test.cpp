// Applying machine descriptions, observed through the platform calls the driver makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "machine_test_kit.h"
#include "sim/device_tree.h"
#include "sim/machine.h"
#include "sim/probe_devices.h"
#include "sim/state_directory.h"
#include "sim/windows_directory.h"
#include "support/temp_dir.h"

namespace {

using namespace machine_test_kit;

class MachineApply : public ::testing::Test {
protected:
    void TearDown() override { sim::ResetMachine(); }

    static std::string Apply(std::string_view text)
    {
        const sim::ParsedMachine parsed = sim::ParseMachine(text);
        if (!parsed.machine) return "parse: " + parsed.error;
        return sim::ApplyMachine(*parsed.machine);
    }

    std::string InState(const char* text) const { return text + m_state.path().string(); }

    test_support::TempDir m_state;
};

TEST_F(MachineApply, DefaultMachine_AnswersThroughThePlatformCalls)
{
    ASSERT_EQ(Apply(sim::kDefaultMachine), "");
    EXPECT_EQ(AcLineStatus(), AC_LINE_ONLINE);
    EXPECT_TRUE(InterfaceProbeEnumerated());
    EXPECT_EQ(InterfaceRaw(), sim::RawKeyForTemperature(25.0));
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_STATUS), 0x1401);  // ready, kind 20
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_COUNTS), 21136);   // the kind-20 table's entry for 25 degrees
    EXPECT_EQ(WmiInstances(), std::vector<std::string>{"ACPI\\PNP0C14\\0_0=i4 564"});
    EXPECT_EQ(TestMode().first, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(MapFile(kAcMapPath), std::nullopt);  // no Windows directory without a state directory
    EXPECT_EQ(DeviceDescription(sim::kDefaultHostedDeviceInstanceId), sim::kDefaultHostedDeviceDescription);
}

TEST_F(MachineApply, ApplyMachine_SetsTheHostedDevicesEntry)
{
    ASSERT_EQ(Apply("[device]\ninstance-id = ROOT\\LAB\\0001\ndescription = Probe in the rack\n"), "");
    EXPECT_EQ(DeviceDescription(u"root\\lab\\0001"), u"Probe in the rack");
    EXPECT_EQ(DeviceDescription(sim::kDefaultHostedDeviceInstanceId), std::nullopt);

    ASSERT_EQ(Apply("[device]\npresent = no\n"), "");
    EXPECT_EQ(DeviceDescription(sim::kDefaultHostedDeviceInstanceId), std::nullopt);
    EXPECT_FALSE(sim::HostedDevice());

    // A machine without the section has the default entry.
    ASSERT_EQ(Apply("[machine]\n"), "");
    EXPECT_EQ(DeviceDescription(sim::kDefaultHostedDeviceInstanceId), sim::kDefaultHostedDeviceDescription);
}

TEST_F(MachineApply, ApplyMachine_BuildsEveryPartTheFileNames)
{
    const std::string text = "[machine]\npower = dc\nstate-directory = " + m_state.path().string() +
                             "\n"
                             "[interface-probe]\ntemperature = 40.0\n"
                             "[fixed-probe]\nstatus = 0x1501\ncounts = 960\nfail = counts gen-failure 2\n"
                             "[wmi]\ninstance = zone1 r8 29.5\ninstance = \"ACPI\\PNP0C14\\0_0 B\" 700\n"
                             "instance = bare none\n"
                             "[registry]\nTestMode = Enable\n"
                             "[map ac]\n100 = 25.5\r\n200 = 30\n"
                             "[map dc]\n# empty\n";
    ASSERT_EQ(Apply(text), "");

    EXPECT_EQ(AcLineStatus(), AC_LINE_OFFLINE);
    EXPECT_EQ(sim::StateDirectory(), m_state.path());
    EXPECT_EQ(InterfaceRaw(), sim::RawKeyForTemperature(40.0));
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_STATUS), 0x1501);
    const Answer failed = Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_COUNTS, 2);
    EXPECT_EQ(failed.error, ERROR_GEN_FAILURE);
    EXPECT_EQ(Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_COUNTS, 2).error, ERROR_GEN_FAILURE);
    EXPECT_EQ(FixedWord(IOCTL_PROBE_GET_COUNTS), 960);  // the failures were used up
    EXPECT_EQ(WmiInstances(),
              (std::vector<std::string>{"zone1=r8 29.500000", "ACPI\\PNP0C14\\0_0 B=i4 700", "bare=none"}));
    EXPECT_EQ(TestMode(), std::make_pair(LSTATUS{ERROR_SUCCESS}, std::u16string(u"Enable")));
    // The map files are in the Windows directory "windows" of the state directory, read in text mode.
    EXPECT_EQ(sim::WindowsDirectory(), (m_state.path() / "windows").string());
    EXPECT_EQ(MapFile(kAcMapPath), "100 = 25.5\n200 = 30\n");
    EXPECT_EQ(MapFile(kDcMapPath), "# empty\n");
}

TEST_F(MachineApply, ApplyMachine_AnAbsentProbeIsUnpluggedAndAnUnnamedOneDoesNotExist)
{
    ASSERT_EQ(Apply("[interface-probe]\npresent = no\nraw = -1\n"), "");
    EXPECT_FALSE(InterfaceProbeEnumerated());
    EXPECT_EQ(Request(sim::kInterfaceProbePath, IOCTL_PROBE_READ_VALUE, 4).error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_STATUS, 2).error, ERROR_FILE_NOT_FOUND);
    // Plugged back in, the unplugged one answers what the file said.
    ASSERT_TRUE(sim::RestoreProbe(sim::Probe::kInterface));
    EXPECT_EQ(InterfaceRaw(), 0xFFFFFFFFu);
    EXPECT_FALSE(sim::RestoreProbe(sim::Probe::kFixedPath));
}

TEST_F(MachineApply, ApplyMachine_ReplacesEverythingTheLastMachineHad)
{
    ASSERT_EQ(Apply(InState("[registry]\nTestMode = Enable\nHKLM\\Software\\X\\Y = 1\n[wmi]\ninstance = a 1\n"
                            "[interface-probe]\n[fixed-probe]\n[machine]\npower = unknown\nstate-directory = ")),
              "");
    ASSERT_EQ(TestMode().first, ERROR_SUCCESS);

    ASSERT_EQ(Apply("[machine]\n"), "");
    EXPECT_EQ(AcLineStatus(), AC_LINE_ONLINE);
    EXPECT_FALSE(InterfaceProbeEnumerated());
    EXPECT_EQ(Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_STATUS, 2).error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(WmiInstances().empty());
    EXPECT_EQ(TestMode().first, ERROR_FILE_NOT_FOUND);
    // The state directory was not named again, so it stays, and its registry file is now empty too.
    EXPECT_EQ(sim::StateDirectory(), m_state.path());
    sim::ClearStateDirectory();
    ASSERT_TRUE(sim::SetStateDirectory(m_state.path()));
    EXPECT_EQ(TestMode().first, ERROR_FILE_NOT_FOUND);
}

TEST_F(MachineApply, ApplyMachine_PutsARelativeWindowsDirectoryInTheStateDirectory)
{
    ASSERT_EQ(Apply(InState("[map dc]\n1=2\n[machine]\nwindows-directory = machine/../win\nstate-directory = ")), "");
    EXPECT_EQ(sim::WindowsDirectory(), (m_state.path() / "win").string());
    EXPECT_TRUE(std::filesystem::exists(m_state.path() / "win/system32/drivers/UMDF/ThermalMap_DC.ini"));
    EXPECT_EQ(MapFile(kDcMapPath), "1=2\n");
    EXPECT_EQ(MapFile(kAcMapPath), std::nullopt);

    const test_support::TempDir elsewhere;
    ASSERT_EQ(Apply("[map ac]\n3=4\n[machine]\nwindows-directory = " + elsewhere.path().string()), "");
    EXPECT_EQ(sim::WindowsDirectory(), elsewhere.path().string());
    EXPECT_EQ(MapFile(kAcMapPath), "3=4\n");
}

TEST_F(MachineApply, ApplyMachine_LeavesMapFilesItDoesNotNameAsTheyAre)
{
    ASSERT_EQ(Apply(InState("[map ac]\n1=1\n[map dc]\n2=2\n[machine]\nstate-directory = ")), "");
    ASSERT_EQ(Apply("[map ac]\n5=5\n"), "");
    EXPECT_EQ(MapFile(kAcMapPath), "5=5\n");
    EXPECT_EQ(MapFile(kDcMapPath), "2=2\n");
}

TEST_F(MachineApply, ApplyMachine_ThatFailsLeavesTheMachineAsItWas)
{
    ASSERT_EQ(Apply(sim::kDefaultMachine), "");
    // Map files without any Windows directory, a relative Windows directory without a state
    // directory, and a Windows directory that is a file.
    const std::filesystem::path file = m_state.path() / "file";
    std::ofstream(file) << "x";
    const std::string failing[] = {
        "[map ac]\n1=2\n",
        "[machine]\nwindows-directory = win\n",
        "[machine]\npower = dc\nwindows-directory = " + file.string() + "\n[map dc]\n1=2\n",
        "[machine]\npower = dc\nstate-directory = " + file.string() + "/state\n",
    };
    for (const std::string& text : failing) {
        EXPECT_NE(Apply(text), "") << text;
        EXPECT_EQ(AcLineStatus(), AC_LINE_ONLINE) << text;
        EXPECT_EQ(InterfaceRaw(), sim::RawKeyForTemperature(25.0)) << text;
        EXPECT_EQ(WmiInstances().size(), 1u) << text;
        EXPECT_TRUE(sim::StateDirectory().empty()) << text;
    }
}

TEST_F(MachineApply, ParseMachine_ThatFailsOnTheLastLineAppliesNothing)
{
    ASSERT_EQ(Apply(sim::kDefaultMachine), "");
    const std::string text = InState(
                                 "[interface-probe]\npresent = no\n[wmi]\ninstance = x 1\n[registry]\n"
                                 "TestMode = Enable\n[map ac]\n1=2\n[machine]\npower = dc\nstate-directory = ") +
                             "\npower-source = ac\n";
    EXPECT_EQ(Apply(text).rfind("parse: line 12: unknown key \"power-source\"", 0), 0u);
    EXPECT_EQ(AcLineStatus(), AC_LINE_ONLINE);
    EXPECT_TRUE(InterfaceProbeEnumerated());
    EXPECT_EQ(WmiInstances().size(), 1u);
    EXPECT_EQ(TestMode().first, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(sim::StateDirectory().empty());
    EXPECT_TRUE(std::filesystem::is_empty(m_state.path()));
}

TEST_F(MachineApply, ResetMachine_EmptiesEveryPartButTouchesNoFile)
{
    ASSERT_EQ(Apply(InState("[registry]\nTestMode = Enable\n[interface-probe]\n[wmi]\ninstance = a 1\n[map ac]\n1=2\n"
                            "[device]\ndescription = x\n[machine]\npower = dc\nstate-directory = ")),
              "");
    sim::ResetMachine();
    EXPECT_EQ(DeviceDescription(sim::kDefaultHostedDeviceInstanceId), sim::kDefaultHostedDeviceDescription);
    EXPECT_EQ(AcLineStatus(), AC_LINE_ONLINE);
    EXPECT_FALSE(InterfaceProbeEnumerated());
    EXPECT_TRUE(WmiInstances().empty());
    EXPECT_EQ(TestMode().first, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(sim::StateDirectory().empty());
    EXPECT_EQ(sim::WindowsDirectory(), "");
    EXPECT_EQ(MapFile(kAcMapPath), std::nullopt);
    // The state directory still holds what the machine kept there.
    EXPECT_TRUE(std::filesystem::exists(m_state.path() / "windows/system32/drivers/UMDF/ThermalMap_AC.ini"));
    ASSERT_TRUE(sim::SetStateDirectory(m_state.path()));
    EXPECT_EQ(TestMode(), std::make_pair(LSTATUS{ERROR_SUCCESS}, std::u16string(u"Enable")));
}

}  // namespace
