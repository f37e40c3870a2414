#include "acquisition/sensor_reporter.h"

#include <cmath>

#include "acquisition/thermal_acquisition.h"
#include "base/trace.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"

TRACE_COMPONENT("{011D947F-2F8C-49F0-9605-1CBBEC6EA077}");

namespace {

constexpr WCHAR kReporterCloseEventName[] = u"CloseThreadEvent_SensorReporter";
constexpr double kNoReading = CThermalSensorCollector::kNoReading;
constexpr double kNoReadingTolerance = 0.01;

DWORD IntervalOf(CThermalAcquisition* owner)
{
    return owner != nullptr ? owner->GetReportInterval() : CThermalSensorCollector::kDefaultReportIntervalMs;
}

}  // namespace

CSensorReporter::~CSensorReporter()
{
    if (m_hReporterThread != nullptr || m_hReporterCloseEvent != nullptr) StopReporterThread();
    m_pOwner.store(nullptr);
}

void CSensorReporter::SetOwner(CThermalAcquisition* owner)
{
    m_pOwner.store(owner);
}

int CSensorReporter::StartReporterThread()
{
    if (m_pOwner.load() == nullptr) {
        TRACE_ERROR(10);
        return 0;
    }
    // One reporter thread at a time: the running one keeps its handles, and its close event is the
    // same named event a new one would get.
    if (m_hReporterThread != nullptr) {
        TRACE_INFO(11);
        return 1;
    }
    if (m_hReporterCloseEvent == nullptr) {
        m_hReporterCloseEvent = CreateEventW(nullptr, FALSE, FALSE, kReporterCloseEventName);
        if (m_hReporterCloseEvent == nullptr) {
            TRACE_ERROR(12, GetLastError());
            return 0;
        }
    }
    m_hReporterThread = CreateThread(nullptr, 0, ReporterThreadProc, this, 0, nullptr);
    if (m_hReporterThread == nullptr) {
        TRACE_ERROR(13, GetLastError());
        return 0;
    }
    return 1;
}

int CSensorReporter::StopReporterThread()
{
    if (m_hReporterThread != nullptr) {
        if (!SetEvent(m_hReporterCloseEvent)) {
            TRACE_ERROR(14, GetLastError());
            return 0;
        }
        // The thread delivers on its way out and waits on the event until then. One that could not
        // be waited for may still deliver: it keeps its handles, as after a failed signal.
        if (WaitForSingleObject(m_hReporterThread, INFINITE) == WAIT_FAILED) {
            TRACE_ERROR(15, GetLastError());
            return 0;
        }
        CloseHandle(m_hReporterThread);
        m_hReporterThread = nullptr;
    }
    if (m_hReporterCloseEvent != nullptr) {
        CloseHandle(m_hReporterCloseEvent);
        m_hReporterCloseEvent = nullptr;
    }
    return 1;
}

DWORD WINAPI CSensorReporter::ReporterThreadProc(LPVOID parameter)
{
    auto* self = static_cast<CSensorReporter*>(parameter);

    CThermalAcquisition* owner = self->m_pOwner.load();
    DWORD interval = IntervalOf(owner);
    if (owner != nullptr) {
        owner->DeliverTemperature(kNoReading);
        self->m_dblPreviousReading = kNoReading;
    }

    for (;;) {
        const DWORD result = WaitForSingleObject(self->m_hReporterCloseEvent, interval);
        if (result == WAIT_OBJECT_0) {
            TRACE_VERBOSE(20);
            break;
        }
        if (result == WAIT_FAILED) {
            TRACE_ERROR(21, GetLastError());
            break;
        }
        if (result != WAIT_TIMEOUT) {
            TRACE_ERROR(22, result);
            continue;
        }

        // A tick: deliver the latest reading unless the previous tick's reading was no reading.
        owner = self->m_pOwner.load();
        interval = IntervalOf(owner);
        const double current = owner != nullptr ? owner->GetLatestTemperature() : kNoReading;
        TRACE_VERBOSE(23, interval, current);
        if (owner != nullptr) {
            if (std::fabs(self->m_dblPreviousReading - kNoReading) > kNoReadingTolerance) {
                owner->DeliverTemperature(current);
            }
            self->m_dblPreviousReading = current;
        }
    }

    owner = self->m_pOwner.load();
    if (owner != nullptr) owner->DeliverTemperature(kNoReading);
    return 0;
}
