#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "acquisition/probe_fixed_path.h"
#include "platform/probe/probe_ioctl.h"
#include "platform/win32_error.h"
#include "platform_testing/faults.h"
#include "sim/device_tree.h"
#include "sim/probe_devices.h"

namespace {

using platform::testing::FailCall;
using platform::testing::ScopedFaults;
using sim::Probe;

constexpr float kNoReading = -1024.0f;
constexpr float kUntouched = 42.0f;

std::uint16_t ReadyStatus(BYTE kind) { return static_cast<std::uint16_t>((kind << 8) | 1); }

std::uint32_t StatusRequests() { return sim::ProbeRequestCount(Probe::kFixedPath, IOCTL_PROBE_GET_STATUS); }
std::uint32_t CountsRequests() { return sim::ProbeRequestCount(Probe::kFixedPath, IOCTL_PROBE_GET_COUNTS); }

class FixedProbeChannel : public ::testing::Test {
protected:
    FixedProbeChannel() { EXPECT_TRUE(sim::InstallFixedProbe()); }
    ~FixedProbeChannel() override
    {
        CloseFixedProbe(GetFixedProbeState());
        sim::ResetDeviceTree();
    }

    // Opens the channel through the process-wide flag, as the device's preparation does.
    int* Open()
    {
        int* opened = GetFixedProbeState();
        EXPECT_NE(opened, nullptr);
        EXPECT_EQ(OpenFixedProbe(opened), 1);
        return opened;
    }

    ScopedFaults m_faults;
};

// ---- Conversion of counts through the kind's table, in single precision. ----

struct Conversion {
    BYTE kind;
    std::uint16_t counts;
    float celsius;
};

void PrintTo(const Conversion& c, std::ostream* out)
{
    *out << "kind " << int{c.kind} << ", counts " << c.counts << " -> " << c.celsius;
}

class FixedProbeConversion : public FixedProbeChannel, public ::testing::WithParamInterface<Conversion> {};

TEST_P(FixedProbeConversion, ReadFixedProbe_ConvertsCountsWithTheKindTable)
{
    const Conversion& c = GetParam();
    ASSERT_TRUE(sim::SetFixedProbeStatusWord(ReadyStatus(c.kind)));
    ASSERT_TRUE(sim::SetFixedProbeCounts(c.counts));
    const int* opened = Open();
    float celsius = kUntouched;
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, c.celsius);
}

const Conversion kConversions[] = {
    {20, 29744, -15.0f},  // entry 0
    {20, 29700, -14.6f},
    {20, 21136, 25.0f},
    {20, 21000, 25.5f},  // the straight line gives 25.47; tenths are cut toward the warmer entry
    {20, 20849, 26.0f},
    {20, 3408, 104.0f},
    {20, 3297, 105.0f},
    {20, 29745, kNoReading},  // above entry 0
    {20, 3296, kNoReading},   // entry 120 itself matches no step
    {20, 0, kNoReading},
    {20, 65535, kNoReading},
    {21, 6688, -15.0f},
    {21, 982, 25.0f},
    {21, 960, 25.5f},
    {21, 51, 104.5f},
    {21, 6689, kNoReading},
    {21, 50, kNoReading},
    {21, 0, kNoReading},
};

INSTANTIATE_TEST_SUITE_P(FixedProbeChannel, FixedProbeConversion, ::testing::ValuesIn(kConversions),
                         [](const auto& testInfo) {
                             const Conversion& c = testInfo.param;
                             return "Kind" + std::to_string(c.kind) + "Counts" + std::to_string(c.counts);
                         });

// ---- The status word. ----

TEST_F(FixedProbeChannel, StatusWord_KindChoosesTheTable)
{
    const int* opened = Open();
    float celsius = kUntouched;
    ASSERT_TRUE(sim::SetFixedProbeCounts(982));
    ASSERT_TRUE(sim::SetFixedProbeStatusWord(0x1501));
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, 25.0f);
    ASSERT_TRUE(sim::SetFixedProbeStatusWord(0x1401));  // the same counts lie outside the kind-20 table
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kNoReading);
    ASSERT_TRUE(sim::SetFixedProbeCounts(21136));
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, 25.0f);
}

TEST_F(FixedProbeChannel, StatusWord_NotReadyFailsWithoutACountsRequest)
{
    const int* opened = Open();
    ASSERT_TRUE(sim::SetFixedProbeStatusWord(0x1400));
    float celsius = kUntouched;
    EXPECT_EQ(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kNoReading);
    EXPECT_EQ(StatusRequests(), 1u);
    EXPECT_EQ(CountsRequests(), 0u);
}

TEST_F(FixedProbeChannel, StatusWord_UnknownKindSucceedsWithNoReading)
{
    const int* opened = Open();
    ASSERT_TRUE(sim::SetFixedProbeStatusWord(0x1601));
    float celsius = kUntouched;
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kNoReading);
    EXPECT_EQ(CountsRequests(), 1u);
}

TEST_F(FixedProbeChannel, StatusRequestFailure_LeavesThePresetAndSucceedsWithNoReading)
{
    const int* opened = Open();
    ASSERT_TRUE(sim::FailProbeRequests(Probe::kFixedPath, IOCTL_PROBE_GET_STATUS, ERROR_GEN_FAILURE));
    float celsius = kUntouched;
    // The preset 0xFFFF stands: ready, kind 255.
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kNoReading);
    EXPECT_EQ(CountsRequests(), 1u);
}

TEST_F(FixedProbeChannel, CountsRequestFailure_FailsWithNoReading)
{
    const int* opened = Open();
    ASSERT_TRUE(sim::FailProbeRequests(Probe::kFixedPath, IOCTL_PROBE_GET_COUNTS, ERROR_GEN_FAILURE));
    float celsius = kUntouched;
    EXPECT_EQ(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kNoReading);
}

// ---- Opening and closing. ----

TEST_F(FixedProbeChannel, GetFixedProbeState_IsOneFlagForTheProcess)
{
    int* opened = GetFixedProbeState();
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(GetFixedProbeState(), opened);
    EXPECT_EQ(OpenFixedProbe(opened), 1);
    EXPECT_EQ(*GetFixedProbeState(), 1);
    CloseFixedProbe(opened);
    EXPECT_EQ(*GetFixedProbeState(), 0);
}

TEST_F(FixedProbeChannel, OpenFixedProbe_OpensExclusivelyAndCloseReleases)
{
    const int* opened = Open();
    EXPECT_EQ(sim::ProbeOpenHandleCount(Probe::kFixedPath), 1u);
    // Nobody else can open the device while the channel holds it.
    EXPECT_EQ(CreateFileW(PROBE_FIXED_DEVICE_PATH, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);

    CloseFixedProbe(GetFixedProbeState());
    EXPECT_EQ(*opened, 0);
    EXPECT_EQ(sim::ProbeOpenHandleCount(Probe::kFixedPath), 0u);
    float celsius = kUntouched;
    EXPECT_EQ(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kUntouched);
    EXPECT_EQ(StatusRequests(), 0u);
}

TEST_F(FixedProbeChannel, OpenFixedProbe_AgainWithoutCloseReopensTheDevice)
{
    const int* opened = Open();
    EXPECT_EQ(OpenFixedProbe(GetFixedProbeState()), 1);
    EXPECT_EQ(*opened, 1);
    EXPECT_EQ(sim::ProbeOpenCount(Probe::kFixedPath), 2u);
    EXPECT_EQ(sim::ProbeOpenHandleCount(Probe::kFixedPath), 1u);
    float celsius = kUntouched;
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, 25.0f);
}

TEST_F(FixedProbeChannel, OpenFixedProbe_NoDeviceGivesAClosedChannelThatReadsNothing)
{
    sim::ResetDeviceTree();
    int* opened = GetFixedProbeState();
    *opened = 1;
    EXPECT_EQ(OpenFixedProbe(opened), 0);
    EXPECT_EQ(*opened, 0);
    float celsius = kUntouched;
    EXPECT_EQ(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kUntouched);

    ASSERT_TRUE(sim::InstallFixedProbe());
    FailCall("CreateFileW");
    EXPECT_EQ(OpenFixedProbe(opened), 0);
    EXPECT_EQ(*opened, 0);
    EXPECT_EQ(sim::ProbeOpenCount(Probe::kFixedPath), 0u);
    CloseFixedProbe(opened);  // closing a channel that never opened is harmless
}

// ---- Bad input. ----

TEST_F(FixedProbeChannel, ShortAnswers_FillOnlyWhatTheyCarry)
{
    const int* opened = Open();
    float celsius = kUntouched;
    // One status byte: ready; the kind byte keeps its preset 0xFF, an unknown kind.
    ASSERT_TRUE(sim::SetProbeAnswerBytes(Probe::kFixedPath, IOCTL_PROBE_GET_STATUS, {0x01}));
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kNoReading);

    // One counts byte: the high byte stays 0, so 0x50 reads as 80 counts (92 degrees, kind 21).
    ASSERT_TRUE(sim::SetProbeAnswerBytes(Probe::kFixedPath, IOCTL_PROBE_GET_STATUS, {0x01, PROBE_KIND_21}));
    ASSERT_TRUE(sim::SetProbeAnswerBytes(Probe::kFixedPath, IOCTL_PROBE_GET_COUNTS, {0x50}));
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, 92.0f);

    ASSERT_TRUE(sim::SetProbeAnswerBytes(Probe::kFixedPath, IOCTL_PROBE_GET_COUNTS, {}));
    ASSERT_TRUE(sim::SetProbeAnswerBytes(Probe::kFixedPath, IOCTL_PROBE_GET_STATUS, {}));
}

TEST_F(FixedProbeChannel, DeviceRemovedAfterOpen_ReadFailsWithNoReading)
{
    const int* opened = Open();
    ASSERT_TRUE(sim::RemoveProbe(Probe::kFixedPath));
    float celsius = kUntouched;
    EXPECT_EQ(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, kNoReading);

    // Back again: the old handle stays dead until the channel is opened anew.
    ASSERT_TRUE(sim::RestoreProbe(Probe::kFixedPath));
    EXPECT_EQ(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(OpenFixedProbe(GetFixedProbeState()), 1);
    EXPECT_NE(ReadFixedProbe(opened, &celsius), 0);
    EXPECT_EQ(celsius, 25.0f);
}

TEST_F(FixedProbeChannel, ReadFixedProbe_NullArgumentsSendNothing)
{
    const int* opened = Open();
    float celsius = kUntouched;
    EXPECT_EQ(ReadFixedProbe(nullptr, &celsius), 0);
    EXPECT_EQ(ReadFixedProbe(opened, nullptr), 0);
    EXPECT_EQ(celsius, kUntouched);
    EXPECT_EQ(StatusRequests(), 0u);
}

}  // namespace
