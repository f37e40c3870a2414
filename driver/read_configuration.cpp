#include "driver/read_configuration.h"

#include "base/test_mode.h"
#include "base/trace.h"
#include "base/wide_string.h"
#include "platform/kernel/registry.h"

TRACE_COMPONENT("{8D87A309-2782-4504-9AEE-07EDAC1B82D1}");

namespace {
constexpr WCHAR kConfigureKey[] = u"Software\\Varmel\\Configure";
constexpr WCHAR kTestModeValue[] = u"TestMode";
constexpr WCHAR kTestModeEnable[] = u"Enable";
constexpr DWORD kValueLength = 1024;
}  // namespace

void ReadConfiguration()
{
    // Twice as many bytes as the read may fill, all zero: whatever is read stays terminated.
    WCHAR szValue[kValueLength] = {};
    DWORD cbValue = kValueLength;

    HKEY hKey = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_CONFIG, kConfigureKey, 0, KEY_READ, &hKey);
    if (status != ERROR_SUCCESS) {
        TRACE_INFO(10, status);
        return;
    }

    status = RegQueryValueExW(hKey, kTestModeValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(szValue), &cbValue);
    if (status != ERROR_SUCCESS) {
        TRACE_INFO(11, status);
    } else if (EqualsIgnoreCase(szValue, kTestModeEnable)) {
        g_TestMode.store(1, std::memory_order_relaxed);
        TRACE_INFO(12);
    } else {
        g_TestMode.store(0, std::memory_order_relaxed);
        TRACE_INFO(13);
    }
    RegCloseKey(hKey);
}
