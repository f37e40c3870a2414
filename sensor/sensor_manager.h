// CSensorManager: the sensor side of the device. The device object creates one on hardware
// preparation, binds it (Initialize), starts it on every entry to D0 (Start), stops it on every
// exit and on release (Stop), and uninitialises it on release (Uninitialize).
//
// The first Start creates the sensor-driver object (CSensorDdi), the temperature sensor with its
// stores and defaults, and the sensor class extension, bound to the host device and the
// sensor-driver object, and enables the sensor device interface. Every Start sets the sensors to
// not available and starts the event thread, which posts a data-updated event for each sensor with
// new data. A Start that returns from a low-power state (any previous state but D3-final) starts
// acquisition first. Stop sets the sensors to not available (unless the target is D2), stops
// acquisition, ends the event thread and closes the new-data event.
//
// Ownership: the manager owns the sensors, the sensor-driver object, the class extension, the
// new-data event and the event thread; it holds counted references to the host device and to the
// device object (its callback gate). The sensors point back to it without a count. The acquisition
// object is the caller's and outlives the manager; the manager hands it to the sensor-driver object,
// through which the sensors reach it. A sensor is
// handed to the acquisition object only while it is alive: the manager takes it back before it
// frees it, and frees a sensor that failed its initialisation only once acquisition has stopped.
//
// Thread safety:
// - Initialize, Start, Stop and Uninitialize run on the host's power and plug-and-play threads, one
//   at a time. The stopped flag, the sensor count, the event handles, the retired sensors and the
//   device description belong to them. The event thread reads the new-data event handle, which is
//   made before the thread and closed after it has ended.
// - The manager lock is held by Stop for its whole body and around the change of the thread-run
//   flag. The event thread never takes it (it reads the flag, an atomic), so Stop can wait for it.
// - The object lock guards the references to the sensor-driver object and the class extension and
//   the two maps (sensor IDs, disabled flags). It is held only to read or change them, never while
//   calling out.
// - The sensor list is written only by Start's creation pass and by Uninitialize. Its readers (the
//   event thread, the sensor-driver callbacks, the radio handlers) run after the pass has published
//   it (the initialised flag, an atomic, is set after it) and before Uninitialize (the event thread
//   is ended first; the device's teardown waits for every callback in flight).
// - The host device and the device object are set by Initialize before any other thread uses them
//   and released on destruction. m_fIoActive is an atomic.
// - The collector lock serialises acquisition's start and stop: the host's power callbacks start
//   and stop it, and a client's disconnect (on a class-extension thread, under the sensor-driver
//   object's connection lock) stops it when no client is left. It is taken after the manager lock
//   and the connection lock, never with a sensor lock held (the stop waits for the reporter, which
//   takes the data lock).
// - The class extension is never called with a sensor lock or the object lock held. Stop posts its
//   state changes under the manager lock, which nothing the class extension calls takes.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/module_reference.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/oleauto.h"
#include "platform/kernel/critical_section.h"
#include "platform/kernel/handle.h"
#include "platform/sensorcx/sensor_class_extension.h"
#include "platform/wdf/device.h"
#include "platform/wdf/file.h"
#include "platform/wdf/io_request.h"
#include "platform/wpd/portable_device_values.h"
#include "sensor/device_callback_gate.h"
#include "sensor/sensor_ddi.h"

class CSensor;
class CThermalAcquisition;
class CThermalSensor;

class CSensorManager final : public platform::ComObject<CSensorManager, IUnknown> {
public:
    // Units of the device description, terminator included.
    static constexpr std::size_t kDescriptionLength = 260;

    // A new manager with one reference for the caller, for the acquisition object that its
    // sensor-driver object will start, stop and tune: no sensors, no references, all flags 0, the
    // description "Varmel Device". E_POINTER for a null out-pointer or acquisition object;
    // E_OUTOFMEMORY when it cannot be allocated or its manager lock cannot be made; the system error
    // when its object lock cannot.
    static HRESULT CreateInstance(CThermalAcquisition* pCollector, CSensorManager** ppManager);

    // Binds the manager to the host device and the device object. E_UNEXPECTED (nothing changed)
    // once the manager is initialised.
    HRESULT Initialize(IWDFDevice* pHostDevice, IDeviceCallbackGate* pDeviceObject);
    // Starts the sensor side on an entry to D0 from previousState.
    HRESULT Start(WDF_POWER_DEVICE_STATE previousState);
    // Stops it on an exit from D0 to targetState (WdfPowerDeviceMaximum on release). A second Stop
    // returns S_OK and does nothing.
    HRESULT Stop(WDF_POWER_DEVICE_STATE targetState);
    // Releases the sensors, the class extension and the sensor-driver object. Normally called after
    // Stop; without it, the event thread and acquisition are stopped first.
    void Uninitialize();

    // Changes a sensor's SENSOR_PROPERTY_STATE and tells the class extension; a change into a state
    // other than ready empties the data fields. S_OK with nothing changed for the same state.
    // E_UNEXPECTED for a null sensor or one without an ID.
    HRESULT SetSensorState(CSensor* pSensor, SensorState state, bool* pfStateChanged);
    // Posts one data-updated event (the values set) for a sensor through the class extension.
    HRESULT PostDataEvent(LPWSTR pwszSensorId, IPortableDeviceValues* pEventValues);

    // A portable-device message request, for the class extension, which completes it. Without a
    // class extension the request is completed here with HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED) so
    // that it never stays pending; the result is then S_OK.
    HRESULT ProcessIoControl(IWDFIoRequest* pRequest);
    // A private radio-state control code, for the sensor-driver object's handlers. S_OK without a
    // sensor-driver object or for any other code.
    HRESULT ProcessPrivateIoControl(IWDFIoRequest* pRequest, ULONG ulControlCode);
    // A client's file is being closed: the class extension forgets the client.
    void CleanupFile(IWDFFile* pFile);
    // Stops acquisition when no sensor has a connected client (after a client's disconnect). It
    // stays stopped until the next Start from a low-power state.
    void StopCollectorWithoutClients();

    // The device description from which the sensors' friendly name is made (before the first
    // Start). A text of 260 units or more is cut and gives STRSAFE_E_INSUFFICIENT_BUFFER.
    HRESULT SetDeviceDescription(PCWSTR pwszDescription);
    PCWSTR GetDeviceDescription() const { return m_szDeviceDescription; }
    // True between the device's self-managed I/O initialisation (or restart) and its suspend.
    void SetIoActive(bool fIoActive) { m_fIoActive.store(fIoActive); }
    bool IsIoActive() const { return m_fIoActive.load(); }

    // The device object's callback gate, for the sensor-driver callbacks and the event passes; null
    // without a device object.
    IDeviceCallbackGate* GetDeviceCallbackGate() const { return m_pDeviceObject.Get(); }

    // What the creation pass made.
    bool IsInitialized() const { return m_lInitialized.load() != 0; }
    ULONG GetSensorCount() const { return m_ulSensorCount; }
    std::size_t GetListedSensorCount() const { return m_sensors.size(); }
    CThermalSensor* GetSensor(std::size_t position) const;
    // A copy of a sensor's ID as a BSTR for the caller. E_UNEXPECTED when the index has none,
    // E_OUTOFMEMORY when the copy cannot be made.
    HRESULT CopySensorId(ULONG ulSensorIndex, BSTR* pbstrSensorId);
    // The listed sensor whose ID equals the given one, ignoring case. E_UNEXPECTED when no sensor is
    // listed, HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when none matches.
    HRESULT FindSensorById(PCWSTR pwszSensorId, CThermalSensor** ppSensor);
    // Sensor resolution for the sensor-driver callbacks: the registered ID equal to the given one
    // (ignoring case) with the lowest index, that index, and the disabled flag registered under the
    // same index, read as a 32-bit value (0: enabled). E_UNEXPECTED when either map is empty or
    // the index has no flag; HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when no ID matches; E_POINTER
    // for a null out-pointer.
    HRESULT LookUpSensorId(PCWSTR pwszSensorId, ULONG* pulSensorIndex, LONG* plDisabled);
    // The listed sensor made for a sensor index; null when none is listed under it.
    CThermalSensor* GetSensorByIndex(ULONG ulSensorIndex) const;
    // Copies of the registered sensor IDs, by ascending index. Throws std::bad_alloc when the
    // copies cannot be made.
    std::vector<std::u16string> CopySensorIds();
    // The disabled map. E_OUTOFMEMORY when it cannot grow.
    HRESULT SetSensorDisabled(ULONG ulSensorIndex, bool fDisabled);
    std::size_t GetSensorDisabledCount();
    bool HasSensorDriver();
    // The acquisition object, through the sensor-driver object; null while there is none (before
    // the first Start and after Uninitialize).
    CThermalAcquisition* GetCollector();

    // The event thread's body; the parameter is the manager.
    static DWORD WINAPI EventThreadProc(LPVOID pParameter);

private:
    friend class platform::ComObject<CSensorManager, IUnknown>;

    explicit CSensorManager(CThermalAcquisition* pCollector);
    ~CSensorManager();
    HRESULT InitializeLocks();

    // The steps of Start.
    HRESULT CreateSensors();
    // Makes, initialises and lists the sensor of one index; hrStatus is the pass's status, kept when
    // the index is skipped.
    HRESULT CreateSensor(ULONG ulIndex, HRESULT hrStatus, PCWSTR pwszManufacturer, PCWSTR pwszModel,
                         PCWSTR pwszSerialNumber, PCWSTR pwszBaseId);
    HRESULT CreateClassExtension();
    HRESULT StartEventThread();
    // Ends the event thread (flag cleared, event set, wait, handle closed) and closes the new-data
    // event, taking it back from the sensors first.
    void EndEventThread();
    void CloseNewDataEvent();
    // Keeps a sensor that failed its initialisation until acquisition has stopped.
    void RetireSensor(std::unique_ptr<CThermalSensor> pSensor);
    // Ends everything that may still use the sensors and frees them; sensors that a reporter which
    // cannot be stopped may still reach are left allocated.
    void FreeSensors();
    // Stops acquisition when it runs; false when it runs on (a delivery may still be under way).
    bool StopDeliveries(CSensorDdi* pSensorDdi);

    // One pass of the event thread over the sensors.
    void PublishNewData(IPortableDeviceValues* pEventValues);

    platform::ComPtr<ISensorClassExtension> GetClassExtension();
    platform::ComPtr<CSensorDdi> GetSensorDdi();
    // StartCollector and StopCollector of the sensor-driver object, under the collector lock.
    HRESULT StartCollector(CSensorDdi* pSensorDdi);
    HRESULT StopCollector(CSensorDdi* pSensorDdi);

    CModuleReference m_moduleReference;
    CThermalAcquisition* const m_pCollector;  // handed to the sensor-driver object when Start makes it
    CRITICAL_SECTION m_csObject{};
    BYTE m_fObjectLockInitialized = 0;
    CRITICAL_SECTION m_csManager{};
    BYTE m_fManagerLockInitialized = 0;
    std::mutex m_collectorMutex;

    // Guarded by m_csObject.
    platform::ComPtr<CSensorDdi> m_pSensorDdi;
    platform::ComPtr<ISensorClassExtension> m_pClassExtension;
    std::unordered_map<ULONG, std::u16string> m_sensorIds;
    std::unordered_map<ULONG, bool> m_sensorDisabled;

    // Host threads (see the header comment).
    ULONG m_ulSensorCount = 0;
    WCHAR m_szDeviceDescription[kDescriptionLength] = {};
    std::vector<std::unique_ptr<CThermalSensor>> m_sensors;
    std::vector<std::unique_ptr<CThermalSensor>> m_retiredSensors;
    platform::ComPtr<IWDFDevice> m_pWdfDevice;
    platform::ComPtr<IDeviceCallbackGate> m_pDeviceObject;
    HANDLE m_hNewDataEvent = nullptr;
    HANDLE m_hEventThread = nullptr;
    LONG m_lStopped = 0;

    std::atomic<bool> m_fIoActive{false};
    std::atomic<LONG> m_lInitialized{0};
    std::atomic<LONG> m_lThreadRun{0};  // changed under m_csManager
};
