#include "host_io_queue.h"

#include <algorithm>
#include <utility>

#include "platform/kernel/last_error.h"
#include "platform_support/wait.h"
#include "record_text.h"

namespace platform::host {

CHostIoQueue::CHostIoQueue(std::shared_ptr<HostRecord> record, std::shared_ptr<HostWorkers> workers, std::uint64_t id,
                           platform::ComPtr<IQueueCallbackDeviceIoControl> callback, bool isDefault,
                           std::uint32_t maxDispatchThreads)
    : m_record(std::move(record)),
      m_workers(std::move(workers)),
      m_label("queue#" + std::to_string(id)),
      m_isDefault(isDefault),
      m_maxDispatchThreads(std::max<std::uint32_t>(maxDispatchThreads, 1)),
      m_callback(std::move(callback))
{
}

CHostIoQueue::~CHostIoQueue()
{
    // Every dispatching thread holds the queue, so nothing waits here any more; this only gives
    // back what a failed start may have left.
    std::deque<CHostIoRequest*> left;
    {
        std::lock_guard kernel(support::KernelLock());
        left.swap(m_waiting);
    }
    for (CHostIoRequest* request : left) {
        request->CompleteByHost(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED), m_label + " went away");
        request->Release();
    }
}

void STDMETHODCALLTYPE CHostIoQueue::PurgeSynchronously()
{
    const auto token = m_record->Add(RecordKind::kDriverCall, "IWDFIoQueue::PurgeSynchronously", m_label);
    std::deque<CHostIoRequest*> purged;
    {
        std::lock_guard kernel(support::KernelLock());
        m_accepting = false;
        purged.swap(m_waiting);
    }
    for (CHostIoRequest* request : purged) {
        request->CompleteByHost(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED),
                                "purged from " + m_label + " before it was dispatched");
        request->Release();
    }
    {
        std::unique_lock kernel(support::KernelLock());
        support::BlockUntil(
            kernel, [this] { return m_dispatched == 0; }, support::kNever);
    }
    m_record->SetResult(token, "aborted=" + std::to_string(purged.size()));
}

void STDMETHODCALLTYPE CHostIoQueue::Start()
{
    m_record->Add(RecordKind::kDriverCall, "IWDFIoQueue::Start", m_label);
    std::lock_guard kernel(support::KernelLock());
    m_accepting = true;
}

void CHostIoQueue::Submit(platform::ComPtr<CHostIoRequest> request, ClaimedIoRequest* dispatchHere)
{
    bool accepted = false;
    bool startThread = false;
    {
        std::lock_guard kernel(support::KernelLock());
        if (m_accepting && dispatchHere != nullptr && m_waiting.empty()) {
            ++m_dispatched;
            request->SetDispatchedBy(this);
            dispatchHere->m_queue = platform::ComPtr<CHostIoQueue>(this);
            dispatchHere->m_request = std::move(request);
            return;
        }
        if (m_accepting) {
            m_waiting.push_back(request.Get());
            request->AddRef();
            accepted = true;
            // An idle dispatching thread takes it; a new one starts only when every thread there is
            // has a request already.
            if (m_idleDispatchThreads > 0) support::WakeWaitersLocked();
            if (m_waiting.size() > m_idleDispatchThreads && m_dispatchThreads < m_maxDispatchThreads) {
                ++m_dispatchThreads;
                startThread = true;
            }
        }
    }
    if (!accepted) {
        request->CompleteByHost(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED),
                                m_label + " was purged and is not started again");
        return;
    }
    if (!startThread) return;  // a busy dispatch thread takes it when it is done
    const auto started = m_workers->Start([queue = platform::ComPtr<CHostIoQueue>(this)] { queue->DispatchWaiting(); });
    if (started == HostWorkers::StartResult::kStarted) return;

    // Without a new thread, the requests wait for the ones running; with none running, nobody
    // would ever take them, and they are completed with the reason.
    const DWORD error = started == HostWorkers::StartResult::kClosed ? ERROR_DEVICE_NOT_CONNECTED : GetLastError();
    std::deque<CHostIoRequest*> stranded;
    {
        std::lock_guard kernel(support::KernelLock());
        if (--m_dispatchThreads == 0) stranded.swap(m_waiting);
    }
    for (CHostIoRequest* waiting : stranded) {
        waiting->CompleteByHost(HRESULT_FROM_WIN32(error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY),
                                started == HostWorkers::StartResult::kClosed
                                    ? "the device is being removed"
                                    : "no host thread could be started to dispatch it");
        waiting->Release();
    }
}

void CHostIoQueue::DispatchedRequestDone()
{
    std::lock_guard kernel(support::KernelLock());
    --m_dispatched;
    support::WakeWaitersLocked();
}

void CHostIoQueue::ReleaseCallback()
{
    platform::ComPtr<IQueueCallbackDeviceIoControl> released;
    std::lock_guard guard(m_callbackMutex);
    released.Swap(m_callback);
    // `released` goes out of scope after the guard: destroyed last, with the mutex free.
}

void CHostIoQueue::DispatchWaiting()
{
    for (;;) {
        platform::ComPtr<CHostIoRequest> request;
        {
            std::unique_lock kernel(support::KernelLock());
            ++m_idleDispatchThreads;
            support::BlockUntil(
                kernel, [this] { return !m_waiting.empty() || m_workers->ClosedLocked(); }, support::kNever);
            --m_idleDispatchThreads;
            if (m_waiting.empty()) {
                --m_dispatchThreads;
                return;
            }
            request.Attach(m_waiting.front());  // takes over the waiting reference
            m_waiting.pop_front();
            ++m_dispatched;
            request->SetDispatchedBy(this);
        }
        DispatchOne(request);
    }
}

void CHostIoQueue::DispatchClaimed(const platform::ComPtr<CHostIoRequest>& request)
{
    // The device's host threads are closed while it is removed: the driver is not called any more.
    if (!m_workers->RunHere([&] { DispatchOne(request); })) {
        request->CompleteByHost(HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED), "the device is being removed");
    }
}

void CHostIoQueue::DispatchOne(const platform::ComPtr<CHostIoRequest>& request)
{
    platform::ComPtr<IQueueCallbackDeviceIoControl> callback;
    {
        std::lock_guard guard(m_callbackMutex);
        callback = m_callback;
    }
    if (!callback) {
        request->CompleteByHost(HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION),
                                m_label + " has no device I/O control callback");
        return;
    }
    m_record->Add(RecordKind::kCallback, "IQueueCallbackDeviceIoControl::OnDeviceIoControl",
                  {m_label, " ", request->Label(), " code=", Hex32(request->ControlCode()),
                   " input=", request->InputSize(), " output=", request->OutputSize()});
    callback->OnDeviceIoControl(this, request.Get(), request->ControlCode(), request->InputSize(),
                                request->OutputSize());
}

ClaimedIoRequest::ClaimedIoRequest() = default;

ClaimedIoRequest::~ClaimedIoRequest()
{
    Dispatch();
}

void ClaimedIoRequest::Dispatch()
{
    if (!m_request) return;
    const platform::ComPtr<CHostIoQueue> queue = std::move(m_queue);
    const platform::ComPtr<CHostIoRequest> request = std::move(m_request);
    queue->DispatchClaimed(request);
}

}  // namespace platform::host
