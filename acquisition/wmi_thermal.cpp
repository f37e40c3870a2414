#include "acquisition/wmi_thermal.h"

#include <string_view>

#include "base/scope_timer.h"
#include "base/trace.h"
#include "platform/com/oleauto.h"
#include "platform/com/runtime.h"
#include "platform/com/security.h"

TRACE_COMPONENT("{F1CA55E1-B23E-4A2D-8B1D-8AA735452167}");

using platform::ComPtr;

namespace {

constexpr WCHAR kNamespace[] = u"ROOT\\WMI";
constexpr WCHAR kQueryLanguage[] = u"WQL";
constexpr WCHAR kQuery[] = u"SELECT * FROM ThermalTemperature";
constexpr WCHAR kInstanceNameProperty[] = u"InstanceName";
constexpr WCHAR kTemperatureProperty[] = u"Temperature";
constexpr WCHAR kInstancePattern[] = u"ACPI\\PNP0C14\\0_0";

// A BSTR made for one use and freed when the scope of that use ends.
class CBstr {
public:
    explicit CBstr(const WCHAR* text) : m_bstr(SysAllocString(text)) {}
    ~CBstr() { SysFreeString(m_bstr); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;

    BSTR Get() const { return m_bstr; }
    explicit operator bool() const { return m_bstr != nullptr; }

private:
    BSTR m_bstr;
};

// A VARIANT that is cleared on every way out.
class CScopedVariant {
public:
    CScopedVariant() { VariantInit(&m_value); }
    ~CScopedVariant() { VariantClear(&m_value); }
    CScopedVariant(const CScopedVariant&) = delete;
    CScopedVariant& operator=(const CScopedVariant&) = delete;

    VARIANT* Get() { return &m_value; }
    void Clear() { VariantClear(&m_value); }

private:
    VARIANT m_value;
};

// True when the instance name is a string that contains the pattern (case-sensitive).
bool InstanceNameMatches(const VARIANT& instanceName, BSTR pattern)
{
    if (instanceName.vt != VT_BSTR || instanceName.bstrVal == nullptr) return false;
    const std::u16string_view name(instanceName.bstrVal, SysStringLen(instanceName.bstrVal));
    return name.find(std::u16string_view(pattern, SysStringLen(pattern))) != std::u16string_view::npos;
}

}  // namespace

int CWmiThermal::InitComComponent()
{
    CScopeTimer timer("CWmiThermal::InitComComponent()");

    // Starts from scratch; anything a previous init left behind is released here.
    m_pLocator = nullptr;
    m_pServices = nullptr;
    m_fInitialized = 0;

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
        TRACE_ERROR(10, hr);
        return 0;
    }
    // The thread keeps the model it already had; only an apartment entered here is left later.
    m_fForeignApartment = hr == RPC_E_CHANGED_MODE ? 1 : 0;

    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                              nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) {  // RPC_E_TOO_LATE: the process's security is already set
        TRACE_ERROR(11, hr);
        return 0;
    }

    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<LPVOID*>(m_pLocator.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
        TRACE_ERROR(12, hr);
        m_pLocator = nullptr;
        return 0;
    }

    {
        CBstr bstrNamespace(kNamespace);
        if (!bstrNamespace) {
            TRACE_ERROR(13);
            m_pLocator = nullptr;
            return 0;
        }
        hr = m_pLocator->ConnectServer(bstrNamespace.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                       m_pServices.ReleaseAndGetAddressOf());
    }
    if (FAILED(hr)) {
        TRACE_ERROR(14, hr);
        m_pServices = nullptr;
        m_pLocator = nullptr;
        return 0;
    }

    hr = CoSetProxyBlanket(m_pServices.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        TRACE_ERROR(15, hr);
        m_pServices = nullptr;
        m_pLocator = nullptr;
        return 0;
    }

    if (m_pLocator && m_pServices) m_fInitialized = 1;
    return 1;
}

int CWmiThermal::DeinitComComponent()
{
    CScopeTimer timer("CWmiThermal::DeinitComComponent()");

    m_pServices = nullptr;
    m_pLocator = nullptr;
    if (m_fInitialized == 1 && m_fForeignApartment == 0) CoUninitialize();
    m_fInitialized = 0;
    return 1;
}

int CWmiThermal::GetSensorVoltage(int* iVoltage)
{
    CScopeTimer timer("CWmiThermal::GetSensorVoltage(int *iVoltage)");

    if (m_fInitialized == 0) {
        TRACE_ERROR(20);
        return 0;
    }
    if (!m_pLocator || !m_pServices) {
        TRACE_ERROR(21);
        return 0;
    }
    if (iVoltage == nullptr) {
        TRACE_ERROR(22);
        return 0;
    }

    // Each read runs its own query; nothing is kept from one read to the next.
    ComPtr<IEnumWbemClassObject> pEnumerator;
    HRESULT hr = S_OK;
    {
        CBstr bstrLanguage(kQueryLanguage);
        CBstr bstrQuery(kQuery);
        if (!bstrLanguage || !bstrQuery) {
            TRACE_ERROR(23);
            return 0;
        }
        hr = m_pServices->ExecQuery(bstrLanguage.Get(), bstrQuery.Get(),
                                    WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                    pEnumerator.ReleaseAndGetAddressOf());
    }
    if (FAILED(hr)) {
        TRACE_ERROR(24, hr);
        return 0;
    }

    // The first instance whose name contains the pattern wins; the ones before it are skipped.
    ComPtr<IWbemClassObject> pclsObj;
    ULONG uReturn = 0;
    CScopedVariant vtProp;
    for (;;) {
        pEnumerator->Next(WBEM_INFINITE, 1, pclsObj.ReleaseAndGetAddressOf(), &uReturn);
        if (uReturn == 0 || !pclsObj) {
            TRACE_VERBOSE(25);
            return 0;
        }
        {
            CBstr bstrName(kInstanceNameProperty);
            if (!bstrName) {
                TRACE_ERROR(26);
                return 0;
            }
            vtProp.Clear();
            pclsObj->Get(bstrName.Get(), 0, vtProp.Get(), nullptr, nullptr);
        }
        {
            CBstr bstrPattern(kInstancePattern);
            if (!bstrPattern) {
                TRACE_ERROR(26);
                return 0;
            }
            if (InstanceNameMatches(*vtProp.Get(), bstrPattern.Get())) break;
        }
        TRACE_VERBOSE(27);
        vtProp.Clear();
        pclsObj = nullptr;
    }

    vtProp.Clear();
    {
        CBstr bstrName(kTemperatureProperty);
        if (!bstrName) {
            TRACE_ERROR(26);
            return 0;
        }
        hr = pclsObj->Get(bstrName.Get(), 0, vtProp.Get(), nullptr, nullptr);
    }
    if (FAILED(hr)) {
        TRACE_VERBOSE(28, hr);
        return 0;
    }

    // Only a 32-bit signed integer is a sensor value; it goes on unchanged.
    if (vtProp.Get()->vt != VT_I4) {
        TRACE_VERBOSE(29, uReturn, static_cast<ULONG>(vtProp.Get()->vt));
        return 0;
    }
    *iVoltage = vtProp.Get()->lVal;
    return 1;
}
