// The COM runtime: apartments, object creation through the in-process class table, task memory.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

enum CLSCTX : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_ALL = 0x17,
};

enum COINIT : DWORD {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
};

// Enters the calling thread into an apartment. S_OK for the first call on a thread, S_FALSE for a
// repeated call of the same model, RPC_E_CHANGED_MODE when the thread is in the other model.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// Balances one successful CoInitializeEx on the calling thread.
void CoUninitialize();

// Makes an object of a registered in-process class. REGDB_E_CLASSNOTREG for an unknown class;
// CLASS_E_NOAGGREGATION when an outer object is given.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);

LPVOID CoTaskMemAlloc(SIZE_T cb);
void CoTaskMemFree(LPVOID pv);
PLATFORM_API_END
