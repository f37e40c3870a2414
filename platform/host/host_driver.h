// The host's driver object (IWDFDriver) and the device-initialisation object (IWDFDeviceInitialize)
// handed to the driver's OnDeviceAdd.
//
// CreateDevice makes a CHostDevice for a device-initialisation object of this host, with the
// settings the driver made on it, and keeps it for the host to take (TakeDevices). The host runs
// device callbacks without a lock, so a device-level locking constraint is refused (E_NOTIMPL).
// CreateDevice is a checked call ("IWDFDriver::CreateDevice").
//
// Ownership: reference counted; DriverHost holds the driver object for the driver's lifetime.
//
// Thread safety: the host calls OnDeviceAdd one at a time, so each device-initialisation object is
// used by one thread; the list of devices made is guarded by a mutex.
#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "host/host_device.h"
#include "host/host_record.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/driver.h"

namespace platform::host {

class CHostDeviceInitialize final : public platform::ComObject<CHostDeviceInitialize, IWDFDeviceInitialize> {
public:
    explicit CHostDeviceInitialize(std::shared_ptr<HostRecord> record) : m_record(std::move(record)) {}

    void STDMETHODCALLTYPE SetLockingConstraint(WDF_CALLBACK_LOCKING_CONSTRAINT LockType) override;
    void STDMETHODCALLTYPE SetPowerPolicyOwnership(BOOL fTrue) override;

    WDF_CALLBACK_LOCKING_CONSTRAINT LockingConstraint() const { return m_lockingConstraint; }
    bool PowerPolicyOwner() const { return m_powerPolicyOwner; }
    // True for the first call: a device-initialisation object makes one device.
    bool MarkUsed() { return !std::exchange(m_used, true); }

private:
    ~CHostDeviceInitialize() = default;
    friend class platform::ComObject<CHostDeviceInitialize, IWDFDeviceInitialize>;

    const std::shared_ptr<HostRecord> m_record;
    // Used by the one thread running device add.
    WDF_CALLBACK_LOCKING_CONSTRAINT m_lockingConstraint = WdfLockingConstraintNone;
    bool m_powerPolicyOwner = false;
    bool m_used = false;
};

class CHostDriver final : public platform::ComObject<CHostDriver, IWDFDriver> {
public:
    explicit CHostDriver(std::shared_ptr<HostRecord> record) : m_record(std::move(record)) {}

    HRESULT STDMETHODCALLTYPE CreateDevice(IWDFDeviceInitialize* pDeviceInit, IUnknown* pCallbackInterface,
                                           IWDFDevice** ppDevice) override;

    // Makes a device-initialisation object that this driver object accepts (until the next one is
    // made or TakeDevices is called).
    HRESULT NewDeviceInitialize(platform::ComPtr<CHostDeviceInitialize>* init);
    // The devices made since the last call, in order; the device-initialisation object is spent.
    std::vector<platform::ComPtr<CHostDevice>> TakeDevices();

private:
    ~CHostDriver() = default;
    friend class platform::ComObject<CHostDriver, IWDFDriver>;

    const std::shared_ptr<HostRecord> m_record;
    std::mutex m_mutex;
    // Guarded by m_mutex.
    platform::ComPtr<CHostDeviceInitialize> m_init;  // handed out, not used yet
    std::vector<platform::ComPtr<CHostDevice>> m_devices;
};

}  // namespace platform::host
