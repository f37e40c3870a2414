#include "platform_support/hresult_text.h"

#include <cstdio>

namespace platform::support {
namespace {

struct NamedResult {
    HRESULT hr;
    const char* name;
};

constexpr NamedResult kNamedResults[] = {
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_POINTER, "E_POINTER"},
    {E_ABORT, "E_ABORT"},
    {E_FAIL, "E_FAIL"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {E_HANDLE, "E_HANDLE"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {HRESULT_FROM_WIN32(1), "ERROR_INVALID_FUNCTION"},
    {HRESULT_FROM_WIN32(13), "ERROR_INVALID_DATA"},
    {HRESULT_FROM_WIN32(50), "ERROR_NOT_SUPPORTED"},
    {HRESULT_FROM_WIN32(111), "ERROR_BUFFER_OVERFLOW"},
    {HRESULT_FROM_WIN32(234), "ERROR_MORE_DATA"},
    {HRESULT_FROM_WIN32(1115), "ERROR_SHUTDOWN_IN_PROGRESS"},
    {HRESULT_FROM_WIN32(1167), "ERROR_DEVICE_NOT_CONNECTED"},
    {HRESULT_FROM_WIN32(1168), "ERROR_NOT_FOUND"},
    {HRESULT_FROM_WIN32(1306), "ERROR_REVISION_MISMATCH"},
    {HRESULT_FROM_WIN32(1460), "ERROR_TIMEOUT"},
};

}  // namespace

std::string HresultHex(HRESULT hr)
{
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(hr));
    return hex;
}

std::string HresultText(HRESULT hr)
{
    if (hr == S_OK) return "S_OK";
    if (hr == S_FALSE) return "S_FALSE";
    for (const NamedResult& named : kNamedResults) {
        if (named.hr == hr) return std::string(named.name) + " (" + HresultHex(hr) + ")";
    }
    return HresultHex(hr);
}

}  // namespace platform::support
