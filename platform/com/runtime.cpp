#include "platform/com/runtime.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "com/class_table.h"
#include "core/fault_injection.h"
#include "platform/com/com_object.h"
#include "platform_testing/com_classes.h"

namespace platform {
namespace detail {

void ComObjectMisuse(const char* what)
{
    std::fprintf(stderr, "COM object misuse: %s\n", what);
    std::abort();
}

namespace {

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

struct ClassTable {
    std::mutex mutex;
    std::map<CLSID, ClassCreator, GuidLess> active;
    std::map<CLSID, ClassCreator, GuidLess> builtin;
};

ClassTable& Classes()
{
    static auto* table = new ClassTable;
    return *table;
}

struct Apartment {
    int initCount = 0;
    DWORD model = 0;
};
thread_local Apartment t_apartment;

}  // namespace

void RegisterBuiltinClass(REFCLSID clsid, ClassCreator creator)
{
    auto& table = Classes();
    std::lock_guard guard(table.mutex);
    table.builtin[clsid] = creator;
    table.active[clsid] = creator;
}

}  // namespace detail

namespace testing {

void RegisterClass(REFCLSID clsid, detail::ClassCreator creator)
{
    auto& table = detail::Classes();
    std::lock_guard guard(table.mutex);
    table.active[clsid] = std::move(creator);
}

void UnregisterClass(REFCLSID clsid)
{
    auto& table = detail::Classes();
    std::lock_guard guard(table.mutex);
    table.active.erase(clsid);
}

void RestoreBuiltinClasses()
{
    auto& table = detail::Classes();
    std::lock_guard guard(table.mutex);
    table.active = table.builtin;
}

}  // namespace testing
}  // namespace platform

using namespace platform::detail;

HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit)
{
    if (const auto error = CheckFault("CoInitializeEx", static_cast<std::uint32_t>(E_OUTOFMEMORY))) {
        return static_cast<HRESULT>(*error);
    }
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (t_apartment.initCount == 0) {
        t_apartment.model = model;
        t_apartment.initCount = 1;
        return S_OK;
    }
    if (t_apartment.model != model) return RPC_E_CHANGED_MODE;
    ++t_apartment.initCount;
    return S_FALSE;
}

void CoUninitialize()
{
    if (t_apartment.initCount > 0) --t_apartment.initCount;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    if (FaultInjectionActive()) {
        if (const auto error = CheckFault("CoCreateInstance", static_cast<std::uint32_t>(E_OUTOFMEMORY),
                                          platform::GuidToString(rclsid))) {
            return static_cast<HRESULT>(*error);
        }
    }
    if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0) return REGDB_E_CLASSNOTREG;
    ClassCreator creator;
    {
        auto& table = Classes();
        std::lock_guard guard(table.mutex);
        const auto it = table.active.find(rclsid);
        if (it == table.active.end()) return REGDB_E_CLASSNOTREG;
        creator = it->second;
    }
    return creator(riid, ppv);
}

LPVOID CoTaskMemAlloc(SIZE_T cb)
{
    if (CheckFault("CoTaskMemAlloc", 0)) return nullptr;
    return std::malloc(cb == 0 ? 1 : cb);
}

void CoTaskMemFree(LPVOID pv) { std::free(pv); }
