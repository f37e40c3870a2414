#include "platform/setupapi/setupapi.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "core/fault_injection.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/last_error.h"
#include "sim/device_tree.h"

namespace platform::detail {
namespace {

// A device instance opened into a set, as it was when it was opened.
struct DeviceElement {
    std::u16string instanceId;
    std::u16string description;
};

// A snapshot of the interfaces of one class, or the devices opened into an empty set.
struct DeviceInfoSet {
    std::vector<sim::InterfaceRecord> interfaces;  // fixed when the set is made
    std::mutex mutex;
    std::vector<DeviceElement> devices;  // guarded by mutex; only ever appended to
};

// The sets alive now, by handle value. Handle values are never reused.
struct SetTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<DeviceInfoSet>> sets;
    std::uintptr_t next = 0x5E70000;
};

SetTable& Sets()
{
    static auto* table = new SetTable;
    return *table;
}

std::shared_ptr<DeviceInfoSet> LookupSet(HDEVINFO handle)
{
    auto& table = Sets();
    std::lock_guard guard(table.mutex);
    const auto it = table.sets.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == table.sets.end() ? nullptr : it->second;
}

HDEVINFO InsertSet(std::shared_ptr<DeviceInfoSet> set)
{
    auto& table = Sets();
    std::lock_guard guard(table.mutex);
    const std::uintptr_t value = table.next;
    table.next += 8;
    table.sets.emplace(value, std::move(set));
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The interface that SetupDiEnumDeviceInterfaces described: Reserved holds its index plus one.
const sim::InterfaceRecord* InterfaceOf(const DeviceInfoSet& set, const SP_DEVICE_INTERFACE_DATA* data)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return nullptr;
    if (data->Reserved == 0 || data->Reserved > set.interfaces.size()) return nullptr;
    return &set.interfaces[data->Reserved - 1];
}

}  // namespace
}  // namespace platform::detail

using namespace platform::detail;

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    if (const auto error = CheckFault("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return INVALID_HANDLE_VALUE;
    }
    if ((Flags & DIGCF_DEVICEINTERFACE) == 0 || (Flags & ~(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid == nullptr || Enumerator != nullptr || hwndParent != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    set->interfaces = sim::InterfacesOfClass(*ClassGuid, (Flags & DIGCF_PRESENT) != 0);
    const HDEVINFO handle = InsertSet(std::move(set));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent)
{
    if (const auto error = CheckFault("SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid != nullptr || hwndParent != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const HDEVINFO handle = InsertSet(std::make_shared<DeviceInfoSet>());
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData)
{
    if (const auto error = CheckFault("SetupDiOpenDeviceInfoW", ERROR_NO_SUCH_DEVINST)) return Fail(*error);
    const auto set = LookupSet(DeviceInfoSet);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (hwndParent != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (OpenFlags != 0) return Fail(ERROR_INVALID_FLAGS);
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInstanceId == nullptr || DeviceInstanceId[0] == u'\0') return Fail(ERROR_INVALID_DEVINST_NAME);
    const auto entry = sim::FindHostedDevice(DeviceInstanceId);
    if (!entry) return Fail(ERROR_NO_SUCH_DEVINST);

    std::size_t index = 0;
    {
        std::lock_guard guard(set->mutex);
        set->devices.push_back({entry->instanceId, entry->description});
        index = set->devices.size();
    }
    if (DeviceInfoData != nullptr) {
        DeviceInfoData->ClassGuid = GUID{};
        DeviceInfoData->DevInst = static_cast<DWORD>(index);
        DeviceInfoData->Reserved = index;  // the element's position in the set, plus one
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const DEVPROPKEY* PropertyKey,
                               DEVPROPTYPE* PropertyType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                               LPDWORD RequiredSize, DWORD Flags)
{
    if (const auto error = CheckFault("SetupDiGetDevicePropertyW", ERROR_NOT_FOUND)) return Fail(*error);
    const auto set = LookupSet(DeviceInfoSet);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (Flags != 0) return Fail(ERROR_INVALID_FLAGS);
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) || PropertyKey == nullptr ||
        PropertyType == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
    std::u16string description;
    {
        std::lock_guard guard(set->mutex);
        if (DeviceInfoData->Reserved == 0 || DeviceInfoData->Reserved > set->devices.size()) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        description = set->devices[DeviceInfoData->Reserved - 1].description;
    }
    if (!(PropertyKey->fmtid == DEVPKEY_Device_DeviceDesc.fmtid) || PropertyKey->pid != DEVPKEY_Device_DeviceDesc.pid) {
        *PropertyType = DEVPROP_TYPE_EMPTY;
        return Fail(ERROR_NOT_FOUND);
    }
    const std::size_t required = (description.size() + 1) * sizeof(WCHAR);
    if (required > 0xFFFFFFFFu) return Fail(ERROR_INVALID_DATA);
    *PropertyType = DEVPROP_TYPE_STRING;
    if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(required);
    if (PropertyBufferSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(PropertyBuffer, description.c_str(), required);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    if (const auto error = CheckFault("SetupDiEnumDeviceInterfaces", ERROR_NO_MORE_ITEMS)) return Fail(*error);
    const auto set = LookupSet(DeviceInfoSet);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (DeviceInfoData != nullptr || InterfaceClassGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    DWORD seen = 0;
    for (std::size_t i = 0; i < set->interfaces.size(); ++i) {
        const auto& record = set->interfaces[i];
        if (!(record.interfaceClass == *InterfaceClassGuid)) continue;
        if (seen++ != MemberIndex) continue;
        DeviceInterfaceData->InterfaceClassGuid = record.interfaceClass;
        DeviceInterfaceData->Flags = record.present ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = i + 1;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    if (const auto error = CheckFault("SetupDiGetDeviceInterfaceDetailW", ERROR_INVALID_PARAMETER)) {
        return Fail(*error);
    }
    const auto set = LookupSet(DeviceInfoSet);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    const sim::InterfaceRecord* record = InterfaceOf(*set, DeviceInterfaceData);
    if (record == nullptr || DeviceInfoData != nullptr) return Fail(ERROR_INVALID_PARAMETER);

    constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const std::size_t pathBytes = (record->path.size() + 1) * sizeof(WCHAR);
    const std::size_t required = kPathOffset + pathBytes;
    if (required > 0xFFFFFFFFu) return Fail(ERROR_INVALID_PARAMETER);
    if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(required);

    if (DeviceInterfaceDetailData == nullptr) {
        return Fail(DeviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailDataSize < sizeof(DWORD) ||
        DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailDataSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    // The path runs past the declared one-unit array, into the rest of the caller's record.
    std::memcpy(reinterpret_cast<BYTE*>(DeviceInterfaceDetailData) + kPathOffset, record->path.c_str(), pathBytes);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    std::shared_ptr<::platform::detail::DeviceInfoSet> released;  // freed outside the lock
    auto& table = Sets();
    std::lock_guard guard(table.mutex);
    const auto it = table.sets.find(reinterpret_cast<std::uintptr_t>(DeviceInfoSet));
    if (it == table.sets.end()) return Fail(ERROR_INVALID_HANDLE);
    released = std::move(it->second);
    table.sets.erase(it);
    return TRUE;
}
