// Device setup: enumeration of device interfaces of the simulated machine.
//
// A device-information set is a snapshot taken when it is made; devices that come or go later do
// not change it. Sets are not kernel handles: they are destroyed with SetupDiDestroyDeviceInfoList,
// never with CloseHandle.
//
// Thread safety: all calls may be made from any thread; one set may be used by several threads.
#pragma once

#include "platform/com/guid.h"
#include "platform/types.h"
#include "platform/user/window.h"

using HDEVINFO = void*;

inline constexpr DWORD DIGCF_PRESENT = 0x00000002;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

// Flags of SP_DEVICE_INTERFACE_DATA.
inline constexpr DWORD SPINT_ACTIVE = 0x00000001;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

// A variable-length record: the fixed header, then the path and its terminator. cbSize holds the
// size of the fixed header (8 on 64-bit systems), not of the whole record.
struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_W = SP_DEVICE_INTERFACE_DETAIL_DATA_W*;

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);

// A set of the interfaces of one interface class. Flags must include DIGCF_DEVICEINTERFACE and
// ClassGuid must be given; with DIGCF_PRESENT only interfaces of present devices are in it.
// Enumerator and hwndParent must be NULL. INVALID_HANDLE_VALUE (with the last error) on failure.
HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags);

// The MemberIndex-th interface of the class in the set, in the machine's order. DeviceInfoData
// must be NULL. DeviceInterfaceData->cbSize must be sizeof(SP_DEVICE_INTERFACE_DATA)
// (ERROR_INVALID_USER_BUFFER). FALSE with ERROR_NO_MORE_ITEMS past the last one.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);

// The interface's path. *RequiredSize (when given) always receives the size of the whole record.
// With no record (and a size of 0) the call fails with ERROR_INSUFFICIENT_BUFFER; so does a record
// smaller than required. The record's cbSize must be sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
// (ERROR_INVALID_USER_BUFFER). DeviceInfoData must be NULL.
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);

// Destroys a set. FALSE with ERROR_INVALID_HANDLE for a set that does not exist.
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
