// The driver module loader: loads a driver module the way the host framework does, and hands out
// its class objects.
//
//   auto loaded = platform::host::DriverModule::Load(path);
//   if (loaded.status != platform::host::ModuleLoadStatus::kLoaded) report(loaded.message);
//   loaded.module->GetClassObject(CLSID_Driver, IID_IClassFactory, &factory);
//   ...                                   // release every object of the module, then
//   loaded.module->CanUnloadNow();        //   S_OK
//   loaded.module->Unload();              // DllMain(DLL_PROCESS_DETACH), then the library goes
//
// Load opens the library (its static objects are constructed), resolves the exports, checks the
// framework-version record and calls DllMain(DLL_PROCESS_ATTACH); when that returns FALSE it calls
// DllMain(DLL_PROCESS_DETACH), as the system loader does, and unloads the library. Unload calls
// DllMain(DLL_PROCESS_DETACH) and then closes the library, which destroys its static objects. A
// module is loaded at most once at a time in a process.
//
// Ownership: the DriverModule owns the loaded library. The caller must release every object it
// got from the module before Unload (CanUnloadNow tells whether it has).
//
// Thread safety: DllMain calls are serialised across the process. GetClassObject and CanUnloadNow
// may be called from any thread while the module is loaded; Unload must not run beside them.
#pragma once

#include <memory>
#include <string>

#include "platform/com/unknown.h"
#include "platform/wdf/module_exports.h"

namespace platform::host {

enum class ModuleLoadStatus {
    kLoaded,
    kOpenFailed,       // no such file, or not a loadable library
    kMissingExport,    // an entry point or the version record is missing
    kVersionMismatch,  // built for a framework version this host does not run
    kAlreadyLoaded,    // the library is loaded already
    kAttachFailed,     // DllMain(DLL_PROCESS_ATTACH) returned FALSE
};

const char* ToString(ModuleLoadStatus status);

class DriverModule;

struct ModuleLoadResult {
    ModuleLoadStatus status = ModuleLoadStatus::kOpenFailed;
    std::string message;                   // what went wrong, for people; empty when loaded
    std::unique_ptr<DriverModule> module;  // set when loaded
};

class DriverModule {
public:
    static ModuleLoadResult Load(const std::string& path);

    // Unloads the module if that has not been done.
    ~DriverModule();
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    // DllGetClassObject; E_UNEXPECTED (with *ppv null) once the module is unloaded.
    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const;
    // DllCanUnloadNow; S_OK once the module is unloaded.
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;

    // DllMain(DLL_PROCESS_DETACH), then the library is closed. Returns what DllMain returned, or
    // TRUE when the module was unloaded already.
    BOOL Unload();

    bool IsLoaded() const { return m_library != nullptr; }
    const std::string& Path() const { return m_path; }
    const UMDF_VERSION_DATA& Version() const { return m_version; }

private:
    DriverModule() = default;

    std::string m_path;
    void* m_library = nullptr;
    UMDF_VERSION_DATA m_version{};
    PFN_DLLMAIN m_dllMain = nullptr;
    PFN_DLLGETCLASSOBJECT m_dllGetClassObject = nullptr;
    PFN_DLLCANUNLOADNOW m_dllCanUnloadNow = nullptr;
    PFN_DLLREGISTERSERVER m_dllRegisterServer = nullptr;
    PFN_DLLUNREGISTERSERVER m_dllUnregisterServer = nullptr;
};

}  // namespace platform::host
