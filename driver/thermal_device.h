// CThermalDevice: the device callback object. The host calls its plug-and-play, hardware, power,
// self-managed I/O and file-cleanup callbacks. It owns the sensor manager and, when it made it, a
// reference to the default I/O queue; it holds the host device between hardware preparation and
// release.
//
// Every callback enters the in-flight word with its bit and leaves it when done. Teardown (surprise
// removal, hardware release) sets bit 0 for good and waits until every callback that entered before
// it has left; from then on every entry is refused with HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS).
// Several callbacks of one kind may run at once (two I/O requests on the parallel queue), so each
// bit has a count of the callbacks holding it; teardown waits for the counts, and the bit shows
// whether its count is above zero (it may lag while two callbacks of its kind enter and leave).
//
// Ownership: reference counted. The host holds it from device add until it drops its driver
// references; the default queue's callback object and the sensor manager hold counted references
// too (the manager's is dropped on hardware release).
//
// Thread safety:
// - The in-flight word and the counts change only by atomic operations.
// - m_csLock guards the host device, the sensor manager and the default queue references. It is
//   held only to read or change them, never while calling out; callers work on copies.
#pragma once

#include <array>
#include <atomic>

#include "base/module_reference.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/kernel/critical_section.h"
#include "platform/wdf/device.h"
#include "platform/wdf/file_callbacks.h"
#include "platform/wdf/pnp_callbacks.h"
#include "sensor/device_callback_gate.h"

class CSensorManager;

// The bits of the in-flight word that the device itself uses.
inline constexpr ULONGLONG kCallbackTeardown = 0x1;
inline constexpr ULONGLONG kCallbackPower = 0x2;
inline constexpr ULONGLONG kCallbackPrepareHardware = 0x4;
inline constexpr ULONGLONG kCallbackCleanupFile = 0x8;
inline constexpr ULONGLONG kCallbackDeviceIoControl = 0x10;
inline constexpr ULONGLONG kCallbackSelfManagedIo = 0x100;

class CThermalDevice final
    : public platform::ComObject<CThermalDevice, IPnpCallback, IPnpCallbackHardware, IPnpCallbackSelfManagedIo,
                                 IFileCallbackCleanup, IDeviceCallbackGate> {
public:
    // The default description, kept when the machine gives none.
    static constexpr WCHAR kDefaultDeviceDescription[] = u"Varmel Device";
    // Units of the instance identifier and description buffers, terminator included.
    static constexpr DWORD kIdentificationLength = 260;

    // A new device object with one reference for the caller. E_POINTER for a null out-pointer,
    // E_OUTOFMEMORY, or the lock's error as an HRESULT (the half-made object is destroyed).
    static HRESULT CreateInstance(CThermalDevice** ppDevice);

    // IPnpCallback
    HRESULT STDMETHODCALLTYPE OnD0Entry(IWDFDevice* pWdfDevice, WDF_POWER_DEVICE_STATE previousState) override;
    HRESULT STDMETHODCALLTYPE OnD0Exit(IWDFDevice* pWdfDevice, WDF_POWER_DEVICE_STATE newState) override;
    void STDMETHODCALLTYPE OnSurpriseRemoval(IWDFDevice* pWdfDevice) override;
    HRESULT STDMETHODCALLTYPE OnQueryRemove(IWDFDevice* pWdfDevice) override;
    HRESULT STDMETHODCALLTYPE OnQueryStop(IWDFDevice* pWdfDevice) override;
    // IPnpCallbackHardware
    HRESULT STDMETHODCALLTYPE OnPrepareHardware(IWDFDevice* pWdfDevice) override;
    HRESULT STDMETHODCALLTYPE OnReleaseHardware(IWDFDevice* pWdfDevice) override;
    // IPnpCallbackSelfManagedIo
    void STDMETHODCALLTYPE OnSelfManagedIoCleanup(IWDFDevice* pWdfDevice) override;
    void STDMETHODCALLTYPE OnSelfManagedIoFlush(IWDFDevice* pWdfDevice) override;
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoInit(IWDFDevice* pWdfDevice) override;
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoSuspend(IWDFDevice* pWdfDevice) override;
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoRestart(IWDFDevice* pWdfDevice) override;
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoStop(IWDFDevice* pWdfDevice) override;
    // IFileCallbackCleanup
    void STDMETHODCALLTYPE OnCleanupFile(IWDFFile* pWdfFileObject) override;
    // IDeviceCallbackGate
    HRESULT STDMETHODCALLTYPE EnterCallback(ULONGLONG bit) override;
    void STDMETHODCALLTYPE LeaveCallback(ULONGLONG bit) override;

    // Sets bit 0 and spins, without sleeping, until no callback that entered before it is left.
    void BeginTeardown();

    // The sensor manager, or null before preparation and after release.
    platform::ComPtr<CSensorManager> GetSensorManager();

private:
    friend class platform::ComObject<CThermalDevice, IPnpCallback, IPnpCallbackHardware, IPnpCallbackSelfManagedIo,
                                     IFileCallbackCleanup, IDeviceCallbackGate>;

    CThermalDevice() = default;
    ~CThermalDevice();
    HRESULT InitializeLock();

    // The steps of hardware preparation.
    HRESULT ConfigureQueue();
    HRESULT CreateSensorManager(IWDFDevice* pWdfDevice);
    HRESULT IdentifyHardware(CSensorManager* pManager);

    platform::ComPtr<IWDFDevice> GetWdfDevice();
    platform::ComPtr<IWDFIoQueue> GetDefaultQueue();

    CModuleReference m_moduleReference;
    CRITICAL_SECTION m_csLock{};
    BYTE m_fLockInitialized = 0;

    // Guarded by m_csLock.
    platform::ComPtr<IWDFDevice> m_pWdfDevice;
    platform::ComPtr<CSensorManager> m_pSensorManager;
    platform::ComPtr<IWDFIoQueue> m_pDefaultQueue;

    // The in-flight word, and per bit the number of callbacks holding it.
    std::atomic<ULONGLONG> m_ullInFlight{0};
    std::array<std::atomic<LONG>, 64> m_inFlightCounts{};
};
