// A memory object of the host: one buffer of an I/O request (buffered method). The input buffer is
// a copy of what the caller sent; the output buffer is zero-filled and as long as the caller asked.
// An empty buffer has length 0 and a null data pointer.
//
// Ownership: reference counted; the request holds one reference to each of its buffers.
//
// Thread safety: the buffer is written by the request's handler until it completes the request,
// then read by the host; the record is thread safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/host_record.h"
#include "platform/com/com_object.h"
#include "platform/wdf/memory.h"

namespace platform::host {

class CHostMemory final : public platform::ComObject<CHostMemory, IWDFMemory> {
public:
    // The record names the buffer by its request and role, e.g. "request#3 output".
    CHostMemory(std::shared_ptr<HostRecord> record, std::string requestLabel, const char* role, std::vector<BYTE> bytes)
        : m_record(std::move(record)), m_requestLabel(std::move(requestLabel)), m_role(role), m_bytes(std::move(bytes))
    {
    }

    void* STDMETHODCALLTYPE GetDataBuffer(SIZE_T* pSize) override;

    // The buffer as it is now.
    const std::vector<BYTE>& Bytes() const { return m_bytes; }

private:
    ~CHostMemory() = default;
    friend class platform::ComObject<CHostMemory, IWDFMemory>;

    const std::shared_ptr<HostRecord> m_record;
    const std::string m_requestLabel;
    const char* const m_role;
    std::vector<BYTE> m_bytes;  // its length never changes
};

}  // namespace platform::host
