// The interface channel is made once per process and keeps the path of its first enumeration. So
// every scenario here runs in a fresh process: the death-test machinery, in its "threadsafe" style,
// starts this binary anew for the one test and runs the scenario there; the scenario's exit code
// carries its verdict and its failures are printed to the child's standard error. Nothing in the
// parent process touches the channel.
#include <gtest/gtest.h>

#include "support/fresh_process.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>

#include "acquisition/probe_interface_device.h"
#include "platform/kernel/synch.h"
#include "platform/probe/probe_ioctl.h"
#include "platform/win32_error.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "sim/device_tree.h"
#include "sim/probe_devices.h"

namespace {

using platform::testing::FailCall;
using platform::testing::ScopedVirtualClock;
using sim::Probe;

using test_support::InFreshProcess;

std::uint32_t ReadRequests() { return sim::ProbeRequestCount(Probe::kInterface, IOCTL_PROBE_READ_VALUE); }

// A device that answers nothing; it only shows whether it was opened.
class SilentDevice final : public sim::DeviceBehavior {
public:
    DWORD IoControl(DWORD, std::span<const BYTE>, std::span<BYTE>, DWORD&) override { return ERROR_INVALID_FUNCTION; }
};

TEST(ProbeInterfaceDevice, GetInstance_WithoutADeviceGivesAChannelThatCannotOpen)
{
    InFreshProcess([] {
        CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
        ASSERT_NE(channel, nullptr);
        EXPECT_EQ(CProbeInterfaceDevice::GetInstance(), channel);
        EXPECT_EQ(channel->OpenDevice(), 0);
        DWORD value = 77;
        EXPECT_FALSE(channel->ReadRawValue(&value));
        EXPECT_EQ(value, 77u);
        EXPECT_EQ(channel->CloseDevice(), 0);

        // A probe that arrives later is not seen by this process.
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        EXPECT_EQ(channel->OpenDevice(), 0);
        EXPECT_FALSE(channel->ReadRawValue(&value));
        EXPECT_EQ(sim::ProbeOpenCount(Probe::kInterface), 0u);
        EXPECT_EQ(ReadRequests(), 0u);
    });
}

TEST(ProbeInterfaceDevice, OpenReadClose_FollowTheOpenedFlag)
{
    InFreshProcess([] {
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        ASSERT_TRUE(sim::SetInterfaceProbeRawValue(0xFFFFFC18));  // -1000 as a signed key
        CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
        ASSERT_NE(channel, nullptr);

        EXPECT_EQ(channel->OpenDevice(), 1);
        EXPECT_EQ(channel->OpenDevice(), 1);  // already open: nothing more is opened
        EXPECT_EQ(sim::ProbeOpenCount(Probe::kInterface), 1u);
        DWORD value = 0;
        EXPECT_TRUE(channel->ReadRawValue(&value));
        EXPECT_EQ(static_cast<LONG>(value), -1000);
        EXPECT_EQ(ReadRequests(), 1u);

        EXPECT_EQ(channel->CloseDevice(), 1);
        EXPECT_EQ(sim::ProbeOpenHandleCount(Probe::kInterface), 0u);
        EXPECT_EQ(channel->CloseDevice(), 0);
        value = 77;
        EXPECT_FALSE(channel->ReadRawValue(&value));
        EXPECT_EQ(value, 77u);
        EXPECT_EQ(ReadRequests(), 1u);

        // A reopen uses the stored path.
        EXPECT_EQ(channel->OpenDevice(), 1);
        EXPECT_EQ(sim::ProbeOpenCount(Probe::kInterface), 2u);
        EXPECT_TRUE(channel->ReadRawValue(&value));
        EXPECT_EQ(channel->CloseDevice(), 1);
    });
}

TEST(ProbeInterfaceDevice, OpenDevice_ReopenDoesNotEnumerateAgain)
{
    InFreshProcess([] {
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
        EXPECT_EQ(channel->OpenDevice(), 1);
        EXPECT_EQ(channel->CloseDevice(), 1);
        // The probe comes back under another path: the stored path no longer names it.
        ASSERT_TRUE(sim::InstallInterfaceProbe(u"\\\\?\\ROOT#QARVPROBE#0001#{2016a666-ee05-4d5f-8f6a-8220fdc5ce38}"));
        EXPECT_EQ(channel->OpenDevice(), 0);
        EXPECT_EQ(sim::ProbeOpenCount(Probe::kInterface), 0u);
    });
}

TEST(ProbeInterfaceDevice, GetInstance_UsesTheFirstInterfaceOfTheClass)
{
    InFreshProcess([] {
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        ASSERT_TRUE(sim::AddDevice({u"ROOT\\SECOND\\0000", {{GUID_DEVINTERFACE_PROBE, u"\\\\?\\second"}}, {},
                                    std::make_shared<SilentDevice>()}));
        EXPECT_EQ(CProbeInterfaceDevice::GetInstance()->OpenDevice(), 1);
        EXPECT_EQ(sim::ProbeOpenCount(Probe::kInterface), 1u);
        EXPECT_EQ(sim::DeviceOpenCount(u"ROOT\\SECOND\\0000"), 0u);
        CProbeInterfaceDevice::GetInstance()->CloseDevice();
    });
}

// A path of 256 units or more is kept as its first 255. A device named by exactly those 255 units
// shows which path the channel stored: it is the one that gets opened.
class ProbeInterfaceDeviceLongPath : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ProbeInterfaceDeviceLongPath, GetInstance_KeepsAtMost255UnitsOfThePath)
{
    const std::size_t length = GetParam();
    InFreshProcess([length] {
        std::u16string path = u"\\\\?\\ROOT#QARVPROBE#";
        while (path.size() < length) path += static_cast<char16_t>(u'A' + path.size() % 26);
        ASSERT_TRUE(sim::InstallInterfaceProbe(path));
        const std::u16string cut = path.substr(0, 255);
        if (cut != path) {
            ASSERT_TRUE(sim::AddDevice({u"ROOT\\CUT\\0000", {}, {cut}, std::make_shared<SilentDevice>()}));
        }
        EXPECT_EQ(CProbeInterfaceDevice::GetInstance()->OpenDevice(), 1);
        EXPECT_EQ(sim::ProbeOpenCount(Probe::kInterface), cut == path ? 1u : 0u);
        EXPECT_EQ(sim::DeviceOpenCount(u"ROOT\\CUT\\0000"), cut == path ? 0u : 1u);
        CProbeInterfaceDevice::GetInstance()->CloseDevice();
    });
}

INSTANTIATE_TEST_SUITE_P(ProbeInterfaceDevice, ProbeInterfaceDeviceLongPath, ::testing::Values(255, 256, 300, 1000));

// Every step of the enumeration that can fail leaves the path empty: the open then fails and the
// probe never sees it.
struct EnumerationFault {
    const char* name;
    const char* point;
    int after;  // calls of the point that pass first
};

void PrintTo(const EnumerationFault& fault, std::ostream* out) { *out << fault.name; }

class ProbeInterfaceDeviceEnumerationFault : public ::testing::TestWithParam<EnumerationFault> {};

TEST_P(ProbeInterfaceDeviceEnumerationFault, GetInstance_FailedStepLeavesThePathEmpty)
{
    const EnumerationFault fault = GetParam();
    InFreshProcess([fault] {
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        FailCall(fault.point, 1, 0, fault.after);
        CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
        ASSERT_NE(channel, nullptr);
        EXPECT_EQ(platform::testing::InjectedFaultCount(), 1u);
        EXPECT_EQ(channel->OpenDevice(), 0);
        DWORD value = 77;
        EXPECT_FALSE(channel->ReadRawValue(&value));
        EXPECT_EQ(sim::ProbeOpenCount(Probe::kInterface), 0u);
    });
}

const EnumerationFault kEnumerationFaults[] = {
    {"ClassDevs", "SetupDiGetClassDevsW", 0},
    {"EnumInterfaces", "SetupDiEnumDeviceInterfaces", 0},
    {"SizeQuery", "SetupDiGetDeviceInterfaceDetailW", 0},
    {"LocalAlloc", "LocalAlloc", 0},
    {"Detail", "SetupDiGetDeviceInterfaceDetailW", 1},
};

INSTANTIATE_TEST_SUITE_P(ProbeInterfaceDevice, ProbeInterfaceDeviceEnumerationFault,
                         ::testing::ValuesIn(kEnumerationFaults),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ProbeInterfaceDevice, ReadRawValue_FailedRequestGivesZero)
{
    InFreshProcess([] {
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
        ASSERT_EQ(channel->OpenDevice(), 1);
        ASSERT_TRUE(sim::FailProbeRequests(Probe::kInterface, IOCTL_PROBE_READ_VALUE, ERROR_GEN_FAILURE));
        DWORD value = 77;
        EXPECT_FALSE(channel->ReadRawValue(&value));
        EXPECT_EQ(value, 0u);
        EXPECT_TRUE(channel->ReadRawValue(&value));
        EXPECT_EQ(value, sim::InterfaceProbeRawValue());
        EXPECT_FALSE(channel->ReadRawValue(nullptr));
        EXPECT_EQ(ReadRequests(), 2u);
        channel->CloseDevice();
    });
}

TEST(ProbeInterfaceDevice, ReadRawValue_DeviceRemovedAfterOpenFailsCleanly)
{
    InFreshProcess([] {
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
        ASSERT_EQ(channel->OpenDevice(), 1);
        ASSERT_TRUE(sim::RemoveProbe(Probe::kInterface));
        DWORD value = 77;
        EXPECT_FALSE(channel->ReadRawValue(&value));
        EXPECT_EQ(value, 0u);
        EXPECT_EQ(channel->CloseDevice(), 1);
        // Back again: the stored path names it, so a reopen reaches it.
        ASSERT_TRUE(sim::RestoreProbe(Probe::kInterface));
        EXPECT_EQ(channel->OpenDevice(), 1);
        EXPECT_TRUE(channel->ReadRawValue(&value));
        EXPECT_EQ(channel->CloseDevice(), 1);
    });
}

TEST(ProbeInterfaceDevice, ReadRawValue_ShortAnswerFillsOnlyItsBytes)
{
    InFreshProcess([] {
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        ASSERT_TRUE(sim::SetProbeAnswerBytes(Probe::kInterface, IOCTL_PROBE_READ_VALUE, {0x34, 0x12}));
        CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
        ASSERT_EQ(channel->OpenDevice(), 1);
        DWORD value = 77;
        EXPECT_TRUE(channel->ReadRawValue(&value));
        EXPECT_EQ(value, 0x1234u);
        channel->CloseDevice();
    });
}

struct PendingRead {
    DWORD value = 0;
    BOOL result = FALSE;
};

DWORD WINAPI ReadOnce(LPVOID parameter)
{
    auto* read = static_cast<PendingRead*>(parameter);
    read->result = CProbeInterfaceDevice::GetInstance()->ReadRawValue(&read->value);
    return 0;
}

TEST(ProbeInterfaceDevice, ReadRawValue_WaitsForTheWholeAnswer)
{
    InFreshProcess([] {
        ScopedVirtualClock clock;
        ASSERT_TRUE(sim::InstallInterfaceProbe());
        ASSERT_TRUE(sim::SetInterfaceProbeRawValue(854));
        CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
        ASSERT_EQ(channel->OpenDevice(), 1);
        ASSERT_TRUE(sim::HoldProbeRequests(Probe::kInterface));
        PendingRead read;
        HANDLE thread = CreateThread(nullptr, 0, ReadOnce, &read, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        clock.RunUntilIdle();
        EXPECT_EQ(sim::HeldProbeRequests(Probe::kInterface), 1u);
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
        ASSERT_TRUE(sim::ReleaseProbeRequests(Probe::kInterface));
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
        EXPECT_TRUE(read.result);
        EXPECT_EQ(read.value, 854u);
        channel->CloseDevice();
    });
}

}  // namespace
