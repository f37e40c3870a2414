// CThermalSensor: the temperature sensor. It fills the value stores of CSensor with its identity,
// its fifteen supported properties, its settable report interval and its two data fields
// (timestamp, then temperature in degrees Celsius), loads and persists its radio state in the
// device's named property store, turns each reading of the acquisition object into its data
// fields and state, and answers for itself as a portable-device object.
//
// The acquisition object delivers readings to it through ITemperatureSensor on the reporter thread.
// It must stop being the acquisition object's sensor before it is destroyed (the manager takes it
// back after acquisition has stopped).
//
// Ownership and thread safety: as CSensor. The last reading is an atomic: the reporter writes it
// and any thread may read it. UpdateDataFields runs on the reporter thread and on host threads and
// holds no lock of its own: each store write takes the data lock (the two fields are written one
// after the other, so a reader can see a new timestamp with the previous temperature).
#pragma once

#include <atomic>
#include <memory>

#include "acquisition/temperature_sensor.h"
#include "sensor/sensor.h"

class CThermalSensor final : public CSensor, public ITemperatureSensor {
public:
    // The no-reading sentinel, and how close a reading must come to it to count as no reading.
    static constexpr double kNoReading = -1024.0;
    static constexpr double kNoReadingTolerance = 0.01;

    // A new sensor with its locks; null when it cannot be allocated or its locks cannot be made.
    static std::unique_ptr<CThermalSensor> Create();
    ~CThermalSensor() override = default;

    // The sensor's initialisation: the storage part (CSensor::Initialize) with the first value, the
    // index, the four identity texts and the host device, then every default under the data lock.
    // E_UNEXPECTED when initialised already; the storage part's failure; a failure to list a key;
    // the device property store's failure (the radio state, report interval, sensitivity and data
    // field defaults are then not set); the radio state's load or write failure; the timestamp's
    // failure. Marks the sensor initialised on success only.
    HRESULT Initialize(ULONG ulFirstValue, ULONG ulSensorIndex, PCWSTR pwszManufacturer, PCWSTR pwszModel,
                       PCWSTR pwszSerialNumber, PCWSTR pwszSensorId, IUnknown* pHostDevice, CSensorManager* pManager);

    // Stores the fixed persistent unique ID GUID as SENSOR_PROPERTY_PERSISTENT_UNIQUE_ID.
    HRESULT InitPersistentUniqueId(IUnknown* pHostDevice) override;
    // The manager's state change for this sensor; a change into a state other than ready also
    // empties the temperature field. E_UNEXPECTED without a manager.
    HRESULT SetState(SensorState state, bool* pfStateChanged) override;

    // Fills pValues with the requested keys: the portable-device object keys from the sensor's
    // object table, every other key from the sensor's properties. A key the sensor cannot read gets
    // the read's error as its error value and the result is S_FALSE; otherwise the last write's
    // result. E_INVALIDARG for a missing argument, E_POINTER without the stores.
    HRESULT GetObjectProperties(PCWSTR pwszObjectId, IPortableDeviceKeyCollection* pKeys,
                                IPortableDeviceValues* pValues);

    // ITemperatureSensor.
    void SetLastReading(double value) override { m_dblLastReading.store(value); }
    // Writes the timestamp and the temperature (empty for no reading) from the acquisition
    // object's latest reading and sets the state to match: ready after a reading, not available
    // otherwise. A no-reading keeps its fresh timestamp, also when the change to not available
    // empties the data fields. S_OK and nothing done while the device's I/O is not active or the
    // requested radio state is not 0. A timestamp failure is returned (state not available);
    // otherwise the result of the temperature write.
    HRESULT UpdateDataFields() override;
    void SignalNewData() override { CSensor::SignalNewData(); }

    double GetLastReading() const { return m_dblLastReading.load(); }
    // Whether the last reading is one (not within the tolerance of the no-reading sentinel).
    bool HasReading() const;

private:
    CThermalSensor() = default;

    // The defaults, under the data lock.
    HRESULT SetDefaultValues();
    HRESULT ListKeys();
    void SetDefaultProperties();
    HRESULT LoadRadioState(IWDFNamedPropertyStore* pStore);
    HRESULT SetChangeSensitivityDefault();
    // Writes the system time as the timestamp, and gives it in *pWritten when asked.
    HRESULT SetTimestamp(FILETIME* pWritten = nullptr);
    HRESULT WriteTimestamp(const FILETIME& stamp);

    std::atomic<double> m_dblLastReading{kNoReading};
};
