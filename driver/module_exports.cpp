// The module's exports: the entry points the host resolves by name, and the framework-version
// record. Each hands the call to the module object.
#include "platform/wdf/module_exports.h"

#include <type_traits>

#include "driver/module.h"
#include "platform/kernel/module.h"

#define MODULE_EXPORT __attribute__((visibility("default")))

extern "C" {
MODULE_EXPORT extern const UMDF_VERSION_DATA Microsoft_WDF_UMDF_Version;
MODULE_EXPORT BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
MODULE_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
MODULE_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow();
MODULE_EXPORT HRESULT STDMETHODCALLTYPE DllRegisterServer();
MODULE_EXPORT HRESULT STDMETHODCALLTYPE DllUnregisterServer();
}

const UMDF_VERSION_DATA Microsoft_WDF_UMDF_Version = {1, 11, nullptr};

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    return g_Module.DllMain(hInstance, dwReason, lpReserved);
}

HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return g_Module.DllGetClassObject(rclsid, riid, ppv);
}

HRESULT STDMETHODCALLTYPE DllCanUnloadNow()
{
    return g_Module.DllCanUnloadNow();
}

HRESULT STDMETHODCALLTYPE DllRegisterServer()
{
    return g_Module.DllRegisterServer();
}

HRESULT STDMETHODCALLTYPE DllUnregisterServer()
{
    return g_Module.DllUnregisterServer();
}

// The exports must keep the shapes the host resolves them with.
static_assert(std::is_same_v<decltype(&DllMain), PFN_DLLMAIN>);
static_assert(std::is_same_v<decltype(&DllGetClassObject), PFN_DLLGETCLASSOBJECT>);
static_assert(std::is_same_v<decltype(&DllCanUnloadNow), PFN_DLLCANUNLOADNOW>);
static_assert(std::is_same_v<decltype(&DllRegisterServer), PFN_DLLREGISTERSERVER>);
static_assert(std::is_same_v<decltype(&DllUnregisterServer), PFN_DLLUNREGISTERSERVER>);
