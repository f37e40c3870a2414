// Shared pieces of the acquisition tests: a sensor that records what it is given, a call run on a
// platform thread of its own, and a fixture with a fresh acquisition object on a virtual clock and
// the simulated probes and WMI installed.
//
//   TEST_F(AcquisitionTest, Something)
//   {
//       Init();                        // InitAcquisition under a read step (5-second settling wait)
//       Start();                       // StartThreads, then lets both threads reach their waits
//       m_clock.AdvanceBy(1000ms);     // one tick of each thread
//       EXPECT_EQ(Latest(), 40.0);
//   }
//
// The interface channel finds its device once per process, at its first use. The fixture installs
// the simulated probes before anything can use the channel, so whichever test uses it first, the
// channel keeps the simulated probe's usual path, which every later installation reuses.
#pragma once

#include "support/call_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/probe_fixed_path.h"
#include "acquisition/probe_interface_device.h"
#include "acquisition/temperature_sensor.h"
#include "acquisition/thermal_acquisition.h"
#include "base/test_mode.h"
#include "base/trace.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/probe/probe_ioctl.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/win32_error.h"
#include "platform_testing/com_security.h"
#include "platform_testing/faults.h"
#include "platform_testing/trace_session.h"
#include "platform_testing/virtual_clock.h"
#include "sim/device_tree.h"
#include "sim/power_source.h"
#include "sim/probe_devices.h"
#include "sim/wmi.h"

namespace acquisition_test {

using test_support::CallThread;

using namespace std::chrono_literals;

inline constexpr double kNoReading = -1024.0;
inline constexpr char16_t kWmiInstanceName[] = u"ACPI\\PNP0C14\\0_0";
// Keys of the built-in map and their temperatures.
inline constexpr int kKeyOf40Degrees = 394;
inline constexpr int kKeyOf30Degrees = 504;

// Message GUIDs of the acquisition components and of the method timing trace.
inline constexpr GUID kCollectorTrace = platform::MakeGuid("{E45DE01A-9CBE-4C55-A5E8-249F09410D3A}");
inline constexpr GUID kReporterTrace = platform::MakeGuid("{011D947F-2F8C-49F0-9605-1CBBEC6EA077}");
inline constexpr GUID kAcquisitionTrace = platform::MakeGuid("{4386F4A7-4924-4221-9365-F5CF03280675}");
inline constexpr GUID kScopeTimerTrace = platform::MakeGuid("{5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10}");

// Registers the trace provider and records every message at every level while it lives.
class TraceCapture {
public:
    TraceCapture()
    {
        trace::RegisterProvider();
        m_session.Enable(GUID_THERMAL_DRIVER_TRACE_CONTROL, TRACE_LEVEL_VERBOSE, 0x1);
    }
    ~TraceCapture() { trace::UnregisterProvider(); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::size_t Count(const GUID& component, USHORT number) const { return m_recorder.Find(component, number).size(); }
    // The first argument of each message of a component and number, as text.
    std::vector<std::string> Texts(const GUID& component, USHORT number) const
    {
        std::vector<std::string> texts;
        for (const auto& record : m_recorder.Find(component, number)) {
            const auto& bytes = record.arguments.at(0);
            texts.emplace_back(reinterpret_cast<const char*>(bytes.data()));
        }
        return texts;
    }

private:
    platform::testing::TraceRecorder m_recorder;
    platform::testing::TraceSession m_session{m_recorder};
};

// Records each delivery: the value, and the order of the three calls.
class RecordingSensor final : public ITemperatureSensor {
public:
    enum class Call { kSetLastReading, kUpdateDataFields, kSignalNewData };

    void SetLastReading(double value) override
    {
        std::lock_guard lock(m_mutex);
        m_deliveries.push_back(value);
        m_calls.push_back(Call::kSetLastReading);
    }
    HRESULT UpdateDataFields() override
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(Call::kUpdateDataFields);
        return m_updateResult;
    }
    void SignalNewData() override
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(Call::kSignalNewData);
    }

    std::vector<double> Deliveries() const
    {
        std::lock_guard lock(m_mutex);
        return m_deliveries;
    }
    std::vector<Call> Calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    // Deliveries since the previous call of this function.
    std::vector<double> TakeNewDeliveries()
    {
        std::lock_guard lock(m_mutex);
        std::vector<double> fresh(m_deliveries.begin() + static_cast<std::ptrdiff_t>(m_taken), m_deliveries.end());
        m_taken = m_deliveries.size();
        return fresh;
    }
    void SetUpdateResult(HRESULT result)
    {
        std::lock_guard lock(m_mutex);
        m_updateResult = result;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<double> m_deliveries;
    std::vector<Call> m_calls;
    std::size_t m_taken = 0;
    HRESULT m_updateResult = S_OK;
};


class ScopedTestMode {
public:
    ScopedTestMode() { g_TestMode.store(1, std::memory_order_relaxed); }
    ~ScopedTestMode() { g_TestMode.store(0, std::memory_order_relaxed); }
    ScopedTestMode(const ScopedTestMode&) = delete;
    ScopedTestMode& operator=(const ScopedTestMode&) = delete;
};

// True when a named event of that name exists in the process now.
inline bool NamedEventExists(const char16_t* name)
{
    const HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, name);
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    CloseHandle(probe);
    return existed;
}

inline std::uint32_t InterfaceReads()
{
    return sim::ProbeRequestCount(sim::Probe::kInterface, IOCTL_PROBE_READ_VALUE);
}
inline std::uint32_t FixedReads()
{
    return sim::ProbeRequestCount(sim::Probe::kFixedPath, IOCTL_PROBE_GET_COUNTS);
}

// Makes a heavy object (its maps settle for 5 seconds) under a read step, then stops the step.
template <class T>
std::unique_ptr<T> MakeSettled()
{
    platform::testing::VirtualClock::SetReadStep(1ms);
    auto object = std::make_unique<T>();
    platform::testing::VirtualClock::SetReadStep(0ns);
    return object;
}

class AcquisitionTest : public ::testing::Test {
protected:
    AcquisitionTest()
    {
        platform::testing::ResetComSecurity();
        EXPECT_TRUE(sim::InstallProbes());
        EXPECT_TRUE(sim::SetInterfaceProbeRawValue(kKeyOf40Degrees));
        EXPECT_TRUE(sim::SetFixedProbeTemperature(25.0));
        sim::AddThermalTemperature(kWmiInstanceName, kKeyOf30Degrees);
        EXPECT_EQ(OpenFixedProbe(GetFixedProbeState()), 1);
        EXPECT_EQ(CProbeInterfaceDevice::GetInstance()->OpenDevice(), 1);
        m_acquisition = MakeSettled<CThermalAcquisition>();
        m_acquisition->SetSensor(&m_sensor);
        m_sensor.TakeNewDeliveries();
    }
    ~AcquisitionTest() override
    {
        platform::testing::ResetFaults();
        sim::ResetDeviceTree();  // releases held requests, so every stop below completes
        sim::ReleaseWmiReads();
        m_acquisition->StopThreads();
        m_acquisition->DeinitAcquisition();
        m_acquisition.reset();
        CProbeInterfaceDevice::GetInstance()->CloseDevice();
        CloseFixedProbe(GetFixedProbeState());
        sim::ResetWmi();
        sim::SetAcLineStatus(sim::kAcOnline);
        platform::testing::ResetComSecurity();
    }

    // InitAcquisition under a read step: the map's settling wait must pass.
    int Init()
    {
        platform::testing::VirtualClock::SetReadStep(1ms);
        const int result = m_acquisition->InitAcquisition();
        platform::testing::VirtualClock::SetReadStep(0ns);
        m_clock.RunUntilIdle();
        return result;
    }
    // StartThreads, then lets both threads reach their first wait.
    int Start()
    {
        const int result = m_acquisition->StartThreads();
        m_clock.RunUntilIdle();
        return result;
    }
    double Latest() const { return m_acquisition->GetLatestTemperature(); }

    platform::testing::ScopedVirtualClock m_clock;
    platform::testing::ScopedFaults m_faults;
    TraceCapture m_traces;
    RecordingSensor m_sensor;
    std::unique_ptr<CThermalAcquisition> m_acquisition;
};

}  // namespace acquisition_test
