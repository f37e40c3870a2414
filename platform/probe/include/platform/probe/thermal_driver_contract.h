// The thermal driver's contract with the outside: the class the host asks its module for, the
// control GUID of its trace provider, the private control codes that read and write its sensor's
// radio state, and the ID of its one sensor. The module, the host program, sensorctl and the tests
// take them from here, so each is written once.
#pragma once

#include <algorithm>
#include <array>
#include <iterator>

#include "platform/export.h"
#include "platform/com/guid.h"
#include "platform/kernel/file.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

// The driver class: the host asks the module's DllGetClassObject for its class factory.
inline constexpr CLSID CLSID_ThermalDriver = platform::MakeGuid("{352E8CF1-6944-4E3A-8E5E-76556CEC869E}");

// The control GUID under which the driver's trace provider registers; a session enables it.
inline constexpr GUID GUID_THERMAL_DRIVER_TRACE_CONTROL = platform::MakeGuid("{B385B74D-5A21-43B1-A8E3-C085C8F76C8F}");

// The private control codes of the driver's default queue. Each carries one 32-bit radio state:
// the gets answer it in a 4-byte output buffer, the sets take it from a 4-byte input buffer. The
// sets need a file opened with write access.
inline constexpr ULONG IOCTL_GET_RADIO_STATE = CTL_CODE(0x4900, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS);
inline constexpr ULONG IOCTL_GET_PREVIOUS_RADIO_STATE = CTL_CODE(0x4900, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS);
inline constexpr ULONG IOCTL_SET_RADIO_STATE = CTL_CODE(0x4900, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
inline constexpr ULONG IOCTL_SET_PREVIOUS_RADIO_STATE = CTL_CODE(0x4900, 0x803, METHOD_BUFFERED, FILE_WRITE_ACCESS);

static_assert(IOCTL_GET_RADIO_STATE == 0x49006000);
static_assert(IOCTL_GET_PREVIOUS_RADIO_STATE == 0x49006004);
static_assert(IOCTL_SET_RADIO_STATE == 0x4900A008);
static_assert(IOCTL_SET_PREVIOUS_RADIO_STATE == 0x4900A00C);

// The device-store value under which the driver keeps its sensor's radio state across restarts; the
// host reads it to say which state a restart restores.
inline constexpr WCHAR THERMAL_RADIO_STATE_VALUE_NAME[] = u"SENSOR_PROPERTY_RADIO_STATE";

// The ID of the driver's one sensor, under which clients address it: the base ID of the sensor
// IDs, a hyphen and the sensor's index, 0.
inline constexpr WCHAR THERMAL_SENSOR_ID[] = u"57E940BB-A3ED-491B-9722-A605392668E4-0";

// The base ID, from which sensor i's ID is made by appending a hyphen and i in decimal; the
// sensor's serial number is the same text.
inline constexpr auto THERMAL_SENSOR_BASE_ID = [] {
    std::array<WCHAR, std::size(THERMAL_SENSOR_ID) - 2> base{};
    std::copy_n(std::begin(THERMAL_SENSOR_ID), base.size() - 1, base.begin());
    return base;
}();
PLATFORM_API_END
