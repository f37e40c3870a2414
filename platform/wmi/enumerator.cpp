// The forward-only enumerator of a query's snapshot.
#include <mutex>

#include "core/fault_injection.h"
#include "platform/com/com_object.h"
#include "platform/kernel/synch.h"
#include "wmi/repository.h"

namespace platform::detail {
namespace {

class CWbemEnumerator final : public ComObject<CWbemEnumerator, IEnumWbemClassObject>, private CountedWmiObject {
public:
    explicit CWbemEnumerator(std::vector<WmiInstanceRef> instances) : m_instances(std::move(instances)) {}

    HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override
    {
        if (apObjects == nullptr || puReturned == nullptr) return WBEM_E_INVALID_PARAMETER;
        *puReturned = 0;
        if (uCount == 0 || (lTimeout < 0 && lTimeout != WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
        if (const auto error = CheckFault("IEnumWbemClassObject::Next", static_cast<std::uint32_t>(WBEM_E_FAILED))) {
            return static_cast<HRESULT>(*error);
        }
        const DWORD timeout = lTimeout == WBEM_INFINITE ? INFINITE : static_cast<DWORD>(lTimeout);
        if (!BeginWmiRead(timeout)) return WBEM_S_TIMEDOUT;

        std::lock_guard guard(m_mutex);
        ULONG returned = 0;
        while (returned < uCount && m_position < m_instances.size()) {
            const HRESULT hr = CreateWbemClassObject(m_instances[m_position], &apObjects[returned]);
            if (FAILED(hr)) {
                if (returned == 0) return WBEM_E_OUT_OF_MEMORY;
                break;
            }
            ++returned;
            ++m_position;
        }
        *puReturned = returned;
        return returned == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

private:
    std::mutex m_mutex;
    const std::vector<WmiInstanceRef> m_instances;
    std::size_t m_position = 0;  // guarded by m_mutex
};

}  // namespace

HRESULT CreateWbemEnumerator(std::vector<WmiInstanceRef> instances, IEnumWbemClassObject** out)
{
    return MakeAndQuery<CWbemEnumerator>(IID_IEnumWbemClassObject, reinterpret_cast<void**>(out), std::move(instances));
}

}  // namespace platform::detail
