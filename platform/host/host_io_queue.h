// An I/O queue of the host device, with parallel dispatch: requests are handed to the queue's
// callback object (IQueueCallbackDeviceIoControl) on host threads, up to `maxDispatchThreads` of
// them at once; a request waits in the queue while all of those are busy in the driver. A caller
// that can spare its own thread may claim a request that nothing waits before, and hand it to the
// driver itself (ClaimedIoRequest), which saves waking a host thread for it. The bound
// keeps a flood of requests from costing a thread each. A dispatching thread, once started, waits
// for the next request instead of ending, so a request costs no thread start; the threads end when
// the device's host threads are closed (HostWorkers::Close, at removal). The queue is not power
// managed: dispatch never waits for the device to be in D0.
//
// PurgeSynchronously completes the requests still waiting for dispatch with
// HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED), refuses new ones the same way until Start, and
// returns when every request handed to the driver has been completed. It must not be called by a
// request handler of the same queue before that handler has completed its request.
//
// Ownership: reference counted. The device holds its queues; each queue holds its callback object
// until ReleaseCallback; each host thread dispatching for the queue holds a reference to it.
//
// Thread safety: every operation may be called from any thread. The accepting flag, the waiting
// requests and the count of dispatched requests are guarded by KernelLock(), so that a purge waits
// as a platform wait; the callback reference is guarded by m_callbackMutex. Neither lock is held
// while the driver is called or a reference is released.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "host/host_record.h"
#include "host_io_request.h"
#include "host_workers.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/device.h"
#include "platform/wdf/queue_callbacks.h"

namespace platform::host {

class CHostIoQueue final : public platform::ComObject<CHostIoQueue, IWDFIoQueue> {
public:
    // `callback` may be null: the callback object answered no IQueueCallbackDeviceIoControl, and
    // the queue completes device I/O control requests with HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION).
    CHostIoQueue(std::shared_ptr<HostRecord> record, std::shared_ptr<HostWorkers> workers, std::uint64_t id,
                 platform::ComPtr<IQueueCallbackDeviceIoControl> callback, bool isDefault,
                 std::uint32_t maxDispatchThreads);

    void STDMETHODCALLTYPE PurgeSynchronously() override;
    void STDMETHODCALLTYPE Start() override;

    // "queue#1"
    const std::string& Label() const { return m_label; }
    bool IsDefault() const { return m_isDefault; }

    // Takes a request for dispatch, or completes it at once when the queue refuses it. With
    // `dispatchHere`, a request that no earlier one waits before is left to the caller to hand to
    // the driver on its own thread (host_io.h).
    void Submit(platform::ComPtr<CHostIoRequest> request, ClaimedIoRequest* dispatchHere = nullptr);
    // A request that was handed to the driver has been completed.
    void DispatchedRequestDone();
    // Drops the reference to the callback object; later requests complete as without one.
    void ReleaseCallback();

private:
    ~CHostIoQueue();
    friend class platform::ComObject<CHostIoQueue, IWDFIoQueue>;

    // On a host thread: hands waiting requests to the driver, one after the other, and waits for
    // more until the host threads are closed.
    void DispatchWaiting();
    void DispatchOne(const platform::ComPtr<CHostIoRequest>& request);
    // On the thread of a claim's caller (ClaimedIoRequest::Dispatch).
    void DispatchClaimed(const platform::ComPtr<CHostIoRequest>& request);
    friend class ClaimedIoRequest;

    const std::shared_ptr<HostRecord> m_record;
    const std::shared_ptr<HostWorkers> m_workers;
    const std::string m_label;
    const bool m_isDefault;
    const std::uint32_t m_maxDispatchThreads;

    std::mutex m_callbackMutex;
    platform::ComPtr<IQueueCallbackDeviceIoControl> m_callback;  // guarded by m_callbackMutex

    // Guarded by KernelLock().
    bool m_accepting = true;
    std::deque<CHostIoRequest*> m_waiting;  // one reference each
    std::uint32_t m_dispatched = 0;         // handed to the driver and not completed yet
    std::uint32_t m_dispatchThreads = 0;    // host threads running DispatchWaiting
    std::uint32_t m_idleDispatchThreads = 0;  // of those, the ones waiting for a request
};

}  // namespace platform::host
