// The WMI locator: the built-in class CLSID_WbemLocator, and its connection to a namespace.
#include "com/class_table.h"
#include "core/fault_injection.h"
#include "platform/com/com_object.h"
#include "wmi/repository.h"

namespace platform::detail {
namespace {

constexpr std::u16string_view kNamespace = u"ROOT\\WMI";

class CWbemLocator final : public ComObject<CWbemLocator, IWbemLocator>, private CountedWmiObject {
public:
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR, const BSTR, const BSTR, LONG,
                                            const BSTR, IWbemContext*, IWbemServices** ppNamespace) override
    {
        if (ppNamespace == nullptr) return WBEM_E_INVALID_PARAMETER;
        *ppNamespace = nullptr;
        if (strNetworkResource == nullptr) return WBEM_E_INVALID_PARAMETER;
        if (const auto error = CheckFault("IWbemLocator::ConnectServer", static_cast<std::uint32_t>(WBEM_E_FAILED))) {
            return static_cast<HRESULT>(*error);
        }
        if (!EqualsIgnoringCase(ViewOf(strNetworkResource), kNamespace)) return WBEM_E_INVALID_NAMESPACE;
        return CreateWbemServices(ppNamespace);
    }
};

const BuiltinClass kWbemLocator{CLSID_WbemLocator,
                                [](REFIID riid, void** ppv) { return MakeAndQuery<CWbemLocator>(riid, ppv); }};

}  // namespace
}  // namespace platform::detail
