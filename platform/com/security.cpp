#include "platform/com/security.h"

#include <atomic>

#include "core/fault_injection.h"
#include "platform_testing/com_security.h"

namespace {

// Set by the first successful CoInitializeSecurity of the process.
std::atomic<bool> g_securitySet{false};

bool ValidLevels(DWORD authnLevel, DWORD impLevel)
{
    return authnLevel <= RPC_C_AUTHN_LEVEL_PKT_PRIVACY && impLevel <= RPC_C_IMP_LEVEL_DELEGATE;
}

}  // namespace

namespace platform::testing {

void ResetComSecurity()
{
    g_securitySet.store(false);
}

}  // namespace platform::testing

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE* asAuthSvc,
                             void* pReserved1, DWORD dwAuthnLevel, DWORD dwImpLevel, void*, DWORD, void* pReserved3)
{
    if (const auto error =
            platform::detail::CheckFault("CoInitializeSecurity", static_cast<std::uint32_t>(E_OUTOFMEMORY))) {
        return static_cast<HRESULT>(*error);
    }
    if (cAuthSvc < -1 || (cAuthSvc > 0 && asAuthSvc == nullptr) || pReserved1 != nullptr || pReserved3 != nullptr ||
        !ValidLevels(dwAuthnLevel, dwImpLevel)) {
        return E_INVALIDARG;
    }
    if (g_securitySet.exchange(true)) return RPC_E_TOO_LATE;
    return S_OK;
}

HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD, DWORD, OLECHAR*, DWORD dwAuthnLevel, DWORD dwImpLevel,
                          RPC_AUTH_IDENTITY_HANDLE, DWORD)
{
    if (const auto error =
            platform::detail::CheckFault("CoSetProxyBlanket", static_cast<std::uint32_t>(E_OUTOFMEMORY))) {
        return static_cast<HRESULT>(*error);
    }
    if (pProxy == nullptr || !ValidLevels(dwAuthnLevel, dwImpLevel)) return E_INVALIDARG;
    return S_OK;
}
