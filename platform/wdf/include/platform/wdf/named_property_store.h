// The device's named property store: values kept by name, persisted by the host.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

struct PROPVARIANT;

struct IWDFNamedPropertyStore : IUnknown {
    using base_interface = IUnknown;
    // Copies the named value into *pv, which the caller owns and clears.
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when the store holds no value of that name.
    virtual HRESULT STDMETHODCALLTYPE GetNamedValue(PCWSTR pszName, PROPVARIANT* pv) = 0;
    // Stores a copy of the value under the name.
    virtual HRESULT STDMETHODCALLTYPE SetNamedValue(PCWSTR pszName, const PROPVARIANT* pv) = 0;

protected:
    ~IWDFNamedPropertyStore() = default;
};
PLATFORM_INTERFACE_ID(IWDFNamedPropertyStore, "550727B6-B1E0-460E-88B1-53FD46CF47A8");
PLATFORM_API_END
