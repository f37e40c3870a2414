#include "host_memory.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace platform::host {

platform::ComPtr<CHostMemory> CHostMemory::Create(std::shared_ptr<HostRecord> record, std::string requestLabel,
                                                  const char* role, std::span<const BYTE> contents, std::size_t size)
{
    // One allocation for the object and its bytes; the object's own delete gives the block back.
    if (size > std::numeric_limits<std::size_t>::max() - DataOffset()) throw std::bad_alloc();
    void* block = ::operator new(DataOffset() + size);
    auto* memory = ::new (block) CHostMemory(std::move(record), std::move(requestLabel), role, size);
    const std::size_t copied = std::min(contents.size(), size);
    BYTE* data = static_cast<BYTE*>(block) + DataOffset();
    if (copied != 0) std::memcpy(data, contents.data(), copied);
    if (size > copied) std::memset(data + copied, 0, size - copied);
    return platform::ComPtr<CHostMemory>(memory);
}

void* STDMETHODCALLTYPE CHostMemory::GetDataBuffer(SIZE_T* pSize)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFMemory::GetDataBuffer", {m_requestLabel, " ", m_role},
                  {m_size, " bytes"});
    if (pSize != nullptr) *pSize = m_size;
    return Data();
}

}  // namespace platform::host
