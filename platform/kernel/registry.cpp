#include "platform/kernel/registry.h"

#include <cstring>
#include <map>
#include <mutex>

#include "core/fault_injection.h"
#include "kernel/registry_store.h"

using namespace platform::detail;

namespace {

struct OpenKey {
    sim::RegistryRoot root;
    std::u16string path;
};

// Open keys of the process, guarded by g_mutex. Handle values are never reused.
std::mutex g_mutex;
std::map<std::uintptr_t, OpenKey> g_openKeys;
std::uintptr_t g_nextKey = 0x1000;

std::optional<OpenKey> Resolve(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) return OpenKey{sim::RegistryRoot::LocalMachine, {}};
    if (key == HKEY_CURRENT_CONFIG) return OpenKey{sim::RegistryRoot::CurrentConfig, {}};
    std::lock_guard guard(g_mutex);
    const auto it = g_openKeys.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == g_openKeys.end()) return std::nullopt;
    return it->second;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (const auto error = CheckFault("RegOpenKeyExW", ERROR_FILE_NOT_FOUND)) return static_cast<LSTATUS>(*error);
    auto parent = Resolve(hKey);
    if (!parent) return ERROR_INVALID_HANDLE;
    OpenKey opened = *parent;
    if (lpSubKey != nullptr && *lpSubKey != u'\0') {
        opened.path += opened.path.empty() ? std::u16string(lpSubKey) : u"\\" + std::u16string(lpSubKey);
    }
    if (!RegistryKeyExists(opened.root, opened.path)) return ERROR_FILE_NOT_FOUND;
    std::lock_guard guard(g_mutex);
    const std::uintptr_t value = g_nextKey;
    g_nextKey += 4;
    g_openKeys.emplace(value, std::move(opened));
    *phkResult = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (const auto error = CheckFault("RegQueryValueExW", ERROR_FILE_NOT_FOUND)) return static_cast<LSTATUS>(*error);
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    const auto key = Resolve(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    const auto value = ReadRegistryValue(key->root, key->path, lpValueName != nullptr ? lpValueName : u"");
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = value->type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    const auto size = static_cast<DWORD>(value->data.size());
    if (lpData != nullptr && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData != nullptr && size > 0) std::memcpy(lpData, value->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_CONFIG) return ERROR_SUCCESS;
    std::lock_guard guard(g_mutex);
    return g_openKeys.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
