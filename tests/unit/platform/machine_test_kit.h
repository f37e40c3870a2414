// Observing the simulated machine through the platform calls the driver makes: the power status,
// the probes' enumeration and answers, the WMI instances, the driver's registry value and the map
// files. Shared by the machine's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/crt/stdio.h"
#include "platform/kernel/file.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/power.h"
#include "platform/kernel/registry.h"
#include "platform/probe/probe_ioctl.h"
#include "platform/setupapi/setupapi.h"
#include "platform/wmi/wbemcli.h"
#include "sim/probe_devices.h"

namespace machine_test_kit {

inline constexpr char kAcMapPath[] = "\\Windows\\system32\\drivers\\UMDF\\ThermalMap_AC.ini";
inline constexpr char kDcMapPath[] = "\\Windows\\system32\\drivers\\UMDF\\ThermalMap_DC.ini";

inline BYTE AcLineStatus()
{
    SYSTEM_POWER_STATUS status{};
    EXPECT_TRUE(GetSystemPowerStatus(&status));
    return status.ACLineStatus;
}

inline bool InterfaceProbeEnumerated()
{
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PROBE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    const BOOL found = SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_PROBE, 0, &data);
    SetupDiDestroyDeviceInfoList(set);
    return found != FALSE;
}

// One request on a fresh handle: the answer's bytes, or the error of the open or the request.
struct Answer {
    DWORD error = ERROR_SUCCESS;
    std::vector<BYTE> bytes;
};

inline Answer Request(const WCHAR* path, DWORD code, DWORD size)
{
    Answer answer;
    HANDLE device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        answer.error = GetLastError();
        return answer;
    }
    answer.bytes.resize(size);
    DWORD returned = 0;
    if (!DeviceIoControl(device, code, nullptr, 0, answer.bytes.data(), size, &returned, nullptr)) {
        answer.error = GetLastError();
        answer.bytes.clear();
    }
    CloseHandle(device);
    return answer;
}

inline std::optional<DWORD> InterfaceRaw()
{
    const Answer answer = Request(sim::kInterfaceProbePath, IOCTL_PROBE_READ_VALUE, 4);
    if (answer.error != ERROR_SUCCESS) return std::nullopt;
    return answer.bytes[0] | answer.bytes[1] << 8 | answer.bytes[2] << 16 | static_cast<DWORD>(answer.bytes[3]) << 24;
}

inline std::optional<std::uint16_t> FixedWord(DWORD code)
{
    const Answer answer = Request(PROBE_FIXED_DEVICE_PATH, code, 2);
    if (answer.error != ERROR_SUCCESS) return std::nullopt;
    return static_cast<std::uint16_t>(answer.bytes[0] | answer.bytes[1] << 8);
}

// Each ThermalTemperature instance as "InstanceName=Temperature", the temperature as its VARIANT type
// and value ("none" when there is no such property).
inline std::vector<std::string> WmiInstances()
{
    std::vector<std::string> instances;
    platform::ComPtr<IWbemLocator> locator;
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(locator.GetAddressOf())),
              S_OK);
    platform::ComPtr<IWbemServices> services;
    BSTR space = SysAllocString(u"ROOT\\WMI");
    EXPECT_EQ(locator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.GetAddressOf()),
              S_OK);
    SysFreeString(space);
    platform::ComPtr<IEnumWbemClassObject> enumerator;
    BSTR language = SysAllocString(u"WQL");
    BSTR query = SysAllocString(u"SELECT * FROM ThermalTemperature");
    EXPECT_EQ(services->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                  enumerator.GetAddressOf()),
              S_OK);
    SysFreeString(language);
    SysFreeString(query);
    for (;;) {
        platform::ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        enumerator->Next(WBEM_INFINITE, 1, object.GetAddressOf(), &returned);
        if (returned == 0) return instances;
        VARIANT name;
        VARIANT temperature;
        VariantInit(&name);
        VariantInit(&temperature);
        object->Get(u"InstanceName", 0, &name, nullptr, nullptr);
        std::string entry;
        for (const char16_t* c = name.bstrVal; c != nullptr && *c != 0; ++c) entry += static_cast<char>(*c);
        entry += "=";
        if (FAILED(object->Get(u"Temperature", 0, &temperature, nullptr, nullptr))) {
            entry += "none";
        } else if (temperature.vt == VT_I4) {
            entry += "i4 " + std::to_string(temperature.lVal);
        } else if (temperature.vt == VT_R8) {
            entry += "r8 " + std::to_string(temperature.dblVal);
        } else {
            entry += "vt " + std::to_string(temperature.vt);
        }
        VariantClear(&name);
        VariantClear(&temperature);
        instances.push_back(entry);
    }
}

// The driver's registry value, or the error of reading it.
inline std::pair<LSTATUS, std::u16string> TestMode()
{
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_CONFIG, u"Software\\Varmel\\Configure", 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return {status, {}};
    char16_t buffer[64] = {};
    DWORD size = sizeof(buffer) - 2;
    status = RegQueryValueExW(key, u"TestMode", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    return {status, buffer};
}

// A map file as the driver reads it, or nothing when it cannot be opened.
inline std::optional<std::string> MapFile(const char* windowsPath)
{
    std::FILE* file = _fsopen(windowsPath, "rt", _SH_DENYNO);
    if (file == nullptr) return std::nullopt;
    std::string contents;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) contents += static_cast<char>(c);
    std::fclose(file);
    return contents;
}

// The description that device setup reads for a device instance, as the driver reads it; nothing
// when the instance cannot be opened.
inline std::optional<std::u16string> DeviceDescription(const char16_t* instanceId)
{
    HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (list == INVALID_HANDLE_VALUE) return std::nullopt;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    std::optional<std::u16string> description;
    if (SetupDiOpenDeviceInfoW(list, instanceId, nullptr, 0, &info)) {
        char16_t buffer[260] = {};
        DEVPROPTYPE type = 0;
        DWORD required = 0;
        if (SetupDiGetDevicePropertyW(list, &info, &DEVPKEY_Device_DeviceDesc, &type, reinterpret_cast<PBYTE>(buffer),
                                      sizeof(buffer), &required, 0)) {
            description = buffer;
        }
    }
    SetupDiDestroyDeviceInfoList(list);
    return description;
}

}  // namespace machine_test_kit
