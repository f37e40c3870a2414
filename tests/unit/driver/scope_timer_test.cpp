#include "base/scope_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "base/trace.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform_testing/trace_session.h"
#include "platform_testing/virtual_clock.h"

namespace {

using platform::testing::TraceMessageRecord;

constexpr GUID kScopeTimerComponent = platform::MakeGuid("{5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10}");
constexpr USHORT kBegins = 10;
constexpr USHORT kTook = 11;

std::string TextOf(const std::vector<BYTE>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

double DoubleOf(const std::vector<BYTE>& bytes)
{
    double value = 0;
    EXPECT_EQ(bytes.size(), sizeof(double));
    if (bytes.size() == sizeof(double)) std::memcpy(&value, bytes.data(), sizeof(double));
    return value;
}

class ScopeTimer : public ::testing::Test {
protected:
    void SetUp() override
    {
        trace::RegisterProvider();
        m_session.Enable(GUID_THERMAL_DRIVER_TRACE_CONTROL, TRACE_LEVEL_INFORMATION, 0x1);
    }
    void TearDown() override { trace::UnregisterProvider(); }

    platform::testing::ScopedVirtualClock m_clock;
    platform::testing::TraceRecorder m_recorder;
    platform::testing::TraceSession m_session{m_recorder};
};

TEST_F(ScopeTimer, ReportsTheDurationOfItsScopeInMilliseconds)
{
    {
        CScopeTimer timer("CWmiThermal::InitComComponent()");
        m_clock.AdvanceBy(std::chrono::microseconds(1500));
    }
    const auto begins = m_recorder.Find(kScopeTimerComponent, kBegins);
    const auto took = m_recorder.Find(kScopeTimerComponent, kTook);
    ASSERT_EQ(begins.size(), 1u);
    ASSERT_EQ(took.size(), 1u);
    EXPECT_EQ(TextOf(begins[0].arguments.at(0)), std::string("CWmiThermal::InitComComponent()") + '\0');
    EXPECT_EQ(TextOf(took[0].arguments.at(0)), std::string("CWmiThermal::InitComComponent()") + '\0');
    EXPECT_NEAR(DoubleOf(took[0].arguments.at(1)), 1.5, 1e-9);
}

TEST_F(ScopeTimer, NullNameIsTracedAsNull)
{
    {
        CScopeTimer timer(nullptr);
    }
    const auto took = m_recorder.Find(kScopeTimerComponent, kTook);
    ASSERT_EQ(took.size(), 1u);
    EXPECT_EQ(TextOf(took[0].arguments.at(0)), std::string("NULL") + '\0');
}

TEST_F(ScopeTimer, EndsWhenAnExceptionUnwindsTheScope)
{
    try {
        CScopeTimer timer("CThermalSensorCollector::InitCollector");
        m_clock.AdvanceBy(std::chrono::milliseconds(2));
        throw std::runtime_error("unwind");
    } catch (const std::runtime_error&) {
    }
    const auto took = m_recorder.Find(kScopeTimerComponent, kTook);
    ASSERT_EQ(took.size(), 1u);
    EXPECT_NEAR(DoubleOf(took[0].arguments.at(1)), 2.0, 1e-9);
}

TEST_F(ScopeTimer, InformationLevelIsNeeded)
{
    m_session.Enable(GUID_THERMAL_DRIVER_TRACE_CONTROL, TRACE_LEVEL_WARNING, 0x1);
    {
        CScopeTimer timer("DllMain");
    }
    EXPECT_EQ(m_recorder.Count(), 0u);
}

}  // namespace
