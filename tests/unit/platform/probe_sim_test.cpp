#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "platform/kernel/file.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/probe/probe_ioctl.h"
#include "platform/setupapi/setupapi.h"
#include "platform_testing/virtual_clock.h"
#include "sim/device_tree.h"
#include "sim/probe_devices.h"

namespace {

using platform::testing::ScopedVirtualClock;
using sim::Probe;

// What each simulated probe answers: its path and one of its codes with the answer's layout size.
struct ProbeCase {
    const char* name;
    Probe probe;
    const WCHAR* path;
    DWORD code;
    DWORD layoutSize;
};

const ProbeCase kProbeCases[] = {
    {"InterfaceReadValue", Probe::kInterface, sim::kInterfaceProbePath, IOCTL_PROBE_READ_VALUE, 4},
    {"FixedGetStatus", Probe::kFixedPath, PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_STATUS, 2},
    {"FixedGetCounts", Probe::kFixedPath, PROBE_FIXED_DEVICE_PATH, IOCTL_PROBE_GET_COUNTS, 2},
};

void PrintTo(const ProbeCase& c, std::ostream* out) { *out << c.name; }

HANDLE OpenProbe(const WCHAR* path)
{
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class ProbeSim : public ::testing::Test {
protected:
    ProbeSim() { EXPECT_TRUE(sim::InstallProbes()); }
    ~ProbeSim() override { sim::ResetDeviceTree(); }
};

// Every probe request behaves alike at the edges.
class EveryProbeRequest : public ProbeSim, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(EveryProbeRequest, AnswersItsLayoutAndRefusesShortBuffers)
{
    const ProbeCase& c = GetParam();
    HANDLE device = OpenProbe(c.path);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    std::array<BYTE, 8> output;
    output.fill(0xEE);
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(device, c.code, nullptr, 0, output.data(), 8, &bytes, nullptr));
    EXPECT_EQ(bytes, c.layoutSize);
    EXPECT_EQ(output[c.layoutSize], 0xEE);

    output.fill(0xEE);
    EXPECT_FALSE(DeviceIoControl(device, c.code, nullptr, 0, output.data(), c.layoutSize - 1, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(output[0], 0xEE);

    // Another probe's code is not this device's business.
    const DWORD foreign = c.probe == Probe::kInterface ? IOCTL_PROBE_GET_STATUS : IOCTL_PROBE_READ_VALUE;
    EXPECT_FALSE(DeviceIoControl(device, foreign, nullptr, 0, output.data(), 8, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    CloseHandle(device);
}

TEST_P(EveryProbeRequest, FailsOnDemandThenRecovers)
{
    const ProbeCase& c = GetParam();
    HANDLE device = OpenProbe(c.path);
    ASSERT_TRUE(sim::FailProbeRequests(c.probe, c.code, ERROR_GEN_FAILURE, 2));
    std::array<BYTE, 4> output{};
    DWORD bytes = 0;
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(DeviceIoControl(device, c.code, nullptr, 0, output.data(), 4, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    }
    EXPECT_TRUE(DeviceIoControl(device, c.code, nullptr, 0, output.data(), 4, &bytes, nullptr));

    ASSERT_TRUE(sim::FailProbeRequests(c.probe, 0, ERROR_NOT_SUPPORTED, sim::kAlways));
    EXPECT_FALSE(DeviceIoControl(device, c.code, nullptr, 0, output.data(), 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    ASSERT_TRUE(sim::FailProbeRequests(c.probe, 0, 0, 0));
    EXPECT_TRUE(DeviceIoControl(device, c.code, nullptr, 0, output.data(), 4, &bytes, nullptr));
    EXPECT_EQ(sim::ProbeRequestCount(c.probe, c.code), 5u);
    CloseHandle(device);
}

TEST_P(EveryProbeRequest, RemovalFailsOpenHandlesAndRestoreTakesNewOpens)
{
    const ProbeCase& c = GetParam();
    HANDLE device = OpenProbe(c.path);
    ASSERT_TRUE(sim::RemoveProbe(c.probe));
    std::array<BYTE, 4> output{0xEE, 0xEE, 0xEE, 0xEE};
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(device, c.code, nullptr, 0, output.data(), 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(output[0], 0xEE);
    EXPECT_EQ(OpenProbe(c.path), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(sim::RestoreProbe(c.probe));
    HANDLE fresh = OpenProbe(c.path);
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeviceIoControl(fresh, c.code, nullptr, 0, output.data(), 4, &bytes, nullptr));
    CloseHandle(device);
    CloseHandle(fresh);
    EXPECT_EQ(sim::ProbeOpenCount(c.probe), 2u);
    EXPECT_EQ(sim::ProbeOpenHandleCount(c.probe), 0u);
}

struct HeldRead {
    HANDLE device;
    DWORD code;
    BOOL result = FALSE;
};

DWORD WINAPI ReadProbe(LPVOID parameter)
{
    auto* read = static_cast<HeldRead*>(parameter);
    std::array<BYTE, 4> output{};
    DWORD bytes = 0;
    read->result = DeviceIoControl(read->device, read->code, nullptr, 0, output.data(), 4, &bytes, nullptr);
    return 0;
}

TEST_P(EveryProbeRequest, SlowDeviceGateHoldsRequestsUntilReleased)
{
    const ProbeCase& c = GetParam();
    ScopedVirtualClock clock;
    HANDLE device = OpenProbe(c.path);
    ASSERT_TRUE(sim::HoldProbeRequests(c.probe));
    HeldRead read{device, c.code};
    HANDLE thread = CreateThread(nullptr, 0, ReadProbe, &read, 0, nullptr);
    clock.RunUntilIdle();
    EXPECT_EQ(sim::HeldProbeRequests(c.probe), 1u);
    ASSERT_TRUE(sim::ReleaseProbeRequests(c.probe));
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(read.result);
    EXPECT_EQ(sim::HeldProbeRequests(c.probe), 0u);
    CloseHandle(thread);
    CloseHandle(device);
}

INSTANTIATE_TEST_SUITE_P(ProbeSim, EveryProbeRequest, ::testing::ValuesIn(kProbeCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

template <class T>
T Ask(HANDLE device, DWORD code)
{
    T answer{};
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, code, nullptr, 0, &answer, sizeof(answer), &bytes, nullptr));
    EXPECT_EQ(bytes, sizeof(answer));
    return answer;
}

TEST_F(ProbeSim, InterfaceProbe_IsEnumeratedUnderTheProbeClassAndAnswersTheRawValue)
{
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PROBE, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_PROBE, 0, &data));
    SetupDiDestroyDeviceInfoList(set);

    HANDLE device = CreateFileW(sim::kInterfaceProbePath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(sim::SetInterfaceProbeRawValue(0xFFFFFFFE));
    EXPECT_EQ(Ask<PROBE_RAW_VALUE>(device, IOCTL_PROBE_READ_VALUE).Value, 0xFFFFFFFEu);
    ASSERT_TRUE(sim::SetInterfaceProbeTemperature(102.0));
    EXPECT_EQ(Ask<PROBE_RAW_VALUE>(device, IOCTL_PROBE_READ_VALUE).Value, 67u);
    CloseHandle(device);
}

TEST_F(ProbeSim, RawKeyForTemperature_NearestKeyOfTheDefaultMapLowestOnTies)
{
    EXPECT_EQ(sim::RawKeyForTemperature(105.0), 0u);    // keys 0 to 62 all read 105
    EXPECT_EQ(sim::RawKeyForTemperature(300.0), 0u);
    EXPECT_EQ(sim::RawKeyForTemperature(104.5), 63u);
    EXPECT_EQ(sim::RawKeyForTemperature(104.6), 63u);
    EXPECT_EQ(sim::RawKeyForTemperature(102.0), 67u);
    EXPECT_EQ(sim::RawKeyForTemperature(40.5), 388u);   // keys 388 and 389 both read 40.5
    EXPECT_EQ(sim::RawKeyForTemperature(-15.0), 980u);  // keys 980 to 1022 all read -15
    EXPECT_EQ(sim::RawKeyForTemperature(-60.0), 980u);
}

TEST_F(ProbeSim, FixedProbe_AnswersStatusBytesAndCountsLittleEndian)
{
    HANDLE device = OpenProbe(PROBE_FIXED_DEVICE_PATH);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    const PROBE_STATUS initial = Ask<PROBE_STATUS>(device, IOCTL_PROBE_GET_STATUS);
    EXPECT_EQ(initial.Ready, 1);
    EXPECT_EQ(initial.Kind, PROBE_KIND_20);
    EXPECT_EQ(Ask<PROBE_COUNTS>(device, IOCTL_PROBE_GET_COUNTS).Counts, 21136);  // 25 degrees, kind 20

    ASSERT_TRUE(sim::SetFixedProbeStatusWord(0x1500));
    ASSERT_TRUE(sim::SetFixedProbeCounts(0xABCD));
    const auto status = Ask<std::array<BYTE, 2>>(device, IOCTL_PROBE_GET_STATUS);
    EXPECT_EQ(status, (std::array<BYTE, 2>{0x00, 0x15}));
    const auto counts = Ask<std::array<BYTE, 2>>(device, IOCTL_PROBE_GET_COUNTS);
    EXPECT_EQ(counts, (std::array<BYTE, 2>{0xCD, 0xAB}));
    CloseHandle(device);
}

TEST_F(ProbeSim, FixedProbe_IsOpenedWithoutSharing)
{
    HANDLE first = OpenProbe(PROBE_FIXED_DEVICE_PATH);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenProbe(PROBE_FIXED_DEVICE_PATH), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(first);
    HANDLE second = OpenProbe(PROBE_FIXED_DEVICE_PATH);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
}

TEST_F(ProbeSim, SetFixedProbeTemperature_EncodesThroughTheKindTable)
{
    ASSERT_TRUE(sim::SetFixedProbeTemperature(25.0, PROBE_KIND_21));
    EXPECT_EQ(sim::FixedProbeStatusWord(), 0x1501);
    EXPECT_EQ(sim::FixedProbeCounts(), 982);  // the table's own entry for a whole degree

    EXPECT_EQ(sim::CountsForTemperature(-15.0, PROBE_KIND_20), 29744);
    EXPECT_EQ(sim::CountsForTemperature(-40.0, PROBE_KIND_20), 29744);
    EXPECT_EQ(sim::CountsForTemperature(105.0, PROBE_KIND_20), 3297);  // the table's last entry reads as none
    EXPECT_EQ(sim::CountsForTemperature(150.0, PROBE_KIND_21), 51);
    // 25.5 lies between the entries for 25 and 26; the lowest counts that read as 25.5.
    const std::uint16_t halfway = sim::CountsForTemperature(25.5, PROBE_KIND_20);
    EXPECT_GT(halfway, 20848);
    EXPECT_LT(halfway, 21136);

    // A kind without a table changes the status only.
    ASSERT_TRUE(sim::SetFixedProbeTemperature(40.0, 22));
    EXPECT_EQ(sim::FixedProbeStatusWord(), 0x1601);
    EXPECT_EQ(sim::FixedProbeCounts(), 982);
}

TEST_F(ProbeSim, AnswerBytes_ReplaceTheLayoutWithAMalformedAnswer)
{
    HANDLE device = OpenProbe(PROBE_FIXED_DEVICE_PATH);
    ASSERT_TRUE(sim::SetProbeAnswerBytes(Probe::kFixedPath, IOCTL_PROBE_GET_STATUS, {0x01}));
    std::array<BYTE, 2> output{0xEE, 0xEE};
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_PROBE_GET_STATUS, nullptr, 0, output.data(), 2, &bytes, nullptr));
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(output, (std::array<BYTE, 2>{0x01, 0xEE}));

    ASSERT_TRUE(sim::SetProbeAnswerBytes(Probe::kFixedPath, IOCTL_PROBE_GET_STATUS, {}));
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_PROBE_GET_STATUS, nullptr, 0, output.data(), 2, &bytes, nullptr));
    EXPECT_EQ(bytes, 2u);
    CloseHandle(device);
}

TEST_F(ProbeSim, Install_StartsAfreshAndControlsNeedAnInstalledProbe)
{
    ASSERT_TRUE(sim::SetFixedProbeCounts(7));
    ASSERT_TRUE(sim::RemoveProbe(Probe::kFixedPath));
    ASSERT_TRUE(sim::InstallFixedProbe());
    EXPECT_TRUE(sim::IsDevicePresent(sim::kFixedProbeInstanceId));
    EXPECT_EQ(sim::FixedProbeCounts(), 21136);

    sim::ResetDeviceTree();
    EXPECT_FALSE(sim::SetFixedProbeCounts(7));
    EXPECT_FALSE(sim::SetInterfaceProbeRawValue(7));
    EXPECT_FALSE(sim::FailProbeRequests(Probe::kInterface, 0, ERROR_GEN_FAILURE));
    EXPECT_FALSE(sim::RemoveProbe(Probe::kInterface));
    EXPECT_FALSE(sim::HoldProbeRequests(Probe::kFixedPath));

    // A path already taken by another device is refused.
    ASSERT_TRUE(sim::InstallFixedProbe());
    EXPECT_FALSE(sim::InstallInterfaceProbe(PROBE_FIXED_DEVICE_PATH));
}

}  // namespace
