// COM security: the process's default security, and the security of calls made through a proxy.
//
// The process's security is set once: the first successful CoInitializeSecurity sets it, every
// later call answers RPC_E_TOO_LATE. Both calls are checked calls ("CoInitializeSecurity",
// "CoSetProxyBlanket"; natural error E_OUTOFMEMORY).
//
// Thread safety: both calls may be made from any thread.
#pragma once

#include "platform/export.h"
#include "platform/com/oleauto.h"

PLATFORM_API_BEGIN

using PSECURITY_DESCRIPTOR = void*;
using RPC_AUTH_IDENTITY_HANDLE = void*;

// Authentication levels.
inline constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_NONE = 1;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_CONNECT = 2;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_CALL = 3;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT = 4;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT_INTEGRITY = 5;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT_PRIVACY = 6;

// Impersonation levels.
inline constexpr DWORD RPC_C_IMP_LEVEL_DEFAULT = 0;
inline constexpr DWORD RPC_C_IMP_LEVEL_ANONYMOUS = 1;
inline constexpr DWORD RPC_C_IMP_LEVEL_IDENTIFY = 2;
inline constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
inline constexpr DWORD RPC_C_IMP_LEVEL_DELEGATE = 4;

// Authentication and authorisation services.
inline constexpr DWORD RPC_C_AUTHN_NONE = 0;
inline constexpr DWORD RPC_C_AUTHN_WINNT = 10;
inline constexpr DWORD RPC_C_AUTHN_DEFAULT = 0xFFFFFFFF;
inline constexpr DWORD RPC_C_AUTHZ_NONE = 0;
inline constexpr DWORD RPC_C_AUTHZ_DEFAULT = 0xFFFFFFFF;

// Capabilities.
inline constexpr DWORD EOAC_NONE = 0;

struct SOLE_AUTHENTICATION_SERVICE {
    DWORD dwAuthnSvc;
    DWORD dwAuthzSvc;
    OLECHAR* pPrincipalName;
    HRESULT hr;
};

// Sets the process's security. S_OK the first time; RPC_E_TOO_LATE once it is set. E_INVALIDARG
// for a service count below -1, a positive count without a list, a reserved pointer that is not
// null, or a level out of range.
HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE* asAuthSvc,
                             void* pReserved1, DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                             DWORD dwCapabilities, void* pReserved3);

// Sets the security of the calls made through a proxy. E_INVALIDARG for a null proxy or a level out
// of range.
HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR* pServerPrincName,
                          DWORD dwAuthnLevel, DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE pAuthInfo,
                          DWORD dwCapabilities);
PLATFORM_API_END
