// CThermalAcquisition: the process-wide acquisition object. It extends the collector with the
// reporter, the power-source notifier, the report interval, the latest reading and the sensor that
// receives the readings. The sensor side starts acquisition with InitAcquisition and StartThreads,
// stops it with DeinitAcquisition and StopThreads, and tunes it with SetReportInterval.
//
// One object lives for the whole process: a static instance made when the module loads (its maps
// load then, after their 5-second settling wait) and destroyed when it unloads.
//
// Stopping is sound in either order of the two stop operations. StopThreads signals each thread and
// waits for it to end before it closes its handle and event; the collector stores -1024.0 and the
// reporter delivers -1024.0 on their way out. InitAcquisition and DeinitAcquisition called while
// threads run stop and join them first, so the maps and the WMI source are loaded or released only
// when no read is under way or can begin; while a collector thread cannot be stopped they stay as
// they are. Acquisition counts as started until both threads are known to have ended.
//
// Until the collector first stores a reading, the latest reading is -1024.0 (no reading).
//
// A second StartThreads while the threads run starts nothing: it traces, leaves the running
// threads as they are and returns 1.
//
// Ownership and thread safety:
// - Init, deinit, start and stop are called by the sensor side, one at a time (the host's device
//   callbacks serialise them); the thread and event handles belong to that caller. They must not be
//   called with a lock held that the sensor's UpdateDataFields or SignalNewData takes, because the
//   stop waits for the reporter thread, which calls them.
// - The report interval is guarded by the interval mutex, the latest reading by the reading mutex.
//   Both are leaf locks held for one read or write of the value only.
// - started and the sensor pointer are atomics: the host's threads write them; the collector,
//   reporter and notifier threads read them.
// - The sensor is not owned. It is registered before the threads start and must stay alive until
//   StopThreads (or DeinitAcquisition) has returned. The reporter calls it without any lock held.
#pragma once

#include <atomic>
#include <mutex>

#include "acquisition/adaptor_notify.h"
#include "acquisition/sensor_reporter.h"
#include "acquisition/temperature_sensor.h"
#include "acquisition/thermal_sensor_collector.h"
#include "platform/kernel/handle.h"
#include "platform/types.h"

class CThermalAcquisition final : public CThermalSensorCollector, public IAdaptorNotifyOwner {
public:
    // Loads the maps (5-second settling wait), then points the collector's sink, the reporter's owner
    // and the notifier's owner at this object. Interval 1000 ms, no sensor, not started.
    CThermalAcquisition();
    // Stops threads still held (the sensor side normally has) and the notifier's thread, then
    // detaches the reporter and the collector from this object.
    ~CThermalAcquisition();
    CThermalAcquisition(const CThermalAcquisition&) = delete;
    CThermalAcquisition& operator=(const CThermalAcquisition&) = delete;

    // Stops and joins threads still running, then InitCollector, then StartAdaptorNotifyThread
    // whatever the first returned; the AND of the two. When a collector thread cannot be stopped the
    // maps and WMI stay as they are (they are in use) and the first result is 0.
    int InitAcquisition();
    // Stops and joins threads still running, then DeinitCollector and StopAdaptorNotifyThread; the
    // AND of the two. When a collector thread cannot be stopped the maps and WMI stay in place (they
    // are still in use) and the first result is 0.
    int DeinitAcquisition();

    // Starts the collector thread (its result is ignored) and the reporter thread, then sets
    // started. Returns the reporter start's result.
    int StartThreads();
    // Stops (and joins) the collector thread (its result is ignored) and the reporter thread, then
    // clears started unless one of them could not be stopped. Returns the reporter stop's result; 1
    // when there was nothing to stop.
    int StopThreads();
    // 1 from StartThreads until a StopThreads after which neither thread runs.
    int IsStarted() const override;

    DWORD GetReportInterval() const;
    // The next wait of each thread after its next tick uses the new interval; no bounds are applied.
    void SetReportInterval(DWORD milliseconds);

    double GetLatestTemperature() const;
    void SetLatestTemperature(double value);

    // Hands a reading to the registered sensor: its last reading, then UpdateDataFields, then
    // SignalNewData (whatever UpdateDataFields returned). Without a sensor the reading is dropped
    // with an error trace.
    void DeliverTemperature(double value);
    void SetSensor(ITemperatureSensor* sensor);

    // Lets the notifier hold off after a power-source change; nonzero when the close event was
    // signalled during the hold-off, so that the calling thread must stop.
    int ConsumePowerSourceChange(HANDLE closeEvent);

private:
    // Stops and joins threads still running; true when no collector thread is left to read the maps
    // and WMI.
    bool StopThreadsBeforeMapsChange();

    CSensorReporter m_reporter;
    CAdaptorNotify m_notifier;
    std::atomic<ITemperatureSensor*> m_pSensor{nullptr};
    DWORD m_dwReportInterval = 0;  // guarded by m_intervalMutex
    mutable std::mutex m_intervalMutex;
    double m_dblLatestTemperature = kNoReading;  // guarded by m_readingMutex
    mutable std::mutex m_readingMutex;
    std::atomic<int> m_nStarted{0};
};

// The one acquisition object of the process, made when the module loads.
CThermalAcquisition* GetThermalAcquisition();
