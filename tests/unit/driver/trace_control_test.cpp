#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "base/trace.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform_testing/faults.h"
#include "platform_testing/trace_session.h"

TRACE_COMPONENT("{0A7E39C2-54D8-4B1F-A0C6-9E3D21B7F450}");

namespace {

using platform::testing::SendTraceControlRequest;
using platform::testing::TraceRecorder;
using platform::testing::TraceSession;

constexpr GUID kControl = GUID_THERMAL_DRIVER_TRACE_CONTROL;

// One site of each level, numbered by its level.
void TraceEachLevel()
{
    TRACE_ERROR(2);
    TRACE_WARNING(3);
    TRACE_INFO(4);
    TRACE_VERBOSE(5);
}

class TraceControl : public ::testing::Test {
protected:
    void SetUp() override { trace::RegisterProvider(); }
    void TearDown() override { trace::UnregisterProvider(); }

    // The numbers of the messages received, in order.
    std::vector<USHORT> Numbers() const
    {
        std::vector<USHORT> numbers;
        for (const auto& record : m_recorder.Messages()) numbers.push_back(record.number);
        return numbers;
    }

    platform::testing::ScopedFaults m_faults;
    TraceRecorder m_recorder;
    TraceSession m_session{m_recorder};
};

TEST_F(TraceControl, EnabledLevelFiltersTheSites)
{
    ASSERT_EQ(m_session.Enable(kControl, TRACE_LEVEL_INFORMATION, 0x1), ERROR_SUCCESS);
    TraceEachLevel();
    EXPECT_EQ(Numbers(), (std::vector<USHORT>{2, 3, 4}));

    m_recorder.Clear();
    m_session.Enable(kControl, TRACE_LEVEL_ERROR, 0x1);
    TraceEachLevel();
    EXPECT_EQ(Numbers(), (std::vector<USHORT>{2}));

    m_recorder.Clear();
    m_session.Enable(kControl, TRACE_LEVEL_VERBOSE, 0x1);
    TraceEachLevel();
    EXPECT_EQ(Numbers(), (std::vector<USHORT>{2, 3, 4, 5}));
}

TEST_F(TraceControl, FlagBitZeroMustBeEnabled)
{
    m_session.Enable(kControl, TRACE_LEVEL_VERBOSE, 0xFFFFFFFE);
    TraceEachLevel();
    EXPECT_EQ(m_recorder.Count(), 0u);
}

TEST_F(TraceControl, DisableStopsEverySite)
{
    m_session.Enable(kControl, TRACE_LEVEL_VERBOSE, 0x1);
    m_session.Disable(kControl);
    TraceEachLevel();
    EXPECT_EQ(m_recorder.Count(), 0u);
    EXPECT_FALSE(trace::IsEnabled(TRACE_LEVEL_ERROR));
}

TEST_F(TraceControl, OtherRequestCodesAreRefusedAndChangeNothing)
{
    m_session.Enable(kControl, TRACE_LEVEL_WARNING, 0x1);
    for (ULONG code : {0u, 1u, 2u, 3u, 6u, 7u, 8u, 9u, 99u}) {
        EXPECT_EQ(SendTraceControlRequest(kControl, code), ERROR_INVALID_PARAMETER) << code;
    }
    TraceEachLevel();
    EXPECT_EQ(Numbers(), (std::vector<USHORT>{2, 3}));
}

TEST_F(TraceControl, CallbackSetsTheBufferSizeToZeroAndNeedsItsContext)
{
    ULONG size = 16;
    EXPECT_EQ(TraceControlCallback(WMI_DISABLE_EVENTS, nullptr, &size, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(size, 0u);
}

TEST_F(TraceControl, MessageCarriesFlagsComponentNumberAndArguments)
{
    m_session.Enable(kControl, TRACE_LEVEL_INFORMATION, 0x1);
    const char* const absent = nullptr;
    TRACE_INFO(20, -7, 0x80070032u, "name", 1.5);
    TRACE_INFO(21, absent, LONGLONG{-2});

    const auto messages = m_recorder.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].flags, 0x2Bu);
    EXPECT_EQ(messages[0].messageGuid, kTraceComponent);
    EXPECT_EQ(messages[0].number, 20);
    ASSERT_EQ(messages[0].arguments.size(), 4u);
    EXPECT_EQ(messages[0].arguments[0].size(), 4u);
    EXPECT_EQ(messages[0].arguments[1], (std::vector<BYTE>{0x32, 0x00, 0x07, 0x80}));
    EXPECT_EQ(messages[0].arguments[2], (std::vector<BYTE>{'n', 'a', 'm', 'e', 0}));
    double elapsed = 0;
    ASSERT_EQ(messages[0].arguments[3].size(), sizeof(double));
    std::memcpy(&elapsed, messages[0].arguments[3].data(), sizeof(double));
    EXPECT_EQ(elapsed, 1.5);

    ASSERT_EQ(messages[1].arguments.size(), 2u);
    EXPECT_EQ(messages[1].arguments[0], (std::vector<BYTE>{'N', 'U', 'L', 'L', 0}));
    EXPECT_EQ(messages[1].arguments[1].size(), 8u);
}

TEST_F(TraceControl, NothingIsIssuedAfterUnregistration)
{
    m_session.Enable(kControl, TRACE_LEVEL_VERBOSE, 0x1);
    trace::UnregisterProvider();
    EXPECT_FALSE(platform::testing::IsTraceProviderRegistered(kControl));
    TraceEachLevel();
    EXPECT_EQ(m_recorder.Count(), 0u);
}

TEST_F(TraceControl, SessionEnabledBeforeRegistrationTakesEffectAtRegistration)
{
    trace::UnregisterProvider();
    m_session.Enable(kControl, TRACE_LEVEL_INFORMATION, 0x1);
    trace::RegisterProvider();
    TraceEachLevel();
    EXPECT_EQ(Numbers(), (std::vector<USHORT>{2, 3, 4}));
}

TEST_F(TraceControl, FailedRegistrationIsSilentAndLeavesTracingOff)
{
    trace::UnregisterProvider();
    m_session.Enable(kControl, TRACE_LEVEL_VERBOSE, 0x1);
    platform::testing::FailCall("RegisterTraceGuidsW");
    trace::RegisterProvider();
    EXPECT_FALSE(platform::testing::IsTraceProviderRegistered(kControl));
    TraceEachLevel();
    EXPECT_EQ(m_recorder.Count(), 0u);
}

TEST_F(TraceControl, SitesRunWhileASessionChangesTheControlBlock)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> sites;
    for (int i = 0; i < 2; ++i) {
        sites.emplace_back([&] {
            while (!stop.load()) TraceEachLevel();
        });
    }
    for (int i = 0; i < 50; ++i) {
        m_session.Enable(kControl, static_cast<UCHAR>(TRACE_LEVEL_ERROR + i % 4), 0x1);
        m_session.Disable(kControl);
    }
    stop.store(true);
    for (auto& thread : sites) thread.join();

    m_recorder.Clear();
    TraceEachLevel();
    EXPECT_EQ(m_recorder.Count(), 0u);
}

}  // namespace
