// One instance as a client reads it: its properties by name.
#include <new>
#include <string>

#include "core/fault_injection.h"
#include "platform/com/com_object.h"
#include "wmi/repository.h"

namespace platform::detail {
namespace {

CIMTYPE CimTypeOf(VARTYPE vt)
{
    switch (vt) {
        case VT_I1:
            return CIM_SINT8;
        case VT_UI1:
            return CIM_UINT8;
        case VT_I2:
            return CIM_SINT16;
        case VT_UI2:
            return CIM_UINT16;
        case VT_I4:
        case VT_INT:
            return CIM_SINT32;
        case VT_UI4:
        case VT_UINT:
            return CIM_UINT32;
        case VT_I8:
            return CIM_SINT64;
        case VT_UI8:
            return CIM_UINT64;
        case VT_R4:
            return CIM_REAL32;
        case VT_R8:
            return CIM_REAL64;
        case VT_BOOL:
            return CIM_BOOLEAN;
        case VT_BSTR:
            return CIM_STRING;
        default:
            return CIM_EMPTY;
    }
}

// The property name as a fault qualifier: ASCII as it is, anything else as '?'.
std::string QualifierOf(std::u16string_view name)
{
    std::string text;
    for (const char16_t c : name) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return text;
}

class CWbemClassObject final : public ComObject<CWbemClassObject, IWbemClassObject>, private CountedWmiObject {
public:
    explicit CWbemClassObject(WmiInstanceRef instance) : m_instance(std::move(instance)) {}

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override
    {
        if (wszName == nullptr || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
        const std::u16string_view name = ViewOf(wszName);
        try {
            if (const auto error =
                    CheckFault("IWbemClassObject::Get", static_cast<std::uint32_t>(WBEM_E_FAILED), QualifierOf(name))) {
                return static_cast<HRESULT>(*error);
            }
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
        for (const auto& property : m_instance->properties) {
            if (!EqualsIgnoringCase(property.name, name)) continue;
            if (pVal != nullptr) {
                VARIANT copy;
                if (FAILED(property.value.CopyTo(&copy))) return WBEM_E_OUT_OF_MEMORY;
                *pVal = copy;
            }
            if (pType != nullptr) *pType = CimTypeOf(property.value.Type());
            if (plFlavor != nullptr) *plFlavor = WBEM_FLAVOR_ORIGIN_LOCAL;
            return WBEM_S_NO_ERROR;
        }
        return WBEM_E_NOT_FOUND;
    }

private:
    const WmiInstanceRef m_instance;  // never changed, shared with snapshots
};

}  // namespace

HRESULT CreateWbemClassObject(WmiInstanceRef instance, IWbemClassObject** out)
{
    return MakeAndQuery<CWbemClassObject>(IID_IWbemClassObject, reinterpret_cast<void**>(out), std::move(instance));
}

}  // namespace platform::detail
