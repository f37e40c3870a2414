#include "host_io_request.h"

#include <algorithm>
#include <new>
#include <utility>

#include "host_io_queue.h"
#include "record_text.h"

namespace platform::host {

HRESULT CHostIoRequest::Create(std::shared_ptr<HostRecord> record, std::uint64_t id, platform::ComPtr<CHostFile> file,
                               ULONG controlCode, std::span<const BYTE> input, SIZE_T outputLength,
                               IoCompletionHandler& done, platform::ComPtr<CHostIoRequest>* request)
{
    try {
        std::string label = "request#" + std::to_string(id);
        platform::ComPtr<CHostMemory> inputMemory = CHostMemory::Create(record, label, "input", input, input.size());
        platform::ComPtr<CHostMemory> outputMemory = CHostMemory::Create(record, label, "output", {}, outputLength);
        *request = platform::ComPtr<CHostIoRequest>(new CHostIoRequest(std::move(record), std::move(label),
                                                                       std::move(file), controlCode,
                                                                       std::move(inputMemory), std::move(outputMemory),
                                                                       std::move(done)));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
}

CHostIoRequest::CHostIoRequest(std::shared_ptr<HostRecord> record, std::string label, platform::ComPtr<CHostFile> file,
                               ULONG controlCode, platform::ComPtr<CHostMemory> input,
                               platform::ComPtr<CHostMemory> output, IoCompletionHandler&& done)
    : m_record(std::move(record)),
      m_label(std::move(label)),
      m_file(std::move(file)),
      m_controlCode(controlCode),
      m_input(std::move(input)),
      m_output(std::move(output)),
      m_done(std::move(done))
{
}

CHostIoRequest::~CHostIoRequest()
{
    if (!m_completed.exchange(true)) {
        m_record->Add(RecordKind::kDriverError, "IWDFIoRequest::Release", m_label,
                      "released without being completed; completed as aborted");
        Finish(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED), 0);
    }
}

void STDMETHODCALLTYPE CHostIoRequest::CompleteWithInformation(HRESULT hrCompletionStatus, SIZE_T Information)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFIoRequest::CompleteWithInformation",
                  {m_label, " status=", HresultText(hrCompletionStatus), " information=", Information});
    if (m_completed.exchange(true)) {
        m_record->Add(RecordKind::kDriverError, "IWDFIoRequest::CompleteWithInformation", m_label,
                      "completed a second time; ignored");
        return;
    }
    Finish(hrCompletionStatus, Information);
}

void STDMETHODCALLTYPE CHostIoRequest::GetInputMemory(IWDFMemory** ppWdfMemory)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFIoRequest::GetInputMemory", m_label);
    if (ppWdfMemory == nullptr) {
        m_record->Add(RecordKind::kDriverError, "IWDFIoRequest::GetInputMemory", m_label, "null out pointer");
        return;
    }
    *ppWdfMemory = m_input.Get();
    (*ppWdfMemory)->AddRef();
}

void STDMETHODCALLTYPE CHostIoRequest::GetOutputMemory(IWDFMemory** ppWdfMemory)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFIoRequest::GetOutputMemory", m_label);
    if (ppWdfMemory == nullptr) {
        m_record->Add(RecordKind::kDriverError, "IWDFIoRequest::GetOutputMemory", m_label, "null out pointer");
        return;
    }
    *ppWdfMemory = m_output.Get();
    (*ppWdfMemory)->AddRef();
}

void STDMETHODCALLTYPE CHostIoRequest::GetFileObject(IWDFFile** ppFileObject)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFIoRequest::GetFileObject", m_label, {"file#", m_file->Id()});
    if (ppFileObject == nullptr) {
        m_record->Add(RecordKind::kDriverError, "IWDFIoRequest::GetFileObject", m_label, "null out pointer");
        return;
    }
    *ppFileObject = m_file.Get();
    (*ppFileObject)->AddRef();
}

void STDMETHODCALLTYPE CHostIoRequest::GetDeviceIoControlParameters(ULONG* pControlCode,
                                                                    SIZE_T* pInputBufferSizeInBytes,
                                                                    SIZE_T* pOutputBufferSizeInBytes)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFIoRequest::GetDeviceIoControlParameters", m_label,
                  {"code=", Hex32(m_controlCode), " input=", InputSize(), " output=", OutputSize()});
    if (pControlCode != nullptr) *pControlCode = m_controlCode;
    if (pInputBufferSizeInBytes != nullptr) *pInputBufferSizeInBytes = InputSize();
    if (pOutputBufferSizeInBytes != nullptr) *pOutputBufferSizeInBytes = OutputSize();
}

bool CHostIoRequest::CompleteByHost(HRESULT status, const std::string& reason)
{
    if (m_completed.exchange(true)) return false;
    m_record->Add(RecordKind::kHostEvent, "CompleteRequest", {m_label, " status=", HresultText(status)}, reason);
    Finish(status, 0);
    return true;
}

void CHostIoRequest::SetDispatchedBy(CHostIoQueue* queue)
{
    m_dispatchedBy = platform::ComPtr<CHostIoQueue>(queue);
}

void CHostIoRequest::Finish(HRESULT status, SIZE_T information)
{
    const std::span<const BYTE> buffer = m_output->Bytes();
    if (information > buffer.size()) {
        // The byte count says how much of the output buffer goes back; it cannot say more than
        // the buffer holds.
        m_record->Add(RecordKind::kDriverError, "IWDFIoRequest::CompleteWithInformation", m_label,
                      "information " + std::to_string(information) + " exceeds the output buffer of " +
                          std::to_string(buffer.size()) + " bytes; cut to the buffer");
        information = buffer.size();
    }
    IoResult result;
    result.status = status;
    result.information = information;
    try {
        if (SUCCEEDED(status))
            result.output.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(information));
    } catch (const std::bad_alloc&) {
        result.status = E_OUTOFMEMORY;
        result.information = 0;
    }
    IoCompletionHandler done = std::move(m_done);
    if (done) done(std::move(result));
    if (m_dispatchedBy) m_dispatchedBy->DispatchedRequestDone();
}

}  // namespace platform::host
