// What the host expects a driver module to export: the entry points it resolves by name, their
// shapes, and the framework-version record.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

// The framework version a driver is built for. The host loads modules of major version 1 with a
// minor version up to its own.
struct UMDF_VERSION_DATA {
    ULONG MajorNumber;
    ULONG MinorNumber;
    PVOID Reserved;  // null
};

inline constexpr ULONG UMDF_HOST_MAJOR_VERSION = 1;
inline constexpr ULONG UMDF_HOST_MINOR_VERSION = 11;

using PFN_DLLMAIN = BOOL(WINAPI*)(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
using PFN_DLLGETCLASSOBJECT = HRESULT(STDMETHODCALLTYPE*)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
using PFN_DLLCANUNLOADNOW = HRESULT(STDMETHODCALLTYPE*)();
using PFN_DLLREGISTERSERVER = HRESULT(STDMETHODCALLTYPE*)();
using PFN_DLLUNREGISTERSERVER = HRESULT(STDMETHODCALLTYPE*)();
PLATFORM_API_END
