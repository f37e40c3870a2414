// The simulated machine's device tree: device instances, the device interfaces and device names
// through which they are opened, and whether each is present.
//
//   auto behavior = std::make_shared<MyDevice>();            // answers control requests
//   sim::AddDevice({u"ROOT\\MYDEV\\0000",
//                   {{kMyInterfaceClass, u"\\\\?\\ROOT#MYDEV#0000#{...}"}},
//                   {u"\\\\.\\MYDEV0"},
//                   behavior});
//   sim::SetDevicePresent(u"ROOT\\MYDEV\\0000", false);      // unplug: requests on open handles fail
//   sim::ResetDeviceTree();                                   // in test teardown
//
// A device's driver face is the platform API: SetupDi* enumeration of its interfaces, CreateFileW
// on one of its paths, DeviceIoControl on the handle. This header is its backend face, for tests
// and the host, and the few lookups those platform calls make.
//
// Each time a device becomes present it starts a new arrival. Handles opened on an arrival stay
// bound to it: once the device is removed their requests fail with ERROR_DEVICE_NOT_CONNECTED,
// also after the device comes back; only new opens reach the new arrival. Share modes are kept per
// arrival.
//
// Paths and instance IDs compare without regard to ASCII case, as device names do.
//
// Thread safety: all functions may be called from any thread. A DeviceBehavior is called without
// any platform lock held, possibly on several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "platform/com/guid.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

namespace sim {

// What a simulated device does with a control request: the device's own half of its driver face.
class DeviceBehavior {
public:
    virtual ~DeviceBehavior() = default;
    // Handles one request. `input` is a copy of the caller's input; `output` is a zero-filled
    // buffer of the caller's output length. Sets `bytesWritten` (at most output.size()) and returns
    // ERROR_SUCCESS, or the error the request fails with (then nothing is copied back).
    virtual DWORD IoControl(DWORD controlCode, std::span<const BYTE> input, std::span<BYTE> output,
                            DWORD& bytesWritten) = 0;
};

struct DeviceInterface {
    GUID interfaceClass;
    std::u16string path;  // e.g. "\\?\ROOT#THING#0000#{class}"
};

struct DeviceSpec {
    std::u16string instanceId;
    std::vector<DeviceInterface> interfaces;
    std::vector<std::u16string> deviceNames;  // paths that open the device directly, e.g. "\\.\THING0"
    std::shared_ptr<DeviceBehavior> behavior;
};

// Adds a present device. False (and nothing added) when the instance ID is empty or taken, the
// behavior is missing, or one of its paths already names another device.
bool AddDevice(DeviceSpec description);
// Takes the device out of the tree; open handles fail their requests from then on.
bool RemoveDevice(std::u16string_view instanceId);
// Unplugs (false) or plugs back (true) a device. An unplugged device is not enumerated with
// DIGCF_PRESENT, cannot be opened, and its open handles fail their requests; requests waiting at
// its gate end with ERROR_DEVICE_NOT_CONNECTED. False for an unknown instance ID.
bool SetDevicePresent(std::u16string_view instanceId, bool present);
bool IsDevicePresent(std::u16string_view instanceId);

// The slow-device gate. While held, requests that reach the device wait (a platform wait, so the
// virtual clock counts them as blocked) until the gate is released or the device goes away.
bool HoldRequests(std::u16string_view instanceId);
bool ReleaseRequests(std::u16string_view instanceId);
// Requests waiting at the gate now.
std::size_t HeldRequestCount(std::u16string_view instanceId);

// What the device saw since it was added: successful opens, handles open now (on any arrival),
// and requests that reached its behavior with the given control code.
std::uint32_t DeviceOpenCount(std::u16string_view instanceId);
std::uint32_t DeviceOpenHandleCount(std::u16string_view instanceId);
std::uint32_t DeviceRequestCount(std::u16string_view instanceId, DWORD controlCode);

// Removes every device and releases every gate. Open handles fail their requests from then on.
void ResetDeviceTree();

// ---- The device that the driver host runs. ----
//
// The machine's entry for the device handed to the driver: its instance ID (what the host's
// RetrieveDeviceInstanceId answers) and its description (what SetupDiGetDevicePropertyW answers
// for DEVPKEY_Device_DeviceDesc once SetupDiOpenDeviceInfoW has opened it by that ID). The machine
// starts with the default entry. Without an entry, SetupDiOpenDeviceInfoW fails and the host has
// no instance ID to give.
//
//   sim::SetHostedDeviceDescription(u"Probe in the rack");   // the next open of the device sees it
//   sim::RemoveHostedDevice();                               // the description cannot be read
//   sim::ResetHostedDevice();                                // in test teardown

struct HostedDeviceEntry {
    std::u16string instanceId;
    std::u16string description;
};

inline constexpr char16_t kDefaultHostedDeviceInstanceId[] = u"ROOT\\VARMELTHERMAL\\0000";
inline constexpr char16_t kDefaultHostedDeviceDescription[] = u"Varmel Temperature Sensor";

// Replaces the entry. False (and nothing changed) when the instance ID is empty.
bool SetHostedDevice(HostedDeviceEntry entry);
// Changes the description of the entry; false when there is no entry.
bool SetHostedDeviceDescription(std::u16string description);
void RemoveHostedDevice();
// Back to the default entry.
void ResetHostedDevice();
std::optional<HostedDeviceEntry> HostedDevice();
// The entry when its instance ID names it (compared without regard to ASCII case).
std::optional<HostedDeviceEntry> FindHostedDevice(std::u16string_view instanceId);

// The removal of the hosted device. The machine's devices are the hardware that the hosted device's
// driver reads; while a removal is under way they answer what is pending on them as a removed
// device does: every request waiting at a gate, and every request that would wait there, ends at
// once with ERROR_DEVICE_NOT_CONNECTED. Requests that a device answers at once are served as before,
// and a gate still held holds again once the removal has ended. Removals may overlap (two hosts);
// each Begin is ended by one End.
//
//   sim::ScopedHostedDeviceRemoval removal;   // the host's removal step, before it waits for anything
void BeginHostedDeviceRemoval();
void EndHostedDeviceRemoval();

class ScopedHostedDeviceRemoval {
public:
    ScopedHostedDeviceRemoval() { BeginHostedDeviceRemoval(); }
    ~ScopedHostedDeviceRemoval() { EndHostedDeviceRemoval(); }
    ScopedHostedDeviceRemoval(const ScopedHostedDeviceRemoval&) = delete;
    ScopedHostedDeviceRemoval& operator=(const ScopedHostedDeviceRemoval&) = delete;
};

// ---- Used by the platform's setup and device I/O calls. ----

struct InterfaceRecord {
    GUID interfaceClass;
    std::u16string path;
    std::u16string instanceId;
    bool present;
};

// The interfaces of one class, in the order their devices were added.
std::vector<InterfaceRecord> InterfacesOfClass(const GUID& interfaceClass, bool presentOnly);

// One open of a device: what a file handle holds. Closing it (destroying the last reference)
// releases its share access.
class DeviceConnection {
public:
    virtual ~DeviceConnection() = default;
    // Runs one request: waits at the gate, then hands it to the device. ERROR_DEVICE_NOT_CONNECTED
    // when the arrival the handle was opened on is gone.
    virtual DWORD IoControl(DWORD controlCode, std::span<const BYTE> input, std::span<BYTE> output,
                            DWORD& bytesWritten) = 0;
};

// Opens the present device that `path` names, for `access` (GENERIC_READ, GENERIC_WRITE) with
// `shareMode` (FILE_SHARE_*). Null with `error` set to ERROR_FILE_NOT_FOUND or
// ERROR_SHARING_VIOLATION.
std::shared_ptr<DeviceConnection> ConnectDevice(std::u16string_view path, DWORD access, DWORD shareMode, DWORD& error);

}  // namespace sim
PLATFORM_API_END
