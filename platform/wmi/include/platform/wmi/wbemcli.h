// WMI client interfaces: the locator, a namespace's services, a query's enumerator and one
// instance's properties. Each interface carries the methods this system calls, in that order.
//
//   CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, ...);
//   locator->ConnectServer(namespaceBstr /* "ROOT\WMI" */, ...)    -> IWbemServices
//   services->ExecQuery(wqlBstr, queryBstr /* "SELECT * FROM <class>" */, ...)
//                                                                -> IEnumWbemClassObject
//   enumerator->Next(WBEM_INFINITE, 1, &object, &returned)       -> IWbemClassObject
//   object->Get(u"Temperature", 0, &value, nullptr, nullptr)
//
// Names and query texts are read up to their first NUL, so plain strings work where a BSTR is
// named.
//
// The only namespace is "ROOT\WMI" (matched without regard to case); its instances come from the
// simulated machine. A query takes a snapshot of the class's instances; later changes do not
// reach it. The methods are checked calls: "IWbemLocator::ConnectServer",
// "IWbemServices::ExecQuery", "IEnumWbemClassObject::Next" and "IWbemClassObject::Get" (which
// also takes the property name as qualifier, e.g. "IWbemClassObject::Get:Temperature"), all with
// the natural error WBEM_E_FAILED.
//
// Thread safety: every object may be used from any thread; one enumerator hands each instance out
// once, also when threads share it.
#pragma once

#include "platform/export.h"
#include "platform/com/oleauto.h"

PLATFORM_API_BEGIN

using CIMTYPE = LONG;

inline constexpr HRESULT WBEM_S_NO_ERROR = 0;
inline constexpr HRESULT WBEM_S_FALSE = 1;
inline constexpr HRESULT WBEM_S_TIMEDOUT = 0x40004;
inline constexpr HRESULT WBEM_E_FAILED = MakeHresult(0x80041001);
inline constexpr HRESULT WBEM_E_NOT_FOUND = MakeHresult(0x80041002);
inline constexpr HRESULT WBEM_E_OUT_OF_MEMORY = MakeHresult(0x80041006);
inline constexpr HRESULT WBEM_E_INVALID_PARAMETER = MakeHresult(0x80041008);
inline constexpr HRESULT WBEM_E_INVALID_NAMESPACE = MakeHresult(0x8004100E);
inline constexpr HRESULT WBEM_E_INVALID_CLASS = MakeHresult(0x80041010);
inline constexpr HRESULT WBEM_E_INVALID_QUERY = MakeHresult(0x80041017);
inline constexpr HRESULT WBEM_E_INVALID_QUERY_TYPE = MakeHresult(0x80041018);

inline constexpr LONG WBEM_FLAG_RETURN_IMMEDIATELY = 0x10;
inline constexpr LONG WBEM_FLAG_FORWARD_ONLY = 0x20;
inline constexpr LONG WBEM_INFINITE = -1;  // 0xFFFFFFFF as a time-out

// The CIM type of a property as Get reports it.
enum CIMTYPE_ENUMERATION : CIMTYPE {
    CIM_EMPTY = 0,
    CIM_SINT16 = 2,
    CIM_SINT32 = 3,
    CIM_REAL32 = 4,
    CIM_REAL64 = 5,
    CIM_STRING = 8,
    CIM_BOOLEAN = 11,
    CIM_SINT8 = 16,
    CIM_UINT8 = 17,
    CIM_UINT16 = 18,
    CIM_UINT32 = 19,
    CIM_SINT64 = 20,
    CIM_UINT64 = 21,
};

// The origin of a property as Get reports it: instances of this namespace own their values.
inline constexpr LONG WBEM_FLAVOR_ORIGIN_LOCAL = 0;

// A call context; this system never passes one, the methods ignore it.
struct IWbemContext;

struct IWbemClassObject : IUnknown {
    using base_interface = IUnknown;
    // Copies the named property (name matched without regard to case) into *pVal, which is
    // overwritten: clear it before reuse. Type and flavour are optional outputs. WBEM_E_NOT_FOUND
    // for a missing property and WBEM_E_INVALID_PARAMETER for a null name or non-zero flags, both
    // leaving *pVal untouched; WBEM_E_OUT_OF_MEMORY when a string cannot be copied.
    virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                          LONG* plFlavor) = 0;

protected:
    ~IWbemClassObject() = default;
};
PLATFORM_INTERFACE_ID(IWbemClassObject, "DC12A681-737F-11CF-884D-00AA004B2E24");

struct IEnumWbemClassObject : IUnknown {
    using base_interface = IUnknown;
    // Hands out up to uCount instances into apObjects (each one reference for the caller) and
    // their number in *puReturned. WBEM_S_NO_ERROR when uCount were returned, WBEM_S_FALSE when
    // the enumeration ended first, WBEM_S_TIMEDOUT when lTimeout milliseconds (WBEM_INFINITE for
    // none) passed while the simulated machine held its reads. WBEM_E_INVALID_PARAMETER for null
    // outputs, a count of 0 or a negative time-out other than WBEM_INFINITE.
    virtual HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                           ULONG* puReturned) = 0;

protected:
    ~IEnumWbemClassObject() = default;
};
PLATFORM_INTERFACE_ID(IEnumWbemClassObject, "027947E1-D731-11CE-A357-000000000001");

struct IWbemServices : IUnknown {
    using base_interface = IUnknown;
    // Runs "SELECT * FROM <class>" (keywords and class matched without regard to case) in the
    // language "WQL". WBEM_E_INVALID_QUERY_TYPE for another language, WBEM_E_INVALID_QUERY for
    // any other query text, WBEM_E_INVALID_CLASS for a class the namespace does not have,
    // WBEM_E_INVALID_PARAMETER for a null argument.
    virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                                IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) = 0;

protected:
    ~IWbemServices() = default;
};
PLATFORM_INTERFACE_ID(IWbemServices, "9556DC99-828C-11CF-A37E-00AA003240C7");

struct IWbemLocator : IUnknown {
    using base_interface = IUnknown;
    // Connects to a namespace of the local machine. WBEM_E_INVALID_NAMESPACE for any namespace but
    // "ROOT\WMI", WBEM_E_INVALID_PARAMETER for a null namespace or output. User, password, locale,
    // authority and context are not used.
    virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                                    const BSTR strPassword, const BSTR strLocale, LONG lSecurityFlags,
                                                    const BSTR strAuthority, IWbemContext* pCtx,
                                                    IWbemServices** ppNamespace) = 0;

protected:
    ~IWbemLocator() = default;
};
PLATFORM_INTERFACE_ID(IWbemLocator, "DC12A687-737F-11CF-884D-00AA004B2E24");

inline constexpr CLSID CLSID_WbemLocator = platform::MakeGuid("{4590F811-1D3A-11D0-891F-00AA004B2E24}");
inline constexpr const IID& IID_IWbemLocator = __uuidof(IWbemLocator);
inline constexpr const IID& IID_IWbemServices = __uuidof(IWbemServices);
inline constexpr const IID& IID_IEnumWbemClassObject = __uuidof(IEnumWbemClassObject);
inline constexpr const IID& IID_IWbemClassObject = __uuidof(IWbemClassObject);
PLATFORM_API_END
