#include "host_memory.h"

namespace platform::host {

void* STDMETHODCALLTYPE CHostMemory::GetDataBuffer(SIZE_T* pSize)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFMemory::GetDataBuffer", {m_requestLabel, " ", m_role},
                  {m_bytes.size(), " bytes"});
    if (pSize != nullptr) *pSize = m_bytes.size();
    return m_bytes.empty() ? nullptr : m_bytes.data();
}

}  // namespace platform::host
