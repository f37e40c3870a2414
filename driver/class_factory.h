// The class factory of one driver class: makes its objects and locks the module in memory.
//
// The module caches one factory and holds one reference to it. The factory counts on the module
// only while someone else holds it too: when its reference count rises from 1 to 2 it takes a
// module count, and gives it back when the count falls to 1.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include "platform/com/com_object.h"

class CClassFactory final : public platform::ComObject<CClassFactory, IClassFactory> {
public:
    // Makes the objects of a class: (outer, IID, out) -> HRESULT.
    using CreateInstanceFunction = HRESULT (*)(IUnknown* pUnkOuter, REFIID riid, void** ppv);

    static HRESULT Create(CreateInstanceFunction pfnCreateInstance, REFIID riid, void** ppv);

    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

private:
    friend class platform::ComObject<CClassFactory, IClassFactory>;
    template <class T, class... Args>
    friend HRESULT platform::MakeAndQuery(REFIID riid, void** ppv, Args&&... args);

    explicit CClassFactory(CreateInstanceFunction pfnCreateInstance) : m_pfnCreateInstance(pfnCreateInstance) {}
    ~CClassFactory() = default;

    CreateInstanceFunction m_pfnCreateInstance;
};
