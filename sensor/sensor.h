// CSensor: one sensor object's value stores and the state around them.
//
// A sensor keeps its properties and data fields in five platform collections: the supported
// property keys, the settable property keys, the supported data-field keys (key collections), and
// the property values and data-field values (values sets). Around them it keeps its identity, its
// working values (report interval, desired accuracy, change sensitivity, reporting mode, radio
// states), the client maps, the new-data flag, and an idle timer on a private thread pool of one
// thread. The temperature sensor (CThermalSensor) derives from it and fills the defaults.
//
// Life: Initialize (host device interface, stores, identity, working values, pool and timer),
// then the defaults of the derived sensor, then Uninitialize (timer closed, stores emptied and
// released, client maps emptied). Destruction releases whatever is left, also after a failed
// Initialize, then the host device interface and the locks.
//
// Ownership: the sensor owns its stores, pool and timer, and one reference to the host device
// interface. The manager (CSensorManager) is not owned; it outlives the sensor. Every PROPVARIANT
// filled for a caller is the caller's; every PROPVARIANT given is copied; key collections handed
// out carry a reference for the caller.
//
// Thread safety:
// - The data lock (m_csData) guards the five store pointers, both client maps, the new-data flag
//   and the new-data event handle. Every store operation below holds it for its whole body. The
//   writers that update the stores outside the client operations (UpdateDataFields, the manager's
//   state change, RefreshDerivedProperties) write through these operations, so each single read or
//   write holds the data lock; a reader can see one write of such a sequence without the next.
//   The data lock is never held while the class extension is called.
// - The timer lock (m_csTimer) guards the idle timer handle, the idle-mode flag and whether the
//   sensor holds its power reference at the host. Nothing else is taken while it is held; it is
//   taken after the data lock when both are needed. The host's idle calls (StopIdle, ResumeIdle,
//   AssignS0IdleSettingsEx) are made under it, so that each power reference taken is given back
//   exactly once.
// - Working values, radio states, the initialised mark, the data-ready flag and the number of
//   connected clients are atomics: client operations, radio handlers, the reporter and the event
//   thread read and write them from their own threads, and each value stands alone. The
//   recomputes of the working values from the clients' wishes write them under the data lock, so
//   that the last change of the client map is the one the working values show. The number of
//   connected clients is written with the map, under the data lock.
// - Power reference: while a client is connected, the applied radio state is 0 (on) and the idle
//   timer does not let the device idle, the sensor holds one power reference at the host
//   (StopIdle); otherwise it holds none (ResumeIdle gives it back). Every change of those three
//   conditions brings the reference up to date, so the host never sees a ResumeIdle without a
//   reference of this sensor, and a client that leaves while the device idles leaves none behind.
// - Identity, index, first value and the host device interface are written by Initialize, before
//   the sensor is handed to any other thread, and read-only afterwards.
// - The radio lock (m_csRadio) is held by the radio step of RefreshDerivedProperties for its whole
//   body: the applied radio state, its published property and its value in the device's property
//   store change together, so that they agree whatever order concurrent radio sets run in. The step
//   posts its state change under it; nothing the class extension calls while posting takes it.
// - Lock order: the sensor-driver object's connection lock, then the radio lock, then the data lock,
//   then the timer lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <unordered_map>

#include "platform/com/com_ptr.h"
#include "platform/com/oleauto.h"
#include "platform/kernel/critical_section.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/threadpool.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensor_class_extension.h"
#include "platform/wdf/device.h"
#include "platform/wpd/portable_device_values.h"

class CSensorManager;

// What one connected client asked for.
struct ClientSettings {
    static constexpr std::size_t kSensitivitySlots = 32;
    float rgfSensitivity[kSensitivitySlots];  // per data-field index; negative means not set
    ULONG ulReportInterval;                   // milliseconds; 0 means no wish
    ULONG ulDesiredAccuracy;                  // 0 default, 1 high
};

class CSensor {
public:
    // Units of each identity buffer, terminator included.
    static constexpr std::size_t kIdentityLength = 252;
    static constexpr std::size_t kSensitivitySlots = ClientSettings::kSensitivitySlots;
    // The current report interval before it was first computed from the clients' wishes.
    static constexpr ULONG kReportIntervalNotComputed = 0xFFFFFFFF;
    // Report intervals from this length on let the device idle between reports; the idle timer
    // brings it back this long before the next report.
    static constexpr ULONG kIdleReportIntervalMs = 300000;
    static constexpr ULONG kIdleWakeLeadMs = 60000;
    static constexpr ULONG kIdleTimerWindowMs = 100;
    // Names of the radio states in the device's named property store.
    static constexpr const WCHAR* kRadioStateValueName = THERMAL_RADIO_STATE_VALUE_NAME;
    static constexpr WCHAR kPreviousRadioStateValueName[] = u"SENSOR_PROPERTY_PREVIOUS_RADIO_STATE";

    virtual ~CSensor();
    CSensor(const CSensor&) = delete;
    CSensor& operator=(const CSensor&) = delete;

    // The storage part of the sensor's initialisation: holds the host device interface
    // (IWDFDevice2) that the device object answers, creates the missing stores, stores the index,
    // the first value and the four identity texts, resets the working values, marks the sensor
    // initialised, and creates the pool and the idle timer. E_UNEXPECTED (nothing touched) when the
    // sensor is initialised already; the interface query's error; the first failed store creation;
    // STRSAFE_E_INSUFFICIENT_BUFFER when an identity text has 252 units or more (it is kept
    // truncated); the pool's or the timer's system error (the sensor stays marked initialised).
    HRESULT Initialize(ULONG ulFirstValue, ULONG ulSensorIndex, PCWSTR pwszManufacturer, PCWSTR pwszModel,
                       PCWSTR pwszSerialNumber, PCWSTR pwszSensorId, IUnknown* pDeviceObject);
    // Tear-down: cancels the idle timer and waits for its callback, closes timer and pool, empties
    // the stores (stopping at the first failure), releases them all, empties the client maps and
    // clears the initialised mark. Returns the first emptying failure; E_UNEXPECTED when the sensor
    // is not initialised.
    HRESULT Uninitialize();
    bool IsInitialized() const { return m_lInitialized.load() != 0; }

    // Stores the sensor's persistent unique ID in its properties.
    virtual HRESULT InitPersistentUniqueId(IUnknown* pHostDevice) = 0;
    // Changes the sensor's state (through the manager), telling the class extension.
    virtual HRESULT SetState(SensorState state, bool* pfStateChanged) = 0;

    // Locked store operations. Reads give E_UNEXPECTED without the store; writes give E_POINTER
    // without the store and E_INVALIDARG without a value.
    HRESULT GetProperty(REFPROPERTYKEY key, PROPVARIANT* pValue);
    HRESULT GetDataField(REFPROPERTYKEY key, PROPVARIANT* pValue);
    HRESULT SetProperty(REFPROPERTYKEY key, const PROPVARIANT* pValue);
    HRESULT SetDataField(REFPROPERTYKEY key, const PROPVARIANT* pValue);
    // Copies every data-field entry into the target, in store order. E_UNEXPECTED without the
    // store, E_POINTER without a target; otherwise the last copy's result (S_OK when empty).
    HRESULT CopyDataFieldValues(IPortableDeviceValues* pTarget);
    // The key lists, with a reference for the caller. E_UNEXPECTED unless the sensor is
    // initialised and the list exists; E_INVALIDARG for a null out-pointer.
    HRESULT GetSupportedPropertyKeys(IPortableDeviceKeyCollection** ppKeys);
    HRESULT GetSettablePropertyKeys(IPortableDeviceKeyCollection** ppKeys);
    HRESULT GetSupportedDataFieldKeys(IPortableDeviceKeyCollection** ppKeys);

    // The sensor's object ID, copied from the manager's map, for the caller to free with
    // SysFreeString. E_UNEXPECTED without a manager or an ID, E_OUTOFMEMORY when the copy fails.
    HRESULT GetSensorId(BSTR* pbstrSensorId);
    ULONG GetSensorIndex() const { return m_ulSensorIndex; }
    ULONG GetFirstValue() const { return m_ulFirstValue; }
    PCWSTR GetManufacturer() const { return m_wszManufacturer; }
    PCWSTR GetModel() const { return m_wszModel; }
    PCWSTR GetSerialNumber() const { return m_wszSerialNumber; }
    PCWSTR GetSensorIdText() const { return m_wszSensorId; }
    const char* GetTraceName() const { return m_szTraceName; }

    // Data events. SignalNewData flags new data and sets the new-data event, only while a client is
    // subscribed. TakeNewDataFlag clears the flag and tells whether it was set.
    void SignalNewData();
    bool TakeNewDataFlag();
    // The manager's new-data event (not owned); null takes it back.
    void SetNewDataEvent(HANDLE hNewDataEvent);
    // 1 once the temperature field was stored since the manager's last start.
    LONG GetDataReady() const { return m_lDataReady.load(); }
    void ClearDataReady() { m_lDataReady.store(0); }

    // Client connections, run under the sensor-driver object's connection lock. Connect adds the
    // client's settings (a duplicate connect is S_OK and changes nothing), keeps the device powered
    // for the first client, recomputes the working values, refreshes the derived properties for the
    // first client and takes a fresh reading (whose failure is traced: the client is connected all
    // the same, and says so, so that its class extension disconnects it when its file goes away);
    // a failed recompute takes the connect back (the client is forgotten and the power reference
    // brought up to date) and is returned. Disconnect removes them (E_UNEXPECTED for a client not
    // connected), recomputes, lets the device idle and ends reporting when no client is left,
    // refreshes, and stops acquisition when no sensor of the manager has a client left; a failed
    // recompute ends it with its result. E_OUTOFMEMORY when the map cannot grow.
    HRESULT Connect(ULONGLONG clientKey);
    HRESULT Disconnect(ULONGLONG clientKey);
    // A client's write of the current report interval. *phrKey receives the key's own result
    // (E_INVALIDARG for a value that is not VT_UI4 or is below the minimum). fKeyFailed says whether
    // an earlier key of the same request failed. Returns the write's overall result: the client
    // lookup's failure (HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for a client not connected), else S_OK.
    HRESULT SetClientReportInterval(ULONGLONG clientKey, const PROPVARIANT* pValue, bool fKeyFailed, HRESULT* phrKey);
    // The client's wishes: HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for a client not connected or a
    // sensor without data-field keys; E_POINTER for a null out-pointer.
    HRESULT GetClientSettings(ULONGLONG clientKey, ULONG* pulReportInterval, ULONG* pulDesiredAccuracy,
                              float rgfSensitivity[kSensitivitySlots]);
    // The three recomputes of the working values from the connected clients' wishes. The report
    // interval is the smallest non-zero wish, at least the minimum, else the default; a wish makes
    // reporting periodic (mode 2), none gives mode 1, no client mode 0. With clients, the idle timer
    // is scheduled for the new interval. The desired accuracy is 1 when the smallest non-zero wish
    // is 1, else 0. Each sensitivity slot after the timestamp's is the smallest wish that is set,
    // else the default. The sensitivity recompute returns the data-field list's failure.
    HRESULT RecomputeReportInterval();
    HRESULT RecomputeDesiredAccuracy();
    HRESULT RecomputeSensitivity();
    // Takes a reading into the data fields (the temperature sensor's).
    virtual HRESULT UpdateDataFields() = 0;

    // Client subscriptions. Subscribe: E_UNEXPECTED without a manager that holds its sensor-driver
    // object, or for a client subscribed already; the first subscriber makes reporting periodic and
    // refreshes the derived properties. A subscribe answered with a failure leaves no subscription
    // (and the reporting mode as it was). Unsubscribe: E_UNEXPECTED for a client not subscribed; the
    // last one leaving ends periodic reporting and refreshes. E_OUTOFMEMORY when the map cannot grow.
    HRESULT Subscribe(ULONGLONG clientKey);
    HRESULT Unsubscribe(ULONGLONG clientKey);
    std::size_t GetSubscriberCount();
    std::size_t GetConnectedClientCount() const { return m_cConnectedClients.load(); }

    // Rewrites the derived properties from the working values, in order: current report interval,
    // desired accuracy, radio state and previous radio state, change sensitivity, then a trace of the
    // reporting mode. The steps after the first run only when it succeeded. Returns the first step's
    // result; the others' are not returned, except the radio step's into *phrRadioStep when asked
    // (S_OK when the step did not run; E_UNEXPECTED for an unknown requested radio state), for the
    // radio handlers.
    HRESULT RefreshDerivedProperties(HRESULT* phrRadioStep = nullptr);

    // Idle control. ScheduleIdle arms the idle timer for a computed report interval of 300000 ms or
    // more and cancels it otherwise.
    void ScheduleIdle();
    void ArmIdleTimer();
    void CancelIdleTimer();
    // The idle timer's callback on the sensor's pool thread; the context is the sensor.
    static void CALLBACK OnIdleTimer(PTP_CALLBACK_INSTANCE pInstance, PVOID pContext, PTP_TIMER pTimer);

    // Whether the sensor holds its power reference at the host (see the header comment).
    bool HoldsPowerReference();

    // Working values.
    ULONG GetCurrentReportInterval() const { return m_ulCurrentReportInterval.load(); }
    void SetCurrentReportInterval(ULONG ulMilliseconds) { m_ulCurrentReportInterval.store(ulMilliseconds); }
    ULONG GetDefaultReportInterval() const { return m_ulDefaultReportInterval.load(); }
    ULONG GetMinReportInterval() const { return m_ulMinReportInterval.load(); }
    float GetDefaultSensitivity() const { return m_fltDefaultSensitivity.load(); }
    ULONG GetDesiredAccuracy() const { return m_ulDesiredAccuracy.load(); }
    void SetDesiredAccuracy(ULONG ulAccuracy) { m_ulDesiredAccuracy.store(ulAccuracy); }
    float GetSensitivity(std::size_t slot) const;
    void SetSensitivity(std::size_t slot, float value);
    LONG GetPeriodic() const { return m_lPeriodic.load(); }
    LONG GetReportingMode() const { return m_lReportingMode.load(); }
    void SetReportingMode(LONG lPeriodic, LONG lMode);
    ULONG GetRequestedRadioState() const { return m_ulRequestedRadioState.load(); }
    void SetRequestedRadioState(ULONG ulState) { m_ulRequestedRadioState.store(ulState); }
    ULONG GetAppliedRadioState() const { return m_ulAppliedRadioState.load(); }
    ULONG GetPreviousRadioState() const { return m_ulPreviousRadioState.load(); }
    void SetPreviousRadioState(ULONG ulState) { m_ulPreviousRadioState.store(ulState); }

protected:
    CSensor();
    // Initialises the three locks; false when one cannot be made.
    bool InitializeLocks();

    // The defaults of the derived sensor: the three default working values, the radio states as
    // loaded from the device's property store, the manager and the trace name.
    void SetDefaultWorkingValues(ULONG ulReportInterval, ULONG ulMinReportInterval, float fltSensitivity);
    void SetLoadedRadioStates(ULONG ulApplied, ULONG ulRequested, ULONG ulPrevious);
    void SetManager(CSensorManager* pManager) { m_pManager = pManager; }
    CSensorManager* GetManager() const { return m_pManager; }
    void SetTraceName(const char* pszName);
    void SetInitialized(bool fInitialized) { m_lInitialized.store(fInitialized ? 1 : 0); }
    IWDFDevice2* GetHostDevice() const { return m_pWdfDevice2.Get(); }
    // The store pointers, for a derived sensor that fills its defaults under the data lock.
    IPortableDeviceKeyCollection* SupportedPropertyKeysLocked() const { return m_pSupportedPropertyKeys.Get(); }
    IPortableDeviceKeyCollection* SettablePropertyKeysLocked() const { return m_pSettablePropertyKeys.Get(); }
    IPortableDeviceKeyCollection* SupportedDataFieldKeysLocked() const { return m_pSupportedDataFieldKeys.Get(); }
    IPortableDeviceValues* PropertyValuesLocked() const { return m_pPropertyValues.Get(); }
    IPortableDeviceValues* DataFieldValuesLocked() const { return m_pDataFieldValues.Get(); }

    void SetDataReady() { m_lDataReady.store(1); }

    CRITICAL_SECTION m_csData{};

private:
    // The steps of RefreshDerivedProperties after the first.
    void RefreshDesiredAccuracy(bool fIoActive);
    HRESULT RefreshRadioState();
    void RefreshChangeSensitivity(bool fIoActive);
    HRESULT TraceReportingMode() const;
    HRESULT WriteDeviceStoreValue(PCWSTR pwszName, ULONG ulValue);
    // Passes an idle-settings record with this device power state to the host (timer lock held).
    void AssignIdleSettings(DEVICE_POWER_STATE dxState);
    // Back to the working state's idle settings and power reference (timer lock held).
    void LeaveIdle();
    // Takes or gives back the sensor's power reference so that it matches the connected clients,
    // the applied radio state and the idle mode; the second with the timer lock held.
    void UpdatePowerReference();
    void UpdatePowerReferenceLocked();
    // The three recomputes in order, up to the first failure.
    HRESULT RecomputeWorkingValues();
    // Takes back a connect that failed: the client's settings go, the working values and the power
    // reference follow the clients left.
    void ForgetClient(ULONGLONG clientKey);
    // Steps 1 and 2-3 of tear-down; also run by destruction for whatever is left.
    void CloseIdleTimer();
    HRESULT ReleaseStores();
    HRESULT GetKeyList(const platform::ComPtr<IPortableDeviceKeyCollection>& list,
                       IPortableDeviceKeyCollection** ppKeys);

    CRITICAL_SECTION m_csRadio{};
    CRITICAL_SECTION m_csTimer{};
    bool m_fLocksInitialized = false;

    // The five stores; guarded by m_csData.
    platform::ComPtr<IPortableDeviceKeyCollection> m_pSupportedPropertyKeys;
    platform::ComPtr<IPortableDeviceKeyCollection> m_pSettablePropertyKeys;
    platform::ComPtr<IPortableDeviceKeyCollection> m_pSupportedDataFieldKeys;
    platform::ComPtr<IPortableDeviceValues> m_pPropertyValues;
    platform::ComPtr<IPortableDeviceValues> m_pDataFieldValues;

    // Client maps, new-data flag and event; guarded by m_csData.
    std::unordered_map<ULONGLONG, ClientSettings> m_clientSettings;
    std::unordered_map<ULONGLONG, LONG> m_subscriptions;
    LONG m_lNewData = 0;
    HANDLE m_hNewDataEvent = nullptr;

    // Written by Initialize only.
    platform::ComPtr<IWDFDevice2> m_pWdfDevice2;
    ULONG m_ulSensorIndex = 0;
    ULONG m_ulFirstValue = 0;
    WCHAR m_wszManufacturer[kIdentityLength] = {};
    WCHAR m_wszModel[kIdentityLength] = {};
    WCHAR m_wszSerialNumber[kIdentityLength] = {};
    WCHAR m_wszSensorId[kIdentityLength] = {};
    char m_szTraceName[kIdentityLength] = {};
    CSensorManager* m_pManager = nullptr;

    // The pool, its environment and the idle timer. The timer handle and the idle-mode flag are
    // guarded by m_csTimer; the pool is made by Initialize and closed by tear-down.
    PTP_POOL m_pThreadPool = nullptr;
    TP_CALLBACK_ENVIRON m_callbackEnviron{};
    PTP_TIMER m_pIdleTimer = nullptr;
    BYTE m_fIdleMode = 0;
    bool m_fHoldsPowerReference = false;

    std::atomic<LONG> m_lInitialized{0};
    std::atomic<LONG> m_lDataReady{0};
    std::atomic<std::size_t> m_cConnectedClients{0};  // written under m_csData with the map

    // Working values.
    std::atomic<ULONG> m_ulCurrentReportInterval{kReportIntervalNotComputed};
    std::atomic<ULONG> m_ulDesiredAccuracy{0};
    std::atomic<float> m_rgfSensitivity[kSensitivitySlots];
    std::atomic<ULONG> m_ulDefaultReportInterval{0};
    std::atomic<ULONG> m_ulMinReportInterval{0};
    std::atomic<float> m_fltDefaultSensitivity{0.0f};
    std::atomic<LONG> m_lPeriodic{0};
    std::atomic<LONG> m_lReportingMode{0};
    std::atomic<ULONG> m_ulRequestedRadioState{0};
    std::atomic<ULONG> m_ulAppliedRadioState{0};
    std::atomic<ULONG> m_ulPreviousRadioState{0};
};
