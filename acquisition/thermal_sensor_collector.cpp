#include "acquisition/thermal_sensor_collector.h"

#include "acquisition/probe_fixed_path.h"
#include "acquisition/probe_interface_device.h"
#include "acquisition/thermal_acquisition.h"
#include "base/scope_timer.h"
#include "base/test_mode.h"
#include "base/trace.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"

TRACE_COMPONENT("{E45DE01A-9CBE-4C55-A5E8-249F09410D3A}");

namespace {

constexpr WCHAR kCollectorCloseEventName[] = u"CloseThreadEvent_SensorCollector";

bool IsTestMode()
{
    return g_TestMode.load(std::memory_order_relaxed) == 1;
}

}  // namespace

CThermalSensorCollector::CThermalSensorCollector() = default;

CThermalSensorCollector::~CThermalSensorCollector()
{
    if (m_hCollectorThread != nullptr || m_hCollectorCloseEvent != nullptr) StopCollectorThread();
    m_pSink.store(nullptr);
}

int CThermalSensorCollector::InitCollector()
{
    CScopeTimer timer("CThermalSensorCollector::InitCollector");
    m_map.LoadMaps();
    if (!IsTestMode()) {
        const int connected = m_wmiThermal.InitComComponent();
        TRACE_INFO(10, connected);
    } else {
        TRACE_INFO(11);
    }
    m_nInitialized.store(1);
    return 1;
}

int CThermalSensorCollector::DeinitCollector()
{
    CScopeTimer timer("CThermalSensorCollector::DeinitCollector");
    m_map.ClearMaps();
    if (!IsTestMode()) m_wmiThermal.DeinitComComponent();
    m_nInitialized.store(0);
    return 1;
}

int CThermalSensorCollector::StartCollectorThread()
{
    if (m_pSink.load() == nullptr) {
        TRACE_ERROR(20);
        return 0;
    }
    // One collector thread at a time: the running one keeps its handles, and its close event is
    // the same named event a new one would get.
    if (m_hCollectorThread != nullptr) {
        TRACE_INFO(21);
        return 1;
    }
    if (m_hCollectorCloseEvent == nullptr) {
        m_hCollectorCloseEvent = CreateEventW(nullptr, FALSE, FALSE, kCollectorCloseEventName);
        if (m_hCollectorCloseEvent == nullptr) {
            TRACE_ERROR(22, GetLastError());
            return 0;
        }
    }
    m_hCollectorThread = CreateThread(nullptr, 0, CollectorThreadProc, this, 0, nullptr);
    if (m_hCollectorThread == nullptr) {
        TRACE_ERROR(23, GetLastError());
        return 0;
    }
    return 1;
}

int CThermalSensorCollector::StopCollectorThread()
{
    if (m_hCollectorThread != nullptr) {
        if (!SetEvent(m_hCollectorCloseEvent)) {
            TRACE_ERROR(24, GetLastError());
            return 0;
        }
        // The thread may still be reading or holding off; the event, the map and the WMI source
        // must outlive that, so wait for it before anything is released. A thread that could not
        // be waited for may still run: it keeps its handles, as after a failed signal.
        if (WaitForSingleObject(m_hCollectorThread, INFINITE) == WAIT_FAILED) {
            TRACE_ERROR(25, GetLastError());
            return 0;
        }
        CloseHandle(m_hCollectorThread);
        m_hCollectorThread = nullptr;
    }
    if (m_hCollectorCloseEvent != nullptr) {
        CloseHandle(m_hCollectorCloseEvent);
        m_hCollectorCloseEvent = nullptr;
    }
    return 1;
}

int CThermalSensorCollector::ReadTemperature(double* out)
{
    if (out == nullptr) {
        TRACE_ERROR(30);
        return 0;
    }
    if (IsTestMode()) {
        *out = kTestModeReading;
        TRACE_VERBOSE(31, *out);
        return 1;
    }

    if (ReadFromProbeDevice(out) == 1) return 1;

    *out = 0.0;
    float celsius = 0.0f;
    if (ReadFixedProbe(GetFixedProbeState(), &celsius) != 0) {
        *out = static_cast<double>(celsius);
        TRACE_INFO(32, *out);
        return 1;
    }

    *out = kNoReading;
    if (ReadFromWmi(out) == 1) return 1;

    TRACE_ERROR(33);
    *out = kNoReading;
    return 1;
}

int CThermalSensorCollector::ReadFromProbeDevice(double* out)
{
    if (out == nullptr) return 0;
    CProbeInterfaceDevice* channel = CProbeInterfaceDevice::GetInstance();
    DWORD raw = 0;
    if (channel == nullptr || !channel->ReadRawValue(&raw)) {
        TRACE_ERROR(40);
        return 0;
    }
    // The raw value is a signed key. A lookup that cannot read the power status writes nothing, so
    // the preset is the no-reading value rather than a temperature of 0.
    const int key = static_cast<int>(static_cast<LONG>(raw));
    double celsius = kNoReading;
    m_map.Lookup(key, &celsius);
    *out = celsius;
    TRACE_INFO(41, key, celsius);
    return 1;
}

int CThermalSensorCollector::ReadFromWmi(double* out)
{
    if (out == nullptr || m_nInitialized.load() == 0) return 0;
    int raw = 0;
    if (m_wmiThermal.GetSensorVoltage(&raw) == 0) return 0;
    TRACE_INFO(50, raw);
    double celsius = kNoReading;  // as in ReadFromProbeDevice
    m_map.Lookup(raw, &celsius);
    *out = celsius;
    TRACE_INFO(51, celsius);
    return 1;
}

void CThermalSensorCollector::SetSink(CThermalAcquisition* owner)
{
    m_pSink.store(owner);
}

DWORD WINAPI CThermalSensorCollector::CollectorThreadProc(LPVOID parameter)
{
    auto* self = static_cast<CThermalSensorCollector*>(parameter);

    CThermalAcquisition* sink = self->m_pSink.load();
    DWORD interval = sink != nullptr ? sink->GetReportInterval() : kDefaultReportIntervalMs;
    if (self->m_nInitialized.load() == 0) {
        TRACE_ERROR(60);
        return 0;
    }
    if (sink != nullptr) sink->SetLatestTemperature(kNoReading);

    for (;;) {
        double reading = kNoReading;
        const DWORD result = WaitForSingleObject(self->m_hCollectorCloseEvent, interval);
        if (result == WAIT_OBJECT_0) {
            TRACE_VERBOSE(61);
            break;
        }
        if (result == WAIT_FAILED) {
            TRACE_ERROR(62, GetLastError());
            break;
        }
        if (result != WAIT_TIMEOUT) {
            TRACE_ERROR(63, result);
            continue;
        }

        // A tick. The interval read now governs the next wait.
        sink = self->m_pSink.load();
        interval = sink != nullptr ? sink->GetReportInterval() : kDefaultReportIntervalMs;
        TRACE_VERBOSE(64, interval);
        if (sink != nullptr && sink->ConsumePowerSourceChange(self->m_hCollectorCloseEvent) != 0) {
            TRACE_VERBOSE(65);
            break;
        }
        self->ReadTemperature(&reading);
        if (sink != nullptr) sink->SetLatestTemperature(reading);
    }

    sink = self->m_pSink.load();
    if (sink != nullptr) sink->SetLatestTemperature(kNoReading);
    return 0;
}
