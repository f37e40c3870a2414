// The driver host: loads a driver module, makes its driver object and drives one device of it
// through its life, as the host framework does. The driver-host program runs it; integration tests
// run the same host through one shared fixture.
//
//   platform::host::DriverHost host;
//   HostStep step = host.Load(modulePath, driverClass);  // DllMain, DllGetClassObject, OnInitialize
//   if (step.ok()) step = host.AddDevice();        // OnDeviceAdd with a fresh IWDFDeviceInitialize
//   if (step.ok()) step = host.Start();            // prepare hardware, D0 entry, self-managed I/O
//   if (!step.ok()) report(step.message);
//   ComPtr<CHostFile> file;  host.OpenFile(FileAccess::kReadWrite, &file);
//   (or host.OpenFile(access, eventHandler, &file) for a client that takes sensor events;
//   host_transport.h makes a transport::SensorTransport of such a file)
//   IoResult reply = host.DeviceIoControl(file.Get(), code, input, outputLength);
//   host.CloseFile(file.Get());
//   host.Suspend(WdfPowerDeviceD3);  host.Resume();
//   host.Unload();                                  // removes the device first when it is there
//
// The order of callbacks, in the host's power-state numbering (1 = D0, 2 = D1, 3 = D2, 4 = D3,
// 5 = D3-final):
//   Load:            DllMain(attach), DllGetClassObject, CreateInstance(IDriverEntry), OnInitialize
//   AddDevice:       OnDeviceAdd
//   Start:           OnPrepareHardware, OnD0Entry(5), OnSelfManagedIoInit
//   Suspend(Dx):     OnSelfManagedIoSuspend, OnD0Exit(Dx)   (nothing when the device is idle: it
//                    stays in the Dx it idled to)
//   Resume:          OnD0Entry(Dx), OnSelfManagedIoRestart
//   idle:            OnSelfManagedIoSuspend, OnD0Exit(DxState of the idle settings)
//   back from idle:  OnD0Entry(that Dx), OnSelfManagedIoRestart
//   Remove:          [OnSelfManagedIoSuspend, OnD0Exit(5) when in D0], OnSelfManagedIoFlush,
//                    OnSelfManagedIoCleanup, OnReleaseHardware
//   SurpriseRemove:  OnSurpriseRemoval, then as Remove
//   Unload:          [Remove], the host drops its references to driver objects, OnDeinitialize,
//                    the driver object is released, DllCanUnloadNow, DllMain(detach)
// Removal (Remove, SurpriseRemove, Unload) cancels what is pending on the device's hardware, the
// simulated machine's devices (sim/device_tree.h), for as long as it runs: a request that never
// completes ends with ERROR_DEVICE_NOT_CONNECTED, so a driver that waits for one still finishes its
// removal.
// A start that fails releases what it began: a failed OnPrepareHardware or OnD0Entry is followed
// by OnReleaseHardware, a failed OnSelfManagedIoInit by the removal path; the device is then
// removed. A module whose DllCanUnloadNow answers S_FALSE at unload still has live objects whose
// code would go with it: it is left loaded, and the step says so.
//
// The idle policy (docs/host.md): while the device works (in D0), the driver holds no power
// reference (StopIdle, ResumeIdle) and idling is allowed by its idle settings and the user idle
// setting, the host idles the device after the settings' IdleTimeout; a power reference taken, or
// idling no longer allowed, brings it back. A reference taken while the IdleTimeout counts does
// not cancel the power-down: it is made at once and the device brought back right after. The host's idle thread makes these changes, one step at
// a time with the others, and records each as a host event: "IdlePowerDown" (targetState=Dx) and
// "IdlePowerUp" (previousState=Dx), with the result. A failed return to D0 leaves the device in low
// power, for Resume or removal. Requests are served while the device is idle: the host's queues are
// not power managed, so a request neither waits for D0 nor wakes the device.
//
// Every step returns a HostStep: the status of the first failing call, and a message that names
// that call and its result ("the driver's OnDeviceAdd failed with E_NOTIMPL (0x80004001); no
// device was added"). A step asked for in the wrong state fails with E_UNEXPECTED.
//
// Threads: plug-and-play and power callbacks run on the thread that calls the step, one step at a
// time (a second caller waits, as a platform wait); idle changes run on the host's idle thread
// (started with the device, ended at its removal), as steps too. Device I/O may be called from any thread at
// any time; requests and file cleanups run on host threads (see host_device.h).
//
// Ownership: the host owns the module, the driver object and the host device. Its destructor
// unloads whatever is still loaded.
//
// Thread safety: the steps serialise on the host's step gate (guarded by KernelLock()); the state
// and the user idle setting are atomic; the device reference used by I/O is guarded by a mutex.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "host/driver_module.h"
#include "host/host_device.h"
#include "host/host_file.h"
#include "host/host_io.h"
#include "host/host_record.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/driver.h"

namespace platform::host {

class CHostDriver;
class IdlePolicy;

enum class DeviceState {
    kNone,      // no device (none added yet, or the driver is unloaded)
    kAdded,     // OnDeviceAdd made the device
    kWorking,   // started, in D0
    kLowPower,  // suspended, in a Dx state
    kIdle,      // idled by the host's idle policy, in the Dx state of the idle settings
    kRemoved,   // removed (or failed to start); only Unload is left
};

const char* ToString(DeviceState state);

struct HostStep {
    HRESULT status = S_OK;
    std::string message;  // what failed, for people; empty on success

    bool ok() const { return SUCCEEDED(status); }
};

class DriverHost {
public:
    // Records into `record` (a new record when null).
    explicit DriverHost(std::shared_ptr<HostRecord> record = nullptr);
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Loads the module, makes the driver object of `driverClass` and initialises it.
    HostStep Load(const std::string& modulePath, REFCLSID driverClass);
    // Uses a driver object made in this process (no module) and initialises it.
    HostStep UseDriver(IDriverEntry* driver);
    // Also after a removal: the removed device is dropped first, so the device can come again.
    HostStep AddDevice();
    HostStep Start();
    // deviceState: WdfPowerDeviceD1, D2 or D3 (E_INVALIDARG otherwise).
    HostStep Suspend(WDF_POWER_DEVICE_STATE deviceState);
    HostStep Resume();
    HostStep SurpriseRemove();
    HostStep Remove();
    HostStep Unload();

    // The user idle setting: on unless turned off. Off, the device never idles, and an idle device
    // is brought back. It holds for the devices added later too.
    void SetUserIdleEnabled(bool enabled);
    bool UserIdleEnabled() const { return m_userIdleEnabled.load(); }

    // Hears every change of the device's state: the state before, the state now and the power
    // state now. It runs on the thread of the step that made the change (the idle thread for idling
    // and waking), inside the step, so it must not block or call the host's steps. For logs.
    using StateObserver = std::function<void(DeviceState previous, DeviceState state, WDF_POWER_DEVICE_STATE power)>;
    void SetStateObserver(StateObserver observer);

    DeviceState State() const { return m_state.load(); }
    // The device's power state: D0 while working, the Dx it went to while in low power or idle,
    // D3-final otherwise.
    WDF_POWER_DEVICE_STATE PowerState() const { return m_powerState.load(); }
    // Null until a device is added, and after unload.
    platform::ComPtr<CHostDevice> Device() const;
    HostRecord& Record() const { return *m_record; }
    const std::shared_ptr<HostRecord>& SharedRecord() const { return m_record; }
    // Null when no module is loaded (also while a driver object of UseDriver runs).
    DriverModule* Module() const { return m_module.get(); }

    // Device I/O (host_device.h); without a device, HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED).
    HRESULT OpenFile(FileAccess access, platform::ComPtr<CHostFile>* file);
    // A file that takes the sensor events of its subscriptions: each goes to `events` (host_file.h).
    HRESULT OpenFile(FileAccess access, ClientEventHandler events, platform::ComPtr<CHostFile>* file);
    void DeviceIoControl(CHostFile* file, ULONG controlCode, std::span<const BYTE> input, SIZE_T outputLength,
                         IoCompletionHandler done, ClaimedIoRequest* dispatchHere = nullptr);
    IoResult DeviceIoControl(CHostFile* file, ULONG controlCode, std::span<const BYTE> input, SIZE_T outputLength);
    HRESULT CloseFile(CHostFile* file, std::function<void()> done);
    HRESULT CloseFile(CHostFile* file);

private:
    class StepGate;

    HostStep Initialize(platform::ComPtr<IDriverEntry> driver);
    HostStep RemoveLocked(bool surprise);
    HostStep UnloadLocked();
    // DllCanUnloadNow, then DllMain(detach) and the library goes, or it is left loaded.
    HostStep UnloadModuleLocked();
    void SetState(DeviceState state, WDF_POWER_DEVICE_STATE powerState);
    // The idle thread of the started device, and its end (also when there is none).
    void StartIdleThreadLocked(const platform::ComPtr<CHostDevice>& device);
    void StopIdleThreadLocked(const platform::ComPtr<CHostDevice>& device);
    static DWORD WINAPI IdleThread(LPVOID parameter);
    void RunIdleThread(IdlePolicy& policy);
    void IdlePowerDownLocked(IdlePolicy& policy);
    void IdlePowerUpLocked(IdlePolicy& policy);

    const std::shared_ptr<HostRecord> m_record;
    bool m_stepRunning = false;  // guarded by KernelLock(): the step gate

    // Used by the step holding the gate only.
    std::unique_ptr<DriverModule> m_module;
    platform::ComPtr<IDriverEntry> m_driver;
    platform::ComPtr<CHostDriver> m_hostDriver;
    HANDLE m_idleThread = nullptr;

    std::atomic<DeviceState> m_state{DeviceState::kNone};
    std::atomic<WDF_POWER_DEVICE_STATE> m_powerState{WdfPowerDeviceD3Final};
    std::atomic<bool> m_userIdleEnabled{true};

    mutable std::mutex m_deviceMutex;
    platform::ComPtr<CHostDevice> m_device;  // guarded by m_deviceMutex; written by steps only
    StateObserver m_stateObserver;           // guarded by m_deviceMutex
};

}  // namespace platform::host
