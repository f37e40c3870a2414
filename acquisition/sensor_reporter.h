// CSensorReporter: the reporter thread of acquisition. Once per report interval, on its own clock,
// it takes the owner's latest reading and delivers it to the sensor through the owner.
//
// Delivery rule: a tick delivers the current reading unless the reading of the previous tick was
// the no-reading value (-1024.0). The thread starts with -1024.0 as its previous reading and
// delivers -1024.0 when it starts and again on its way out. So the first tick delivers nothing, a
// change to no reading is delivered once, and the first real reading after a run of no readings is
// delivered one tick late.
//
// Stopping joins: StopReporterThread signals the close event, waits for the thread to end, and only
// then closes the thread handle and the event.
//
// Ownership and thread safety:
// - The owner (the acquisition object that contains the reporter) is not owned; it is set at its
//   construction and cleared at its destruction, and read by the thread through an atomic.
// - The thread and close-event handles belong to the thread that starts and stops the reporter. The
//   reporter thread reads the event handle, which was stored before the thread was created and is
//   closed only after it has ended.
// - The previous reading belongs to the reporter thread; successive threads hand it on through the
//   join of the stop.
#pragma once

#include <atomic>

#include "platform/kernel/handle.h"
#include "platform/types.h"

class CThermalAcquisition;

class CSensorReporter {
public:
    CSensorReporter() = default;
    // Stops a reporter thread still held.
    ~CSensorReporter();
    CSensorReporter(const CSensorReporter&) = delete;
    CSensorReporter& operator=(const CSensorReporter&) = delete;

    void SetOwner(CThermalAcquisition* owner);

    // Creates the close event "CloseThreadEvent_SensorReporter" and starts the reporter thread.
    // 1 on success, and also (with nothing started) while a reporter thread is held already; 0
    // without an owner or when the event or the thread cannot be created (a created event stays held
    // until the stop).
    int StartReporterThread();
    // Signals the close event, waits for the thread to end and closes the thread handle, then closes
    // the event. 1, also with nothing to stop; 0 when the event cannot be signalled or the thread
    // cannot be waited for (both handles stay held: the thread may run on).
    int StopReporterThread();

    // True while a reporter thread handle is held (from a start until a successful stop).
    bool HasReporterThread() const { return m_hReporterThread != nullptr; }

private:
    static DWORD WINAPI ReporterThreadProc(LPVOID parameter);

    std::atomic<CThermalAcquisition*> m_pOwner{nullptr};
    HANDLE m_hReporterThread = nullptr;
    HANDLE m_hReporterCloseEvent = nullptr;
    double m_dblPreviousReading = -1024.0;
};
