#include "acquisition/probe_interface_device.h"

#include <cstddef>
#include <memory>
#include <new>

#include "base/trace.h"
#include "platform/kernel/file.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/memory.h"
#include "platform/probe/probe_ioctl.h"
#include "platform/setupapi/setupapi.h"

TRACE_COMPONENT("{3B8E2F64-71C9-4A0D-9E25-6C41D8B7A912}");

namespace {

// Copies a path of at most `sourceUnits` units, ended by a terminator or by that bound, into a
// buffer of `units` UTF-16 units; a longer path is cut to its first units - 1 and terminated.
void CopyBounded(WCHAR* destination, DWORD units, const WCHAR* source, DWORD sourceUnits)
{
    DWORD i = 0;
    for (; i + 1 < units && i < sourceUnits && source[i] != u'\0'; ++i) destination[i] = source[i];
    destination[i] = u'\0';
}

}  // namespace

CProbeInterfaceDevice::CProbeInterfaceDevice() : m_szDevicePath{}, m_hDevice(nullptr), m_nOpened(0) {}

CProbeInterfaceDevice* CProbeInterfaceDevice::GetInstance()
{
    // Made on first use and kept for the life of the module; freed when the module unloads.
    using Owner = std::unique_ptr<CProbeInterfaceDevice, void (*)(CProbeInterfaceDevice*)>;
    static const Owner s_pInstance = [] {
        Owner instance(new (std::nothrow) CProbeInterfaceDevice(), [](CProbeInterfaceDevice* p) { delete p; });
        if (instance) instance->EnumerateDevice();
        return instance;
    }();
    return s_pInstance.get();
}

void CProbeInterfaceDevice::EnumerateDevice()
{
    HDEVINFO deviceInfo = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PROBE, nullptr, nullptr,
                                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (deviceInfo == INVALID_HANDLE_VALUE) return;

    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(deviceInfo, nullptr, &GUID_DEVINTERFACE_PROBE, 0, &interfaceData)) {
        SetupDiDestroyDeviceInfoList(deviceInfo);
        return;
    }

    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailW(deviceInfo, &interfaceData, nullptr, 0, &requiredSize, nullptr);

    // A size query that failed leaves a size too small even for the fixed header; stop then, rather
    // than write the header past the end of the buffer.
    if (requiredSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetupDiDestroyDeviceInfoList(deviceInfo);
        return;
    }

    auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(LocalAlloc(LMEM_FIXED, requiredSize));
    if (detail == nullptr) {
        SetupDiDestroyDeviceInfoList(deviceInfo);
        return;
    }

    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(deviceInfo, &interfaceData, detail, requiredSize, &requiredSize, nullptr)) {
        SetupDiDestroyDeviceInfoList(deviceInfo);
        LocalFree(detail);
        return;
    }

    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    CopyBounded(m_szDevicePath, kDevicePathUnits, detail->DevicePath,
                static_cast<DWORD>((requiredSize - kPathOffset) / sizeof(WCHAR)));

    SetupDiDestroyDeviceInfoList(deviceInfo);
    LocalFree(detail);
}

int CProbeInterfaceDevice::OpenDevice()
{
    if (m_nOpened != 0 || m_hDevice != nullptr) return 1;

    HANDLE device = CreateFileW(m_szDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        TRACE_ERROR(10, GetLastError());
        return 0;
    }
    m_hDevice = device;
    m_nOpened = 1;
    TRACE_INFO(11);
    return 1;
}

int CProbeInterfaceDevice::CloseDevice()
{
    if (m_nOpened == 0) return 0;
    if (m_hDevice != nullptr) CloseHandle(m_hDevice);
    m_hDevice = nullptr;
    m_nOpened = 0;
    TRACE_INFO(12);
    return 1;
}

BOOL CProbeInterfaceDevice::ReadRawValue(DWORD* value)
{
    if (m_hDevice == nullptr || value == nullptr) return FALSE;

    DWORD answer = 0;
    DWORD bytesReturned = 0;
    const BOOL result = DeviceIoControl(m_hDevice, IOCTL_PROBE_READ_VALUE, nullptr, 0, &answer, sizeof(answer),
                                        &bytesReturned, nullptr);
    if (!result) {
        answer = 0;
        TRACE_ERROR(13, GetLastError());
    }
    *value = answer;
    return result;
}
