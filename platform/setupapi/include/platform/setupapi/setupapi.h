// Device setup: enumeration of device interfaces of the simulated machine, and the description
// property of a device instance opened by its instance ID.
//
// A device-information set is a snapshot taken when it is made (an interface set) or when a device
// is opened into it (an empty set filled by SetupDiOpenDeviceInfoW); devices that come, go or
// change later do not change it. Sets are not kernel handles: they are destroyed with SetupDiDestroyDeviceInfoList,
// never with CloseHandle.
//
// Thread safety: all calls may be made from any thread; one set may be used by several threads.
#pragma once

#include "platform/export.h"
#include "platform/com/guid.h"
#include "platform/types.h"
#include "platform/user/window.h"

PLATFORM_API_BEGIN

using HDEVINFO = void*;

inline constexpr DWORD DIGCF_PRESENT = 0x00000002;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

// Flags of SP_DEVICE_INTERFACE_DATA.
inline constexpr DWORD SPINT_ACTIVE = 0x00000001;

// Errors of the device-setup calls that have no general system code.
inline constexpr DWORD ERROR_INVALID_DEVINST_NAME = 0xE0000205;
inline constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020B;

// A device property: a property set and an identifier in it, and the type of its value.
using DEVPROPGUID = GUID;
using DEVPROPID = ULONG;
using DEVPROPTYPE = ULONG;

struct DEVPROPKEY {
    DEVPROPGUID fmtid;
    DEVPROPID pid;
};

inline constexpr DEVPROPTYPE DEVPROP_TYPE_EMPTY = 0x00000000;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_STRING = 0x00000012;  // UTF-16 text with its terminator

// The device's description, a string.
inline constexpr DEVPROPKEY DEVPKEY_Device_DeviceDesc = {
    platform::MakeGuid("{A45C254E-DF1C-4EFD-8020-67D146A850E0}"), 2};

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

static_assert(sizeof(SP_DEVINFO_DATA) == 32);
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

// An empty set, to open devices into. ClassGuid and hwndParent must be NULL
// (ERROR_INVALID_PARAMETER). INVALID_HANDLE_VALUE (with the last error) on failure; a checked call.
HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent);

// Adds the device instance named by DeviceInstanceId (compared without regard to case) to the set
// and, when DeviceInfoData is given, describes it there; its cbSize must be sizeof(SP_DEVINFO_DATA)
// (ERROR_INVALID_USER_BUFFER). hwndParent must be NULL and OpenFlags 0 (ERROR_INVALID_PARAMETER,
// ERROR_INVALID_FLAGS). A null or empty ID gives ERROR_INVALID_DEVINST_NAME; a device the machine
// does not have gives ERROR_NO_SUCH_DEVINST. A checked call.
BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData);

// A property of a device of the set (DeviceInfoData as SetupDiOpenDeviceInfoW filled it; else
// ERROR_INVALID_PARAMETER). Only DEVPKEY_Device_DeviceDesc is known; any other key gives
// ERROR_NOT_FOUND. *PropertyType receives the value's type and *RequiredSize (when given) its size
// in bytes; a buffer smaller than that gives ERROR_INSUFFICIENT_BUFFER and is left untouched. A
// null buffer must come with a size of 0 (ERROR_INVALID_USER_BUFFER); Flags must be 0
// (ERROR_INVALID_FLAGS). A checked call.
BOOL SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const DEVPROPKEY* PropertyKey,
                               DEVPROPTYPE* PropertyType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                               LPDWORD RequiredSize, DWORD Flags);

// Destroys a set. FALSE with ERROR_INVALID_HANDLE for a set that does not exist.
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
PLATFORM_API_END
