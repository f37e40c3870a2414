// The temperature probe's two devices: their names, control codes and answer layouts. The driver
// sends these requests and the simulated devices answer them, so both sides take them from here.
//
// Every request uses the buffered method, takes no input and answers little-endian.
#pragma once

#include "platform/export.h"
#include "platform/com/guid.h"
#include "platform/kernel/file.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

// The interface device is found by enumerating this device-interface class.
inline constexpr GUID GUID_DEVINTERFACE_PROBE = platform::MakeGuid("{2016A666-EE05-4D5F-8F6A-8220FDC5CE38}");

// The fixed-path device is opened by name.
inline constexpr WCHAR PROBE_FIXED_DEVICE_PATH[] = u"\\\\.\\QARVARM0001";

// Interface device: answers the 32-bit raw value, a signed thermal-map key.
inline constexpr DWORD IOCTL_PROBE_READ_VALUE = CTL_CODE(0xEA60, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Fixed-path device: answers the status word, byte 0 the ready byte (0: no reading available,
// anything else: ready) and byte 1 the sensor kind.
inline constexpr DWORD IOCTL_PROBE_GET_STATUS = CTL_CODE(0x0400, 0x70A, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Fixed-path device: answers the raw counts, unsigned 16 bits.
inline constexpr DWORD IOCTL_PROBE_GET_COUNTS = CTL_CODE(0x0400, 0x70C, METHOD_BUFFERED, FILE_ANY_ACCESS);

static_assert(IOCTL_PROBE_READ_VALUE == 0xEA602008);
static_assert(IOCTL_PROBE_GET_STATUS == 0x04001C28);
static_assert(IOCTL_PROBE_GET_COUNTS == 0x04001C30);

// Answer layouts.
struct PROBE_RAW_VALUE {
    DWORD Value;
};

struct PROBE_STATUS {
    BYTE Ready;
    BYTE Kind;
};

struct PROBE_COUNTS {
    USHORT Counts;
};

static_assert(sizeof(PROBE_RAW_VALUE) == 4 && sizeof(PROBE_STATUS) == 2 && sizeof(PROBE_COUNTS) == 2);

// The sensor kinds of the fixed-path device that have a conversion table.
inline constexpr BYTE PROBE_KIND_20 = 20;
inline constexpr BYTE PROBE_KIND_21 = 21;
PLATFORM_API_END
