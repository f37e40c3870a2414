// An I/O request of the host: one device I/O control request of a client, with its file, its
// input buffer (a copy) and its output buffer (zero-filled, of the length the client asked for).
//
// A request is completed exactly once: by the driver (CompleteWithInformation) or by the host
// (refused, purged, or released by the driver without completion). The completion handler then
// gets the result. A second completion by the driver is recorded as a driver error and ignored.
//
// Ownership: reference counted. The queue holds a reference while the request waits; the worker
// that dispatches it holds one for the driver's call.
//
// Thread safety: completion is decided by an atomic flag. The dispatching queue is set once, before
// the request is handed to the driver.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "host/host_file.h"
#include "host/host_io.h"
#include "host/host_record.h"
#include "host_memory.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/io_request.h"

namespace platform::host {

class CHostIoQueue;

class CHostIoRequest final : public platform::ComObject<CHostIoRequest, IWDFIoRequest> {
public:
    // Takes `done` over when it succeeds. E_OUTOFMEMORY when the buffers cannot be had; the caller
    // still has its handler then.
    static HRESULT Create(std::shared_ptr<HostRecord> record, std::uint64_t id, platform::ComPtr<CHostFile> file,
                          ULONG controlCode, std::span<const BYTE> input, SIZE_T outputLength,
                          IoCompletionHandler& done, platform::ComPtr<CHostIoRequest>* request);

    void STDMETHODCALLTYPE CompleteWithInformation(HRESULT hrCompletionStatus, SIZE_T Information) override;
    void STDMETHODCALLTYPE GetInputMemory(IWDFMemory** ppWdfMemory) override;
    void STDMETHODCALLTYPE GetOutputMemory(IWDFMemory** ppWdfMemory) override;
    void STDMETHODCALLTYPE GetFileObject(IWDFFile** ppFileObject) override;
    void STDMETHODCALLTYPE GetDeviceIoControlParameters(ULONG* pControlCode, SIZE_T* pInputBufferSizeInBytes,
                                                        SIZE_T* pOutputBufferSizeInBytes) override;

    // "request#3"
    const std::string& Label() const { return m_label; }
    ULONG ControlCode() const { return m_controlCode; }
    SIZE_T InputSize() const { return m_input->Bytes().size(); }
    SIZE_T OutputSize() const { return m_output->Bytes().size(); }

    // Completes the request on the host's behalf, with information 0, recording why. False when it
    // was completed already.
    bool CompleteByHost(HRESULT status, const std::string& reason);
    // The queue that hands the request to the driver; it is told when the request completes.
    void SetDispatchedBy(CHostIoQueue* queue);

private:
    CHostIoRequest(std::shared_ptr<HostRecord> record, std::string label, platform::ComPtr<CHostFile> file,
                   ULONG controlCode, platform::ComPtr<CHostMemory> input, platform::ComPtr<CHostMemory> output,
                   IoCompletionHandler&& done);
    // A request that the driver released without completing it is completed here, as aborted.
    ~CHostIoRequest();
    friend class platform::ComObject<CHostIoRequest, IWDFIoRequest>;

    void Finish(HRESULT status, SIZE_T information);

    const std::shared_ptr<HostRecord> m_record;
    const std::string m_label;
    const platform::ComPtr<CHostFile> m_file;
    const ULONG m_controlCode;
    const platform::ComPtr<CHostMemory> m_input;
    const platform::ComPtr<CHostMemory> m_output;
    IoCompletionHandler m_done;  // moved out by the one completion
    std::atomic<bool> m_completed{false};
    platform::ComPtr<CHostIoQueue> m_dispatchedBy;  // set once, before the driver sees the request
};

}  // namespace platform::host
