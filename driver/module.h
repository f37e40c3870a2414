// The module object: what the host sees of the library before any driver object exists.
//
// It keeps the object map with its one entry (the driver class and its cached class factory) and
// the factory lock that makes the first creation of the factory safe, and answers the unload query
// from the module's lock count (base/module_reference.h). The module's entry points
// (module_exports.cpp) call it.
//
// Thread safety: the cached factory is created under the factory lock and read atomically. DllMain
// runs under the loader's serialisation and never beside another entry point of the module.
#pragma once

#include <atomic>

#include "platform/com/unknown.h"
#include "platform/kernel/critical_section.h"

class CDriverModule {
public:
    // Initialises the factory lock; a failure sets init failed, so that attach refuses the load.
    CDriverModule();
    ~CDriverModule();
    CDriverModule(const CDriverModule&) = delete;
    CDriverModule& operator=(const CDriverModule&) = delete;

    BOOL DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
    HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
    HRESULT DllCanUnloadNow() const;
    HRESULT DllRegisterServer();
    HRESULT DllUnregisterServer();

private:
    // One class of the module and its class factory, cached once made.
    struct ObjectMapEntry {
        const CLSID* pclsid;
        HRESULT (*pfnCreateClassFactory)(REFIID riid, void** ppv);
        std::atomic<PVOID> pEncodedClassFactory;  // EncodePointer of an IUnknown*, or null
    };

    // Module term at detach: releases the cached class factories, deletes the factory lock and
    // marks the module uninitialised.
    void Term();

    ObjectMapEntry m_objectMap[1];
    CRITICAL_SECTION m_csFactory{};
    LONG m_lInitialized = 0;  // written at load and at detach only
    bool m_fInitFailed = false;
};

// The module object of this library.
extern CDriverModule g_Module;
