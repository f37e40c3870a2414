#include "host/host_file.h"

#include <mutex>
#include <utility>

#include "platform_support/wait.h"
#include "platform_support/wait.h"

namespace platform::host {

CHostFile::CHostFile(std::uint64_t id, const void* device, FileAccess access, ClientEventHandler events)
    : m_id(id), m_device(device), m_access(access), m_takesEvents(static_cast<bool>(events)), m_events(std::move(events))
{
}

HRESULT STDMETHODCALLTYPE CHostFile::QueryInterface(REFIID riid, void** ppvObject)
{
    if (riid == iid_of<transport::IClientEventSink> && !m_takesEvents) {
        if (ppvObject != nullptr) *ppvObject = nullptr;
        return ppvObject != nullptr ? E_NOINTERFACE : E_POINTER;
    }
    return ComObject::QueryInterface(riid, ppvObject);
}

void STDMETHODCALLTYPE CHostFile::OnSensorEvent(const std::uint8_t* encoded, std::size_t size)
{
    if (encoded == nullptr && size != 0) return;
    const ClientEventHandler* handler = nullptr;
    {
        std::lock_guard kernel(support::KernelLock());
        if (!m_events) return;
        handler = &m_events;
        ++m_eventCalls;
    }
    // StopEvents leaves the handler in place until this call is counted out.
    (*handler)(std::span<const std::uint8_t>(encoded, size));
    std::lock_guard kernel(support::KernelLock());
    // Only a waiting StopEvents can be satisfied by this: every other event goes without a wake-up.
    if (--m_eventCalls == 0 && m_stopsWaiting > 0) support::WakeWaitersLocked();
}

void CHostFile::StopEvents()
{
    ClientEventHandler dropped;
    {
        std::unique_lock kernel(support::KernelLock());
        ++m_stopsWaiting;
        support::BlockUntil(
            kernel, [this] { return m_eventCalls == 0; }, support::kNever);
        --m_stopsWaiting;
        dropped.swap(m_events);
    }
    // What the handler holds goes here, outside the kernel lock.
}

}  // namespace platform::host
