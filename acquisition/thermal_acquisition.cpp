#include "acquisition/thermal_acquisition.h"

#include "base/trace.h"

TRACE_COMPONENT("{4386F4A7-4924-4221-9365-F5CF03280675}");

namespace {

// Made with the module's other static objects, before DllMain runs.
CThermalAcquisition g_ThermalAcquisition;

}  // namespace

CThermalAcquisition* GetThermalAcquisition()
{
    return &g_ThermalAcquisition;
}

CThermalAcquisition::CThermalAcquisition()
{
    m_pSensor.store(nullptr);
    {
        std::lock_guard lock(m_intervalMutex);
        m_dwReportInterval = kDefaultReportIntervalMs;
    }
    SetSink(this);
    m_reporter.SetOwner(this);
    m_notifier.SetOwner(this);
}

CThermalAcquisition::~CThermalAcquisition()
{
    // Threads left running would go on using this object.
    if (HasCollectorThread() || m_reporter.HasReporterThread()) StopThreads();
    // The notifier's thread asks this object whether acquisition is started; end it while this
    // object is whole.
    m_notifier.StopAdaptorNotifyThread();
    m_reporter.SetOwner(nullptr);
    SetSink(nullptr);
}

int CThermalAcquisition::InitAcquisition()
{
    // A running collector thread reads the maps and WMI; end it before they are loaded again.
    int collector = 0;
    if (StopThreadsBeforeMapsChange()) collector = InitCollector();
    const int notifier = m_notifier.StartAdaptorNotifyThread();
    return collector & notifier;
}

int CThermalAcquisition::DeinitAcquisition()
{
    // A running collector thread reads the maps and WMI; end it before they are released.
    int collector = 0;
    if (StopThreadsBeforeMapsChange()) collector = DeinitCollector();
    const int notifier = m_notifier.StopAdaptorNotifyThread();
    return collector & notifier;
}

bool CThermalAcquisition::StopThreadsBeforeMapsChange()
{
    if (HasCollectorThread() || m_reporter.HasReporterThread()) {
        TRACE_INFO(10);
        StopThreads();
    }
    if (!HasCollectorThread()) return true;
    TRACE_ERROR(11);
    return false;
}

int CThermalAcquisition::StartThreads()
{
    TRACE_INFO(12);
    if (HasCollectorThread() && m_reporter.HasReporterThread()) {
        TRACE_INFO(13);
        m_nStarted.store(1);
        return 1;
    }
    StartCollectorThread();
    const int result = m_reporter.StartReporterThread();
    m_nStarted.store(1);
    return result;
}

int CThermalAcquisition::StopThreads()
{
    TRACE_INFO(14);
    StopCollectorThread();
    const int result = m_reporter.StopReporterThread();
    // A thread that could not be stopped may still read or deliver: acquisition stays started.
    m_nStarted.store(HasCollectorThread() || m_reporter.HasReporterThread() ? 1 : 0);
    return result;
}

int CThermalAcquisition::IsStarted() const
{
    return m_nStarted.load();
}

DWORD CThermalAcquisition::GetReportInterval() const
{
    std::lock_guard lock(m_intervalMutex);
    return m_dwReportInterval;
}

void CThermalAcquisition::SetReportInterval(DWORD milliseconds)
{
    std::lock_guard lock(m_intervalMutex);
    m_dwReportInterval = milliseconds;
}

double CThermalAcquisition::GetLatestTemperature() const
{
    std::lock_guard lock(m_readingMutex);
    return m_dblLatestTemperature;
}

void CThermalAcquisition::SetLatestTemperature(double value)
{
    std::lock_guard lock(m_readingMutex);
    m_dblLatestTemperature = value;
}

void CThermalAcquisition::DeliverTemperature(double value)
{
    TRACE_INFO(15, value);
    ITemperatureSensor* sensor = m_pSensor.load();
    if (sensor == nullptr) {
        TRACE_ERROR(16);
        return;
    }
    sensor->SetLastReading(value);
    sensor->UpdateDataFields();
    sensor->SignalNewData();
}

void CThermalAcquisition::SetSensor(ITemperatureSensor* sensor)
{
    m_pSensor.store(sensor);
}

int CThermalAcquisition::ConsumePowerSourceChange(HANDLE closeEvent)
{
    return m_notifier.ConsumePowerSourceChange(closeEvent);
}
