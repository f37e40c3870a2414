// A memory object of the host: one buffer of an I/O request (buffered method). The input buffer is
// a copy of what the caller sent; the output buffer is zero-filled and as long as the caller asked.
// An empty buffer has length 0 and a null data pointer. The bytes are held in the object's own
// allocation, after the object.
//
// Ownership: reference counted; the request holds one reference to each of its buffers.
//
// Thread safety: the buffer is written by the request's handler until it completes the request,
// then read by the host; the record is thread safe.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "host/host_record.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/memory.h"

namespace platform::host {

class CHostMemory final : public platform::ComObject<CHostMemory, IWDFMemory> {
public:
    // A buffer of `size` bytes that start as a copy of `contents` (at most `size` of them) and are
    // zero after it. The record names the buffer by its request and role, e.g. "request#3 output".
    // Throws std::bad_alloc.
    static platform::ComPtr<CHostMemory> Create(std::shared_ptr<HostRecord> record, std::string requestLabel,
                                                const char* role, std::span<const BYTE> contents, std::size_t size);

    void* STDMETHODCALLTYPE GetDataBuffer(SIZE_T* pSize) override;

    // The buffer as it is now.
    std::span<const BYTE> Bytes() const { return {Data(), m_size}; }

    static void operator delete(void* block) { ::operator delete(block); }

private:
    CHostMemory(std::shared_ptr<HostRecord> record, std::string requestLabel, const char* role, std::size_t size)
        : m_record(std::move(record)), m_requestLabel(std::move(requestLabel)), m_role(role), m_size(size)
    {
    }
    ~CHostMemory() = default;
    friend class platform::ComObject<CHostMemory, IWDFMemory>;

    // The bytes start at the first aligned offset after the object.
    static constexpr std::size_t DataOffset()
    {
        return (sizeof(CHostMemory) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
               alignof(std::max_align_t);
    }
    BYTE* Data() { return m_size == 0 ? nullptr : reinterpret_cast<BYTE*>(this) + DataOffset(); }
    const BYTE* Data() const { return m_size == 0 ? nullptr : reinterpret_cast<const BYTE*>(this) + DataOffset(); }

    const std::shared_ptr<HostRecord> m_record;
    const std::string m_requestLabel;
    const char* const m_role;
    const std::size_t m_size;
};

}  // namespace platform::host
