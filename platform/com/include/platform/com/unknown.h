// IUnknown and IClassFactory: the base of every interface that crosses a component boundary.
#pragma once

#include <type_traits>

#include "platform/export.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"

PLATFORM_API_BEGIN

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    // Objects are destroyed through Release, never through an interface pointer.
    ~IUnknown() = default;
};
PLATFORM_INTERFACE_ID(IUnknown, "00000000-0000-0000-C000-000000000046");

struct IClassFactory : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};
PLATFORM_INTERFACE_ID(IClassFactory, "00000001-0000-0000-C000-000000000046");

inline constexpr const IID& IID_IUnknown = __uuidof(IUnknown);
inline constexpr const IID& IID_IClassFactory = __uuidof(IClassFactory);
PLATFORM_API_END
