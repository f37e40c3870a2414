// A file object of the host device: one open handle of a client. The host makes it on OpenFile,
// hands it to the driver with every request that comes through it and to the driver's cleanup
// callback when it is closed.
//
// A file opened with an event handler also answers transport::IClientEventSink, so the class
// extension delivers the sensor events of its subscriptions to it; each event goes to the handler.
// A file opened without one does not answer it and gets no events.
//
// Ownership: reference counted. The opener holds one reference; requests in flight hold theirs.
//
// Thread safety: the identity and access never change; the closed flag is atomic. The event
// handler runs on the thread that posts the event, possibly on several threads at once, and must
// not block. It may run until the file's close has finished (the closing call returned, or its
// completion ran); after that it never runs again. The handler and the count of its calls in
// progress are guarded by KernelLock(), so that the close waits for them as a platform wait.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "platform/com/com_object.h"
#include "platform/wdf/file.h"
#include "transport/client_events.h"

namespace platform::host {

enum class FileAccess {
    kRead,       // control codes that need read access
    kReadWrite,  // control codes that need read or write access
};

// Receives one encoded event message (transport/sensor_protocol.h); the bytes are valid only
// during the call.
using ClientEventHandler = std::function<void(std::span<const std::uint8_t> encodedEvent)>;

class CHostFile final : public platform::ComObject<CHostFile, IWDFFile, transport::IClientEventSink> {
public:
    CHostFile(std::uint64_t id, const void* device, FileAccess access, ClientEventHandler events = nullptr);

    // Answers IClientEventSink only when the file was opened with an event handler.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    // transport::IClientEventSink: hands the event to the handler unless the file is closed.
    void STDMETHODCALLTYPE OnSensorEvent(const std::uint8_t* encoded, std::size_t size) override;

    // The file's number on its device, from 1: "file#1" in the host record.
    std::uint64_t Id() const { return m_id; }
    FileAccess Access() const { return m_access; }
    // The device the file was opened on (compared only, never used).
    const void* Device() const { return m_device; }
    bool TakesEvents() const { return m_takesEvents; }
    bool IsClosed() const { return m_closed.load(); }
    // True for the call that closed it.
    bool MarkClosed() { return !m_closed.exchange(true); }
    // Drops the event handler, after waiting for its calls in progress. Called by the close once
    // the driver's cleanup has run; a call from inside the handler itself would wait for ever.
    void StopEvents();

private:
    ~CHostFile() = default;
    friend class platform::ComObject<CHostFile, IWDFFile, transport::IClientEventSink>;

    const std::uint64_t m_id;
    const void* const m_device;
    const FileAccess m_access;
    const bool m_takesEvents;
    std::atomic<bool> m_closed{false};
    // Guarded by KernelLock().
    ClientEventHandler m_events;
    std::uint32_t m_eventCalls = 0;
    std::uint32_t m_stopsWaiting = 0;  // StopEvents calls waiting for the calls in progress to end
};

}  // namespace platform::host
