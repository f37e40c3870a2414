// Values-set helpers shared by the class extension and the client of the sensor protocol.
#include "transport/protocol_values.h"

#include "platform/com/runtime.h"

namespace platform::detail {

HRESULT NewValues(ComPtr<IPortableDeviceValues>* out)
{
    return CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                            reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
}

HRESULT NewKeys(ComPtr<IPortableDeviceKeyCollection>* out)
{
    return CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IPortableDeviceKeyCollection, reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
}

HRESULT AddKeysAsEmptyValues(IPortableDeviceKeyCollection* keys, IPortableDeviceValues* target)
{
    DWORD count = 0;
    RETURN_IF_FAILED(keys->GetCount(&count));
    const PROPVARIANT empty{};
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        RETURN_IF_FAILED(keys->GetAt(i, &key));
        PROPVARIANT present{};
        if (SUCCEEDED(target->GetValue(key, &present))) {
            PropVariantClear(&present);
            continue;
        }
        RETURN_IF_FAILED(target->SetValue(key, &empty));
    }
    return S_OK;
}

HRESULT KeysOfValues(IPortableDeviceValues* values, ComPtr<IPortableDeviceKeyCollection>* out)
{
    ComPtr<IPortableDeviceKeyCollection> keys;
    RETURN_IF_FAILED(NewKeys(&keys));
    DWORD count = 0;
    RETURN_IF_FAILED(values->GetCount(&count));
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        RETURN_IF_FAILED(values->GetAt(i, &key, nullptr));
        RETURN_IF_FAILED(keys->Add(key));
    }
    *out = std::move(keys);
    return S_OK;
}

HRESULT MissingFieldAs(HRESULT hr, HRESULT malformed)
{
    return hr == E_OUTOFMEMORY ? hr : malformed;
}

}  // namespace platform::detail
