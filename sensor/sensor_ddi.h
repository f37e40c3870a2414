// CSensorDdi: the sensor-driver object that the sensor class extension calls for everything a
// client asks of a sensor (ISensorDriver). The sensor manager creates one, gives it a back pointer
// to itself, and binds it to the class extension. Through it the manager reaches the process-wide
// acquisition object: it starts and stops acquisition and hands the acquisition object the sensor
// that receives the readings. The sensors reach it the same way, for the report interval and the
// latest reading.
//
// The sensor-driver callbacks resolve the object ID they are given to one of the manager's sensors
// and answer from its stores, or hand the client operation to the sensor. Every callback but
// OnProcessWpdMessage runs under the device's busy bit of the sensor-driver callbacks and is
// refused with HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS) once the device's teardown has begun.
// A failed allocation (std::bad_alloc) inside a callback ends it with E_OUTOFMEMORY, with the busy
// bit and the connection lock released. The radio-state handlers of the private control codes run
// under the same busy bit.
//
// Ownership: reference counted; counts on the module from construction to destruction. The manager
// is not owned (it clears the back pointer before it lets go of this object). The acquisition object
// (the process's one, given by the manager) is not owned and outlives it.
//
// Thread safety: the back pointer is an atomic (host threads set it; class-extension threads read
// it). SetSensor and TakeBackSensor run on the host's power and plug-and-play threads, one at a
// time; the sensor handed over is tracked by them only. StartCollector and StopCollector run one
// at a time under the manager's collector lock: on those threads, and on a class-extension thread
// when the last client disconnects. The
// connection lock serialises client connection and disconnection; it is taken before the sensors'
// locks. The sensor-driver callbacks may run on several class-extension threads at once; they keep
// no state of their own besides the connection lock.
#pragma once

#include <atomic>
#include <cstddef>

#include "base/module_reference.h"
#include "platform/com/com_object.h"
#include "platform/kernel/critical_section.h"
#include "platform/sensorcx/sensor_driver.h"
#include "platform/wdf/io_request.h"

class CSensorManager;
class CThermalSensor;
class CThermalAcquisition;

class CSensorDdi final : public platform::ComObject<CSensorDdi, ISensorDriver> {
public:
    // The count selector by which the identity says that the number of entries of the manager's
    // disabled map is the sensor count.
    static constexpr LONG kSensorCountFromDisabledMap = -2;

    // A new object with one reference for the caller, holding the acquisition object that it
    // starts, stops and tunes. E_POINTER for a null out-pointer or acquisition object,
    // E_OUTOFMEMORY, or the lock's error.
    static HRESULT CreateInstance(CThermalAcquisition* pCollector, CSensorDdi** ppSensorDdi);

    void SetSensorManager(CSensorManager* pManager) { m_pManager.store(pManager); }
    CSensorManager* GetSensorManager() const { return m_pManager.load(); }
    // The acquisition object; never null.
    CThermalAcquisition* GetCollector() const { return m_pCollector; }

    // The identity of the sensors: the count selector, one enabled entry in the manager's disabled
    // map, and the manufacturer, model, serial number and base ID copied into the caller's buffers
    // of cchBuffer units. E_UNEXPECTED without a manager or when the map does not hold exactly one
    // entry; E_POINTER for a null pointer; E_OUTOFMEMORY when the map cannot grow.
    HRESULT GetSensorIdentity(LONG* plCountSelector, PWSTR pwszManufacturer, PWSTR pwszModel, PWSTR pwszSerialNumber,
                              PWSTR pwszBaseId, std::size_t cchBuffer);

    // InitAcquisition, then StartThreads. S_OK.
    HRESULT StartCollector();
    // DeinitAcquisition and StopThreads; the acquisition object stops and joins its threads before
    // it releases what they read. S_OK.
    HRESULT StopCollector();
    bool IsCollectorStarted() const;
    // Makes the sensor the receiver of the acquisition object's readings.
    void SetSensor(CThermalSensor* pSensor);
    // Takes the sensor back from the acquisition object if it is the one handed over. A delivery
    // already under way may still reach it until acquisition stops.
    void TakeBackSensor(CThermalSensor* pSensor);
    // Finds the manager's sensor by ID and refreshes its derived properties. E_UNEXPECTED without a
    // manager or a sensor; HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for an unknown ID; otherwise the
    // refresh's result, and the radio step's into *phrRadioStep when asked.
    HRESULT RefreshSensor(PCWSTR pwszSensorId, HRESULT* phrRadioStep = nullptr);

    // The radio-state handlers of the private control codes (selector 0: the radio state, 1: the
    // previous radio state), for the last listed sensor whose first value is 0, under the device's
    // sensor-driver callback bit. The get writes the applied (or previous) state into an output
    // buffer of exactly 4 bytes and leaves any other buffer as it is: S_OK. The set takes a 4-byte
    // input value from 0 to 6 (else E_INVALIDARG), stores it as the requested (or previous) state
    // and returns the result of refreshing the sensor, or else of its radio step (E_UNEXPECTED for
    // a state other than 0 and 1). E_UNEXPECTED without a manager or a sensor,
    // HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS) during teardown, E_POINTER for a null request,
    // E_INVALIDARG for another selector.
    HRESULT OnGetRadioState(IWDFIoRequest* pRequest, ULONG ulSelector);
    HRESULT OnSetRadioState(IWDFIoRequest* pRequest, ULONG ulSelector);

    // ISensorDriver, in slot order.
    HRESULT STDMETHODCALLTYPE
    OnGetSupportedSensorObjects(IPortableDeviceValuesCollection** ppSensorObjectCollection) override;
    HRESULT STDMETHODCALLTYPE OnGetSupportedProperties(LPWSTR pwszObjectID,
                                                       IPortableDeviceKeyCollection** ppSupportedProperties) override;
    HRESULT STDMETHODCALLTYPE OnGetSupportedDataFields(LPWSTR pwszObjectID,
                                                       IPortableDeviceKeyCollection** ppSupportedDataFields) override;
    HRESULT STDMETHODCALLTYPE OnGetSupportedEvents(LPWSTR pwszObjectID, GUID** ppSupportedEvents,
                                                   ULONG* pulEventCount) override;
    HRESULT STDMETHODCALLTYPE OnGetProperties(IWDFFile* pClientFile, LPWSTR pwszObjectID,
                                              IPortableDeviceKeyCollection* pProperties,
                                              IPortableDeviceValues** ppPropertyValues) override;
    HRESULT STDMETHODCALLTYPE OnGetDataFields(IWDFFile* pClientFile, LPWSTR pwszObjectID,
                                              IPortableDeviceKeyCollection* pDataFields,
                                              IPortableDeviceValues** ppDataValues) override;
    HRESULT STDMETHODCALLTYPE OnSetProperties(IWDFFile* pClientFile, LPWSTR pwszObjectID,
                                              IPortableDeviceValues* pPropertiesToSet,
                                              IPortableDeviceValues** ppResults) override;
    HRESULT STDMETHODCALLTYPE OnClientConnect(IWDFFile* pClientFile, LPWSTR pwszObjectID) override;
    HRESULT STDMETHODCALLTYPE OnClientDisconnect(IWDFFile* pClientFile, LPWSTR pwszObjectID) override;
    HRESULT STDMETHODCALLTYPE OnClientSubscribeToEvents(IWDFFile* pClientFile, LPWSTR pwszObjectID) override;
    HRESULT STDMETHODCALLTYPE OnClientUnsubscribeFromEvents(IWDFFile* pClientFile, LPWSTR pwszObjectID) override;
    HRESULT STDMETHODCALLTYPE OnProcessWpdMessage(IUnknown* pUnkPortableDeviceValuesParams,
                                                  IUnknown* pUnkPortableDeviceValuesResults) override;

private:
    friend class platform::ComObject<CSensorDdi, ISensorDriver>;

    explicit CSensorDdi(CThermalAcquisition* pCollector);
    ~CSensorDdi();
    HRESULT InitializeLock();

    // The sensor of an object ID and its disabled flag. E_POINTER for a null out-pointer;
    // E_UNEXPECTED without a manager, with empty maps, for a flag of -1 or when no sensor is
    // listed for the ID; HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for an ID that is not registered.
    HRESULT ResolveSensor(PCWSTR pwszObjectId, CThermalSensor** ppSensor, LONG* plDisabled);
    // The bodies of OnGetSupportedProperties and OnGetProperties, run with the busy bit held.
    HRESULT GetSupportedPropertiesOf(PCWSTR pwszObjectId, IPortableDeviceKeyCollection** ppKeys);
    HRESULT GetPropertiesOf(PCWSTR pwszObjectId, IPortableDeviceKeyCollection* pKeys, IPortableDeviceValues** ppValues);
    // Readings into the data fields until the sensor has data, as a data-field read needs it.
    static HRESULT TakeFreshReading(CThermalSensor* pSensor);

    CModuleReference m_moduleReference;
    CRITICAL_SECTION m_csConnection{};
    BYTE m_fLockInitialized = 0;
    std::atomic<CSensorManager*> m_pManager{nullptr};
    CThermalAcquisition* const m_pCollector;
    CThermalSensor* m_pHandedSensor = nullptr;  // host threads only
};
