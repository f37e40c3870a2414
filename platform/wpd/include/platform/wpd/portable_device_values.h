// The portable-device collections: values sets, key collections and values collections. Keys and
// values cross the sensor class extension's boundary in them. Each is a built-in class made by
// CoCreateInstance (CLSCTX_INPROC_SERVER):
//
//   ComPtr<IPortableDeviceValues> values;
//   CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER,
//                    IID_IPortableDeviceValues, reinterpret_cast<void**>(values.GetAddressOf()));
//   values->SetUnsignedIntegerValue(SENSOR_PROPERTY_STATE, 1);
//
// Ownership: a values set keeps its own copy of every value it is given (PropVariantCopy; an
// IUnknown value, nested values sets included, is held by one reference, not duplicated). Every
// value, string or interface it hands out is the caller's: clear a PROPVARIANT with
// PropVariantClear, free a string with CoTaskMemFree, release an interface. A values collection
// holds one reference to each values set added to it and hands out added references.
//
// Results common to all three: E_POINTER for a null pointer argument; E_INVALIDARG for an index
// at or past the count; E_OUTOFMEMORY when memory for an operation cannot be had, and the
// collection is then unchanged. On failure an out PROPVARIANT is VT_EMPTY and an out pointer is
// null; out numbers are left as they were.
//
// A values set keeps its entries in the order their keys were first set; setting a key that is
// there already replaces its value in place. Reading a key that is not there gives
// HRESULT_FROM_WIN32(ERROR_NOT_FOUND). A typed getter answers only for a value of its own type
// (no conversion); any other type gives DISP_E_TYPEMISMATCH:
//
//   String              VT_LPWSTR       SignedInteger   VT_I4      Error      VT_ERROR
//   UnsignedInteger     VT_UI4          Float           VT_R4      Bool       VT_BOOL
//   Guid                VT_CLSID        IUnknown        VT_UNKNOWN
//   IPortableDeviceValues  VT_UNKNOWN whose object answers IPortableDeviceValues
//
// A stored value always holds what its type promises: SetValue refuses VT_LPWSTR, VT_CLSID and
// VT_UNKNOWN values with a null pointer (E_INVALIDARG), and any type that PropVariantCopy does
// not handle (DISP_E_BADVARTYPE).
//
// Fault points (platform_testing/faults.h; each fails with E_OUTOFMEMORY unless the test chooses
// another error, and leaves the collection unchanged). The operations of a values set that take a
// key are qualified by it, "{GUID} pid", so that one key's uses can be failed alone
// (platform::testing::CollectionFault in platform_testing/wpd.h builds the name):
//   "IPortableDeviceValues::GetCount"
//   "IPortableDeviceValues::GetAt"            qualified by the key at the index
//   "IPortableDeviceValues::GetValue"         GetValue and every typed getter
//   "IPortableDeviceValues::SetValue"         SetValue and every typed setter
//   "IPortableDeviceValues::Clear"
//   "IPortableDeviceKeyCollection::GetCount", "::GetAt", "::Add" (qualified by the key), "::Clear"
//   "IPortableDeviceValuesCollection::GetCount", "::GetAt", "::Add", "::Clear"
// Creation fails through "CoCreateInstance:{class}", like every class.
//
// Thread safety: every operation may be called from any thread; each object guards its entries
// with its own lock, which is never held while a value is copied in, an interface is asked for,
// or a released value is destroyed.
#pragma once

#include "platform/export.h"
#include "platform/com/propkey.h"
#include "platform/com/propvariant.h"

PLATFORM_API_BEGIN

// An ordered list of keys; the same key may appear more than once.
struct IPortableDeviceKeyCollection : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* pcElems) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAt(DWORD dwIndex, PROPERTYKEY* pKey) = 0;
    // Appends the key.
    virtual HRESULT STDMETHODCALLTYPE Add(REFPROPERTYKEY Key) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveAt(DWORD dwIndex) = 0;

protected:
    ~IPortableDeviceKeyCollection() = default;
};
PLATFORM_INTERFACE_ID(IPortableDeviceKeyCollection, "DADA2357-E0AD-492E-98DB-DD61C53BA353");

// A set of values by key, in first-insertion order.
struct IPortableDeviceValues : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* pcelt) = 0;
    // The key and a copy of the value at an index; either out-parameter may be null, not both.
    virtual HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* pKey, PROPVARIANT* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, const PROPVARIANT* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStringValue(REFPROPERTYKEY key, LPCWSTR Value) = 0;
    // The text in task memory (CoTaskMemAlloc).
    virtual HRESULT STDMETHODCALLTYPE GetStringValue(REFPROPERTYKEY key, LPWSTR* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetUnsignedIntegerValue(REFPROPERTYKEY key, ULONG Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetUnsignedIntegerValue(REFPROPERTYKEY key, ULONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSignedIntegerValue(REFPROPERTYKEY key, LONG Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSignedIntegerValue(REFPROPERTYKEY key, LONG* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetFloatValue(REFPROPERTYKEY key, FLOAT Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFloatValue(REFPROPERTYKEY key, FLOAT* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetErrorValue(REFPROPERTYKEY key, HRESULT Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorValue(REFPROPERTYKEY key, HRESULT* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBoolValue(REFPROPERTYKEY key, BOOL Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBoolValue(REFPROPERTYKEY key, BOOL* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetIUnknownValue(REFPROPERTYKEY key, IUnknown* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIUnknownValue(REFPROPERTYKEY key, IUnknown** ppValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetGuidValue(REFPROPERTYKEY key, REFGUID Value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetGuidValue(REFPROPERTYKEY key, GUID* pValue) = 0;
    // Stored as VT_UNKNOWN, by reference.
    virtual HRESULT STDMETHODCALLTYPE SetIPortableDeviceValuesValue(REFPROPERTYKEY key,
                                                                    IPortableDeviceValues* pValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIPortableDeviceValuesValue(REFPROPERTYKEY key,
                                                                    IPortableDeviceValues** ppValue) = 0;
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when the key is not there.
    virtual HRESULT STDMETHODCALLTYPE RemoveValue(REFPROPERTYKEY key) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clear() = 0;

protected:
    ~IPortableDeviceValues() = default;
};
PLATFORM_INTERFACE_ID(IPortableDeviceValues, "6848F6F2-3155-4F86-B6F5-263EEEAB3143");

// An ordered list of values sets, held by reference.
struct IPortableDeviceValuesCollection : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* pcElems) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAt(DWORD dwIndex, IPortableDeviceValues** ppValues) = 0;
    // Appends the set and takes a reference to it.
    virtual HRESULT STDMETHODCALLTYPE Add(IPortableDeviceValues* pValues) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveAt(DWORD dwIndex) = 0;

protected:
    ~IPortableDeviceValuesCollection() = default;
};
PLATFORM_INTERFACE_ID(IPortableDeviceValuesCollection, "6E3F2D79-4E07-48C4-8208-D8C2E5AF4A99");

inline constexpr const IID& IID_IPortableDeviceValues = __uuidof(IPortableDeviceValues);
inline constexpr const IID& IID_IPortableDeviceKeyCollection = __uuidof(IPortableDeviceKeyCollection);
inline constexpr const IID& IID_IPortableDeviceValuesCollection = __uuidof(IPortableDeviceValuesCollection);

inline constexpr CLSID CLSID_PortableDeviceValues = platform::MakeGuid("{0C15D503-D017-47CE-9016-7B3F978721CC}");
inline constexpr CLSID CLSID_PortableDeviceKeyCollection = platform::MakeGuid("{DE2D022D-2480-43BE-97F0-D1FA2CF98F4F}");
inline constexpr CLSID CLSID_PortableDeviceValuesCollection =
    platform::MakeGuid("{3882134D-14CF-4220-9CB4-435F86D83F60}");
PLATFORM_API_END
