// CThermalSensorCollector: the sampling core of acquisition. It holds the WMI source and the thermal
// maps, takes one reading through the source chain, and runs the collector thread, which takes one
// reading per report interval and stores it in its sink (the acquisition object that extends it).
//
// The source chain (ReadTemperature) asks, in order, and the first source that answers ends it,
// even when its answer is the no-reading value:
//   1. test mode: -8.8;
//   2. the interface probe device, whose raw value goes through the thermal map (a key missing
//      from the map gives -1024.0);
//   3. the fixed-path probe device, which answers degrees Celsius itself;
//   4. WMI, whose raw value goes through the thermal map, while the collector is initialised;
//   5. none: -1024.0, with an error trace.
//
// The collector thread stores -1024.0 when it starts and again on its way out. At each tick it
// reads the report interval again (for its next wait), lets the sink hold off after a power-source
// change, and then takes one reading. A stop signalled during the hold-off ends it without one.
//
// Stopping joins: StopCollectorThread signals the close event, waits for the thread to end, and only
// then closes the thread handle and the event. So the event stays valid for every wait of the
// thread, and once the stop returns no read is under way or can begin.
//
// Ownership and thread safety:
// - The WMI source and the maps have no lock. They are loaded and released (InitCollector,
//   DeinitCollector) only while no collector thread runs; the collector thread is their only
//   reader. The acquisition object keeps to this: it stops and joins the threads before it
//   releases them.
// - The thread and close-event handles belong to the thread that starts and stops the collector
//   (the sensor side's calls are serialised). The collector thread reads the event handle, which
//   was stored before the thread was created and is closed only after it has ended.
// - The sink pointer and the initialised flag are atomics: the host thread writes them, the
//   collector thread reads them.
// - The sink is not owned; it must outlive the collector thread.
#pragma once

#include <atomic>

#include "acquisition/thermal_map.h"
#include "acquisition/wmi_thermal.h"
#include "platform/kernel/handle.h"
#include "platform/types.h"

class CThermalAcquisition;

class CThermalSensorCollector {
public:
    // The reading that stands for "no temperature".
    static constexpr double kNoReading = CThermalMap::kNoReading;
    // Every reading while test mode is on.
    static constexpr double kTestModeReading = -8.8;
    // The interval the threads use when they have no owner to ask.
    static constexpr DWORD kDefaultReportIntervalMs = 1000;

    // Loads the maps (after their 5-second settling wait); no sink, not initialised, no thread.
    CThermalSensorCollector();
    // Stops a collector thread still held (it can only have been started with a sink, and the sink
    // is the enclosing object, which stops it first).
    ~CThermalSensorCollector();
    CThermalSensorCollector(const CThermalSensorCollector&) = delete;
    CThermalSensorCollector& operator=(const CThermalSensorCollector&) = delete;

    // Reloads the maps and, unless test mode is on, connects the WMI source (its result is only
    // traced); then marks the collector initialised. Always 1.
    int InitCollector();
    // Clears the maps and, unless test mode is on, releases the WMI source; then marks the collector
    // not initialised. Always 1.
    int DeinitCollector();

    // Creates the close event "CloseThreadEvent_SensorCollector" and starts the collector thread.
    // 1 on success, and also (with nothing started) while a collector thread is held already;
    // 0 without a sink or when the event or the thread cannot be created (a created event stays
    // held until the stop).
    int StartCollectorThread();
    // Signals the close event, waits for the thread to end and closes the thread handle, then closes
    // the event. 1, also with nothing to stop; 0 when the event cannot be signalled or the thread
    // cannot be waited for (both handles stay held: the thread may run on).
    int StopCollectorThread();

    // Takes one reading through the source chain into *out. Always writes *out and returns 1 (0 only
    // for a null out).
    int ReadTemperature(double* out);
    // Reads the interface device and converts its raw value through the map into *out. 1 when *out
    // was written; 0, with *out untouched, when the device gave no value.
    int ReadFromProbeDevice(double* out);
    // Reads WMI and converts its raw value through the map into *out. 1 when *out was written; 0,
    // with *out untouched, when the collector is not initialised or WMI gave no value.
    int ReadFromWmi(double* out);

    // Sets the object the collector thread reports to.
    void SetSink(CThermalAcquisition* owner);

protected:
    // True while a collector thread handle is held (from a start until a successful stop).
    bool HasCollectorThread() const { return m_hCollectorThread != nullptr; }

private:
    static DWORD WINAPI CollectorThreadProc(LPVOID parameter);

    CWmiThermal m_wmiThermal;
    CThermalMap m_map;
    std::atomic<CThermalAcquisition*> m_pSink{nullptr};
    std::atomic<int> m_nInitialized{0};
    HANDLE m_hCollectorThread = nullptr;
    HANDLE m_hCollectorCloseEvent = nullptr;
};
