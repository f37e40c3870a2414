#include "host/driver_module.h"

#include <dlfcn.h>

#include <mutex>
#include <set>
#include <utility>

#include "platform/kernel/module.h"

namespace platform::host {
namespace {

// The loader's serialisation: every DllMain call, and the record of loaded libraries.
std::mutex& LoaderLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

// Libraries loaded and attached, by their dlopen handle; guarded by LoaderLock().
std::set<void*>& LoadedLibraries()
{
    static auto* libraries = new std::set<void*>;
    return *libraries;
}

std::string LastDlError()
{
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

ModuleLoadResult Failure(ModuleLoadStatus status, std::string message)
{
    ModuleLoadResult result;
    result.status = status;
    result.message = std::move(message);
    return result;
}

template <class Function>
bool Resolve(void* library, const char* name, Function* out, std::string* error)
{
    dlerror();
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        *error = std::string("does not export ") + name + ": " + LastDlError();
        return false;
    }
    *out = reinterpret_cast<Function>(symbol);
    return true;
}

}  // namespace

const char* ToString(ModuleLoadStatus status)
{
    switch (status) {
        case ModuleLoadStatus::kLoaded:
            return "loaded";
        case ModuleLoadStatus::kOpenFailed:
            return "cannot be opened";
        case ModuleLoadStatus::kMissingExport:
            return "missing export";
        case ModuleLoadStatus::kVersionMismatch:
            return "framework version not supported";
        case ModuleLoadStatus::kAlreadyLoaded:
            return "already loaded";
        case ModuleLoadStatus::kAttachFailed:
            return "attach failed";
    }
    return "unknown";
}

ModuleLoadResult DriverModule::Load(const std::string& path)
{
    std::lock_guard loader(LoaderLock());

    dlerror();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return Failure(ModuleLoadStatus::kOpenFailed, "cannot load " + path + ": " + LastDlError());
    }
    if (LoadedLibraries().count(library) != 0) {
        dlclose(library);  // drops only the reference this call added
        return Failure(ModuleLoadStatus::kAlreadyLoaded, path + " is loaded already");
    }

    std::unique_ptr<DriverModule> module(new DriverModule);
    module->m_path = path;
    std::string error;
    const UMDF_VERSION_DATA* version = nullptr;
    if (!Resolve(library, "DllMain", &module->m_dllMain, &error) ||
        !Resolve(library, "DllGetClassObject", &module->m_dllGetClassObject, &error) ||
        !Resolve(library, "DllCanUnloadNow", &module->m_dllCanUnloadNow, &error) ||
        !Resolve(library, "DllRegisterServer", &module->m_dllRegisterServer, &error) ||
        !Resolve(library, "DllUnregisterServer", &module->m_dllUnregisterServer, &error) ||
        !Resolve(library, "Microsoft_WDF_UMDF_Version", &version, &error)) {
        dlclose(library);
        return Failure(ModuleLoadStatus::kMissingExport, path + " " + error);
    }
    module->m_version = *version;
    if (version->MajorNumber != UMDF_HOST_MAJOR_VERSION || version->MinorNumber > UMDF_HOST_MINOR_VERSION) {
        dlclose(library);
        return Failure(ModuleLoadStatus::kVersionMismatch,
                       path + " is built for framework version " + std::to_string(version->MajorNumber) + "." +
                           std::to_string(version->MinorNumber) + "; this host runs " +
                           std::to_string(UMDF_HOST_MAJOR_VERSION) + "." + std::to_string(UMDF_HOST_MINOR_VERSION));
    }

    auto* instance = static_cast<HINSTANCE>(library);
    if (!module->m_dllMain(instance, DLL_PROCESS_ATTACH, nullptr)) {
        // As the system loader does: a refused attach is followed by detach, so that what attach
        // set up (the trace registration) is undone before the code goes away.
        module->m_dllMain(instance, DLL_PROCESS_DETACH, nullptr);
        dlclose(library);
        return Failure(ModuleLoadStatus::kAttachFailed, "DllMain(DLL_PROCESS_ATTACH) of " + path + " returned FALSE");
    }
    module->m_library = library;
    LoadedLibraries().insert(library);

    ModuleLoadResult result;
    result.status = ModuleLoadStatus::kLoaded;
    result.module = std::move(module);
    return result;
}

DriverModule::~DriverModule()
{
    Unload();
}

HRESULT DriverModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const
{
    if (m_library == nullptr) {
        if (ppv != nullptr) *ppv = nullptr;
        return E_UNEXPECTED;
    }
    return m_dllGetClassObject(rclsid, riid, ppv);
}

HRESULT DriverModule::CanUnloadNow() const
{
    return m_library != nullptr ? m_dllCanUnloadNow() : S_OK;
}

HRESULT DriverModule::RegisterServer() const
{
    return m_library != nullptr ? m_dllRegisterServer() : E_UNEXPECTED;
}

HRESULT DriverModule::UnregisterServer() const
{
    return m_library != nullptr ? m_dllUnregisterServer() : E_UNEXPECTED;
}

BOOL DriverModule::Unload()
{
    if (m_library == nullptr) return TRUE;
    std::lock_guard loader(LoaderLock());
    void* library = std::exchange(m_library, nullptr);
    const BOOL detached = m_dllMain(static_cast<HINSTANCE>(library), DLL_PROCESS_DETACH, nullptr);
    LoadedLibraries().erase(library);
    dlclose(library);
    return detached;
}

}  // namespace platform::host
