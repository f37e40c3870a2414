// Probes that follow a temperature file of the Linux machine, observed through the requests the
// driver makes; the machine file's and the commands' words for it; the host's own machine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "machine_test_kit.h"
#include "sim/machine.h"
#include "sim/machine_control.h"
#include "support/temp_dir.h"

namespace {

using machine_test_kit::Answer;
using machine_test_kit::Request;
using sim::Probe;
using ::testing::HasSubstr;

void Write(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::trunc) << text;
}

// What a probe answers to its request: the interface probe's raw key, or the fixed-path probe's
// counts (after a status of "ready, kind 20").
struct ProbeCase {
    const char* name;
    Probe probe;
};
const ProbeCase kProbes[] = {{"Interface", Probe::kInterface}, {"Fixed", Probe::kFixedPath}};
void PrintTo(const ProbeCase& c, std::ostream* out) { *out << c.name; }

// The probe's answer, or its request's error.
Answer Ask(Probe probe)
{
    if (probe == Probe::kInterface) return Request(sim::kInterfaceProbePath, IOCTL_PROBE_READ_VALUE, 4);
    const Answer status = Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_STATUS, 2);
    if (status.error != ERROR_SUCCESS) return status;
    EXPECT_EQ(status.bytes, (std::vector<BYTE>{1, PROBE_KIND_20}));
    return Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_COUNTS, 2);
}

// The answer a probe gives for `celsius`.
std::vector<BYTE> Encoded(Probe probe, double celsius)
{
    if (probe == Probe::kInterface) {
        const std::uint32_t raw = sim::RawKeyForTemperature(celsius);
        return {static_cast<BYTE>(raw), static_cast<BYTE>(raw >> 8), static_cast<BYTE>(raw >> 16),
                static_cast<BYTE>(raw >> 24)};
    }
    const std::uint16_t counts = sim::CountsForTemperature(celsius, PROBE_KIND_20);
    return {static_cast<BYTE>(counts), static_cast<BYTE>(counts >> 8)};
}

class ProbeSource : public ::testing::TestWithParam<ProbeCase> {
protected:
    ProbeSource()
    {
        EXPECT_TRUE(sim::InstallProbes());
        sim::SetProbeSourceListener([this](Probe probe, const std::string& path, const std::string& why) {
            std::lock_guard lock(m_mutex);
            m_heard.push_back((probe == GetParam().probe ? "" : "other ") + path + ": " + (why.empty() ? "ok" : why));
        });
    }
    ~ProbeSource() override
    {
        sim::SetProbeSourceListener(nullptr);
        sim::ResetMachine();
    }

    std::vector<std::string> Heard()
    {
        std::lock_guard lock(m_mutex);
        return m_heard;
    }

    test_support::TempDir m_dir;
    const std::string m_zone = (m_dir.path() / "temp").string();

private:
    std::mutex m_mutex;
    std::vector<std::string> m_heard;
};

TEST_P(ProbeSource, EachRequestReadsTheFileAndAnswersItsTemperatureEncoded)
{
    const Probe probe = GetParam().probe;
    Write(m_zone, "31500\n");
    ASSERT_TRUE(sim::SetProbeSource(probe, m_zone));
    EXPECT_EQ(Ask(probe).bytes, Encoded(probe, 31.5));
    Write(m_zone, "-4250");
    EXPECT_EQ(Ask(probe).bytes, Encoded(probe, -4.25));
    EXPECT_TRUE(Heard().empty());

    // A fixed answer set afterwards stops following the file.
    ASSERT_TRUE(probe == Probe::kInterface ? sim::SetInterfaceProbeTemperature(60.0)
                                           : sim::SetFixedProbeTemperature(60.0));
    EXPECT_EQ(sim::ProbeSource(probe), "");
    EXPECT_EQ(Ask(probe).bytes, Encoded(probe, 60.0));
}

TEST_P(ProbeSource, AnUnreadableSourceFailsTheRequestAndIsHeardOnceUntilItReadsAgain)
{
    const Probe probe = GetParam().probe;
    ASSERT_TRUE(sim::SetProbeSource(probe, m_zone));  // not there yet
    EXPECT_EQ(Ask(probe).error, ERROR_READ_FAULT);
    EXPECT_EQ(Ask(probe).error, ERROR_READ_FAULT);
    Write(m_zone, "warm\n");
    EXPECT_EQ(Ask(probe).error, ERROR_READ_FAULT);
    EXPECT_THAT(Heard(), ::testing::ElementsAre(m_zone + ": No such file or directory"));

    Write(m_zone, "25000\n");
    EXPECT_EQ(Ask(probe).bytes, Encoded(probe, 25.0));
    Write(m_zone, "");
    EXPECT_EQ(Ask(probe).error, ERROR_READ_FAULT);
    EXPECT_THAT(Heard(), ::testing::ElementsAre(m_zone + ": No such file or directory", m_zone + ": ok",
                                                m_zone + ": it holds no number of millidegrees"));
}

INSTANTIATE_TEST_SUITE_P(BothProbes, ProbeSource, ::testing::ValuesIn(kProbes),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ProbeSourceWords, MachineFileAndCommandSetTheSourceRelativeToTheFile)
{
    test_support::TempDir dir;
    Write(dir.path() / "zone", "40000\n");
    Write(dir.path() / "lab.machine", "[interface-probe]\nsource = zone\n[fixed-probe]\nkind = 21\nsource = \"" +
                                          (dir.path() / "zone").string() + "\"\n");
    const sim::ParsedMachine parsed = sim::ReadMachineFile((dir.path() / "lab.machine").string());
    ASSERT_TRUE(parsed.machine) << parsed.error;
    ASSERT_EQ(sim::ApplyMachine(*parsed.machine), "");
    EXPECT_EQ(sim::ProbeSource(Probe::kInterface), (dir.path() / "zone").string());
    const Answer counts = Request(PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_COUNTS, 2);
    const std::uint16_t kind21 = sim::CountsForTemperature(40.0, PROBE_KIND_21);
    EXPECT_EQ(counts.bytes, (std::vector<BYTE>{static_cast<BYTE>(kind21), static_cast<BYTE>(kind21 >> 8)}));

    // A kind change keeps following; the command names what it follows and what it reads now.
    EXPECT_EQ(sim::RunMachineCommand("probe fixed kind 20").status, sim::MachineCommandResult::Status::kApplied);
    EXPECT_EQ(sim::ProbeSource(Probe::kFixedPath), (dir.path() / "zone").string());
    const sim::MachineCommandResult now = sim::RunMachineCommand("probe interface source " + (dir.path() / "zone").string());
    EXPECT_THAT(now.message, HasSubstr("follows " + (dir.path() / "zone").string() + " (now 40 degrees)"));
    const sim::MachineCommandResult gone = sim::RunMachineCommand("probe fixed source /nonexistent/temp");
    EXPECT_THAT(gone.message, HasSubstr("cannot be read now (No such file or directory)"));
    sim::ResetMachine();
}

TEST(ProbeSourceWords, HostMachineFollowsTheLowestNumberedThermalZoneOrSaysThereIsNone)
{
    test_support::TempDir dir;
    for (const char* zone : {"thermal_zone10", "thermal_zone2", "cooling_device0"}) {
        std::filesystem::create_directory(dir.path() / zone);
        Write(dir.path() / zone / "temp", "30000\n");
    }
    std::filesystem::create_directory(dir.path() / "thermal_zone1");  // no temp file
    const sim::ParsedMachine host = sim::HostMachine(dir.path().string());
    ASSERT_TRUE(host.machine) << host.error;
    const std::string zone = (dir.path() / "thermal_zone2" / "temp").string();
    EXPECT_EQ(host.machine->interfaceProbe->source, zone);
    EXPECT_EQ(host.machine->fixedProbe->source, zone);
    EXPECT_TRUE(host.machine->wmiInstances.empty());

    const sim::ParsedMachine none = sim::HostMachine((dir.path() / "thermal_zone1").string());
    EXPECT_FALSE(none.machine);
    EXPECT_THAT(none.error, HasSubstr("this machine has no thermal zone"));
}

}  // namespace
