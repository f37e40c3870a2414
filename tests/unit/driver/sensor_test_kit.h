// Shared pieces of the sensor tests: a host device (IWDFDevice3, gmock) with an in-memory named
// property store, a recording sensor class extension registered in the class table, the device's
// callback gate, and a harness with a bound sensor manager and an acquisition object of its own on
// a virtual clock.
//
//   SENSOR_TEST(SensorManagerTest, Something)
//   {
//       ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);   // the first start: sensors, class extension
//       CThermalSensor* sensor = Sensor();
//       EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_STATE), 1u);
//       EXPECT_EQ(ClassExtensionCalls(CxCall::kPostStateChange).size(), 1u);
//   }
//
// The harness gives its manager an acquisition object of its own, so that a start and stop touch
// nothing of the process's one acquisition object. It stops, uninitialises and releases the
// manager at its end and checks that nothing it made is left: collections, class extensions,
// module counts, references to the host device, the acquisition object's threads.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/thermal_acquisition.h"
#include "acquisition_test_kit.h"
#include "base/module_reference.h"
#include "base/test_mode.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensor_class_extension.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wdf/device.h"
#include "platform/win32_error.h"
#include "platform/wpd/portable_device_keys.h"
#include "platform/wpd/portable_device_values.h"
#include "platform_testing/com_classes.h"
#include "platform_testing/faults.h"
#include "platform_testing/trace_session.h"
#include "platform_testing/virtual_clock.h"
#include "platform_testing/wpd.h"
#include "sensor/device_callback_gate.h"
#include "sensor/sensor_manager.h"
#include "sensor/thermal_sensor.h"

namespace sensor_test {

using namespace std::chrono_literals;
using platform::ComPtr;

inline constexpr GUID kManagerTrace = platform::MakeGuid("{6D0B5F90-3D55-428E-BD20-2FE02B0908B9}");
inline constexpr const WCHAR* kSensorId = THERMAL_SENSOR_ID;
inline constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// The device's named property store, in memory.
class FakePropertyStore final : public platform::ComObject<FakePropertyStore, IWDFNamedPropertyStore> {
public:
    ~FakePropertyStore()
    {
        for (auto& entry : m_values) PropVariantClear(&entry.second);
    }
    HRESULT STDMETHODCALLTYPE GetNamedValue(PCWSTR pszName, PROPVARIANT* pv) override
    {
        std::lock_guard lock(m_mutex);
        const auto entry = m_values.find(pszName);
        if (entry == m_values.end()) return kNotFound;
        return PropVariantCopy(pv, &entry->second);
    }
    HRESULT STDMETHODCALLTYPE SetNamedValue(PCWSTR pszName, const PROPVARIANT* pv) override
    {
        if (beforeSet) RETURN_IF_FAILED(beforeSet(pszName));
        std::lock_guard lock(m_mutex);
        PROPVARIANT& slot = m_values[pszName];
        PropVariantClear(&slot);
        return PropVariantCopy(&slot, pv);
    }
    void SetUInt(const std::u16string& name, ULONG value)
    {
        PROPVARIANT v;
        InitPropVariantFromUInt32(value, &v);
        SetNamedValue(name.c_str(), &v);
    }
    // Runs before each write, on the writing thread; a failure is answered instead of storing. Set it
    // before the threads that write start.
    std::function<HRESULT(const std::u16string& name)> beforeSet;

    // The value under a name when it is a VT_UI4, else -1.
    long long UInt(const std::u16string& name)
    {
        std::lock_guard lock(m_mutex);
        const auto entry = m_values.find(name);
        return entry != m_values.end() && entry->second.vt == VT_UI4 ? static_cast<long long>(entry->second.ulVal)
                                                                     : -1LL;
    }

private:
    std::mutex m_mutex;
    std::map<std::u16string, PROPVARIANT> m_values;
};

// The host device. Idle settings given to it are kept in order; its property store is in memory.
class FakeHostDevice : public platform::ComObject<FakeHostDevice, IWDFDevice3> {
public:
    FakeHostDevice() : m_store(new FakePropertyStore)
    {
        using ::testing::_;
        using ::testing::Return;
        ON_CALL(*this, CreateDeviceInterface(_, _)).WillByDefault(Return(S_OK));
        ON_CALL(*this, AssignDeviceInterfaceState(_, _, _)).WillByDefault(Return(S_OK));
        ON_CALL(*this, RetrieveDevicePropertyStore(_, _, _, _))
            .WillByDefault([this](PCWSTR, WDF_PROPERTY_STORE_RETRIEVE_FLAGS, IWDFNamedPropertyStore** store,
                                  WDF_PROPERTY_STORE_DISPOSITION* disposition) {
                if (disposition != nullptr) *disposition = OpenedExistingStore;
                *store = m_store.Get();
                (*store)->AddRef();
                return S_OK;
            });
        ON_CALL(*this, AssignS0IdleSettingsEx(_)).WillByDefault([this](PWUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS s) {
            std::lock_guard lock(m_mutex);
            m_idleSettings.push_back(*s);
            return S_OK;
        });
    }
    virtual ~FakeHostDevice() = default;

    HRESULT STDMETHODCALLTYPE RetrieveDeviceInstanceId(PWSTR, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateIoQueue(IUnknown*, BOOL, WDF_IO_QUEUE_DISPATCH_TYPE, BOOL, BOOL,
                                            IWDFIoQueue**) override
    {
        return E_NOTIMPL;
    }
    void STDMETHODCALLTYPE GetDefaultIoQueue(IWDFIoQueue** queue) override { *queue = nullptr; }
    MOCK_METHOD(HRESULT, CreateDeviceInterface, (const GUID*, PCWSTR), (override));
    MOCK_METHOD(HRESULT, AssignDeviceInterfaceState, (const GUID*, PCWSTR, BOOL), (override));
    MOCK_METHOD(void, StopIdle, (BOOL), (override));
    MOCK_METHOD(void, ResumeIdle, (), (override));
    MOCK_METHOD(HRESULT, RetrieveDevicePropertyStore,
                (PCWSTR, WDF_PROPERTY_STORE_RETRIEVE_FLAGS, IWDFNamedPropertyStore**, WDF_PROPERTY_STORE_DISPOSITION*),
                (override));
    MOCK_METHOD(HRESULT, AssignS0IdleSettingsEx, (PWUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS), (override));

    FakePropertyStore& Store() { return *m_store.Get(); }
    std::vector<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> IdleSettings()
    {
        std::lock_guard lock(m_mutex);
        return m_idleSettings;
    }
    ULONG References() { return RefCountForTesting(); }

private:
    ComPtr<FakePropertyStore> m_store;
    std::mutex m_mutex;
    std::vector<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> m_idleSettings;
};
using HostDevice = ::testing::NiceMock<FakeHostDevice>;

inline ComPtr<HostDevice> MakeHostDevice()
{
    return ComPtr<HostDevice>(new HostDevice);
}

// One entry of a posted event values set.
struct EventEntry {
    PROPERTYKEY key{};
    VARTYPE vt = VT_EMPTY;
    GUID guid{};
    float flt = 0.0f;
};

enum class CxCall { kInitialize, kUninitialize, kProcessIoControl, kPostEvent, kPostStateChange, kCleanupFile };

struct CxRecord {
    CxCall call;
    std::u16string sensorId;
    SensorState state = SENSOR_STATE_READY;
    const void* device = nullptr;
    const void* driver = nullptr;
    std::vector<EventEntry> event;  // PostEvent: the first event values set
};

// What every recording class extension of the process was told, and how many live.
class CxLog {
public:
    static CxLog& Instance()
    {
        static CxLog log;
        return log;
    }
    void Add(CxRecord record)
    {
        std::lock_guard lock(m_mutex);
        m_records.push_back(std::move(record));
    }
    std::vector<CxRecord> Calls(CxCall kind)
    {
        std::lock_guard lock(m_mutex);
        std::vector<CxRecord> found;
        for (const auto& record : m_records) {
            if (record.call == kind) found.push_back(record);
        }
        return found;
    }
    void Clear()
    {
        std::lock_guard lock(m_mutex);
        m_records.clear();
    }
    std::atomic<int> live{0};
    std::atomic<int> made{0};
    std::atomic<HRESULT> initializeResult{S_OK};

private:
    std::mutex m_mutex;
    std::vector<CxRecord> m_records;
};

class RecordingClassExtension final : public platform::ComObject<RecordingClassExtension, ISensorClassExtension> {
public:
    RecordingClassExtension()
    {
        ++CxLog::Instance().live;
        ++CxLog::Instance().made;
    }
    ~RecordingClassExtension() { --CxLog::Instance().live; }

    HRESULT STDMETHODCALLTYPE Initialize(IUnknown* device, IUnknown* driver) override
    {
        CxLog::Instance().Add({CxCall::kInitialize, {}, SENSOR_STATE_READY, device, driver, {}});
        return CxLog::Instance().initializeResult.load();
    }
    HRESULT STDMETHODCALLTYPE Uninitialize() override
    {
        CxLog::Instance().Add({CxCall::kUninitialize, {}, SENSOR_STATE_READY, nullptr, nullptr, {}});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ProcessIoControl(IWDFIoRequest*) override
    {
        CxLog::Instance().Add({CxCall::kProcessIoControl, {}, SENSOR_STATE_READY, nullptr, nullptr, {}});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostEvent(LPWSTR id, IPortableDeviceValuesCollection* events) override
    {
        CxRecord record{CxCall::kPostEvent, id, SENSOR_STATE_READY, nullptr, nullptr, {}};
        ComPtr<IPortableDeviceValues> values;
        DWORD count = 0;
        if (events != nullptr && SUCCEEDED(events->GetAt(0, values.GetAddressOf())) &&
            SUCCEEDED(values->GetCount(&count))) {
            for (DWORD i = 0; i < count; ++i) {
                EventEntry entry;
                PROPVARIANT value;
                PropVariantInit(&value);
                values->GetAt(i, &entry.key, &value);
                entry.vt = value.vt;
                if (value.vt == VT_CLSID) entry.guid = *value.puuid;
                if (value.vt == VT_R4) entry.flt = value.fltVal;
                PropVariantClear(&value);
                record.event.push_back(entry);
            }
        }
        CxLog::Instance().Add(std::move(record));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostStateChange(LPWSTR id, SensorState state) override
    {
        CxLog::Instance().Add({CxCall::kPostStateChange, id, state, nullptr, nullptr, {}});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CleanupFile(IWDFFile*) override
    {
        CxLog::Instance().Add({CxCall::kCleanupFile, {}, SENSOR_STATE_READY, nullptr, nullptr, {}});
        return S_OK;
    }
};

// Puts the recording class extension in the class table, with an empty log.
inline void RegisterRecordingClassExtension()
{
    platform::testing::RegisterClass(CLSID_SensorClassExtension, [](REFIID riid, void** ppv) {
        return platform::MakeAndQuery<RecordingClassExtension>(riid, ppv);
    });
    CxLog::Instance().Clear();
    CxLog::Instance().initializeResult = S_OK;
    CxLog::Instance().made = 0;
}

// The device object's callback gate: the in-flight word.
class FakeCallbackGate final : public platform::ComObject<FakeCallbackGate, IDeviceCallbackGate> {
public:
    HRESULT STDMETHODCALLTYPE EnterCallback(ULONGLONG bit) override
    {
        ++m_enters;
        const ULONGLONG before = m_word.fetch_or(bit);
        return (before & 0x1) != 0 ? HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS) : S_OK;
    }
    void STDMETHODCALLTYPE LeaveCallback(ULONGLONG bit) override
    {
        ++m_leaves;
        m_word.fetch_and(~bit);
    }
    void BeginTeardown() { m_word.fetch_or(0x1); }
    ULONGLONG Word() const { return m_word.load(); }
    int Enters() const { return m_enters.load(); }
    int Leaves() const { return m_leaves.load(); }

private:
    std::atomic<ULONGLONG> m_word{0};
    std::atomic<int> m_enters{0};
    std::atomic<int> m_leaves{0};
};

// Records every trace message of the driver while it lives.
class TraceLog {
public:
    TraceLog()
    {
        trace::RegisterProvider();
        m_session.Enable(GUID_THERMAL_DRIVER_TRACE_CONTROL, TRACE_LEVEL_VERBOSE, 0x1);
    }
    ~TraceLog() { trace::UnregisterProvider(); }
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    std::size_t Count(const GUID& component, USHORT number) const { return m_recorder.Find(component, number).size(); }
    // The session's sequence number of the first such message; 0 when there is none.
    ULONG Sequence(const GUID& component, USHORT number) const
    {
        const auto found = m_recorder.Find(component, number);
        return found.empty() ? 0 : found.front().sequence;
    }

private:
    platform::testing::TraceRecorder m_recorder;
    platform::testing::TraceSession m_session{m_recorder};
};

// Reading a sensor's stores.
inline long long UInt(CSensor* sensor, REFPROPERTYKEY key)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    const HRESULT hr = sensor->GetProperty(key, &value);
    const long long result = SUCCEEDED(hr) && value.vt == VT_UI4 ? static_cast<long long>(value.ulVal) : -1LL;
    PropVariantClear(&value);
    return result;
}

inline std::u16string Text(CSensor* sensor, REFPROPERTYKEY key)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    std::u16string result = u"<none>";
    if (SUCCEEDED(sensor->GetProperty(key, &value)) && value.vt == VT_LPWSTR) result = value.pwszVal;
    PropVariantClear(&value);
    return result;
}

inline VARTYPE PropertyType(CSensor* sensor, REFPROPERTYKEY key)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    const VARTYPE vt = SUCCEEDED(sensor->GetProperty(key, &value)) ? value.vt : VARTYPE(0xFFFF);
    PropVariantClear(&value);
    return vt;
}

inline PROPVARIANT DataField(CSensor* sensor, REFPROPERTYKEY key)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    sensor->GetDataField(key, &value);
    return value;  // only VT_EMPTY, VT_R4 and VT_FILETIME are read: nothing to clear
}

inline std::vector<PROPERTYKEY> Keys(IPortableDeviceKeyCollection* keys)
{
    std::vector<PROPERTYKEY> result;
    DWORD count = 0;
    if (keys == nullptr || FAILED(keys->GetCount(&count))) return result;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        keys->GetAt(i, &key);
        result.push_back(key);
    }
    return result;
}


// A test whose body runs on a harness (below, or a class derived from it): the harness's SetUp,
// then the body; the harness's destructor checks what is left.
#define SENSOR_TEST(Harness, Name)                               \
    class Harness##_##Name##_Scenario final : public Harness {   \
    public:                                                      \
        void Run();                                              \
    };                                                           \
    TEST(Harness, Name)                                          \
    {                                                            \
        Harness##_##Name##_Scenario scenario;                    \
        scenario.SetUp();                                        \
        if (!::testing::Test::HasFatalFailure()) scenario.Run(); \
    }                                                            \
    void Harness##_##Name##_Scenario::Run()

// A bound sensor manager with the recording class extension registered, on a virtual clock, in
// test mode (acquisition reads no device and no WMI).
class SensorManagerTest {
public:
    virtual ~SensorManagerTest();
    virtual void SetUp() {}

protected:
    SensorManagerTest()
    {
        RegisterRecordingClassExtension();
        m_liveCollections = platform::testing::LivePortableDeviceCollections();
        m_moduleLocks = GetModuleLockCount();
        CSensorManager* manager = nullptr;
        EXPECT_EQ(CSensorManager::CreateInstance(m_acquisition.get(), &manager), S_OK);
        m_manager.Attach(manager);
        EXPECT_EQ(m_manager->Initialize(m_device.Get(), m_gate.Get()), S_OK);
    }

    SensorManagerTest(const SensorManagerTest&) = delete;
    SensorManagerTest& operator=(const SensorManagerTest&) = delete;

    void TearDownManager()
    {
        platform::testing::ResetFaults();
        if (m_manager) {
            m_manager->Stop(WdfPowerDeviceMaximum);
            m_manager->Uninitialize();
            m_manager.Reset();
        }
        EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), m_liveCollections);
        EXPECT_EQ(CxLog::Instance().live.load(), 0);
        EXPECT_EQ(GetModuleLockCount(), m_moduleLocks);
        EXPECT_EQ(m_device->References(), 1u);
        EXPECT_EQ(m_acquisition->IsStarted(), 0);
        platform::testing::RestoreBuiltinClasses();
    }

    // Start, under a read step when acquisition starts (its maps settle for 5 seconds).
    HRESULT Start(WDF_POWER_DEVICE_STATE previousState)
    {
        if (previousState != WdfPowerDeviceD3Final) platform::testing::VirtualClock::SetReadStep(1ms);
        const HRESULT hr = m_manager->Start(previousState);
        platform::testing::VirtualClock::SetReadStep(0ns);
        m_clock.RunUntilIdle();
        return hr;
    }
    CThermalSensor* Sensor() { return m_manager->GetSensor(0); }
    std::vector<CxRecord> ClassExtensionCalls(CxCall kind) { return CxLog::Instance().Calls(kind); }
    // The sensor ready with a reading, as the reporter would leave it.
    void DeliverReading(double value)
    {
        m_acquisition->SetLatestTemperature(value);
        Sensor()->UpdateDataFields();
    }

    acquisition_test::ScopedTestMode m_testMode;
    platform::testing::ScopedVirtualClock m_clock;
    platform::testing::ScopedFaults m_faults;
    TraceLog m_traces;
    ComPtr<HostDevice> m_device = MakeHostDevice();
    ComPtr<FakeCallbackGate> m_gate{new FakeCallbackGate};
    std::unique_ptr<CThermalAcquisition> m_acquisition = acquisition_test::MakeSettled<CThermalAcquisition>();
    ComPtr<CSensorManager> m_manager;
    std::size_t m_liveCollections = 0;
    LONG m_moduleLocks = 0;
};

inline SensorManagerTest::~SensorManagerTest()
{
    TearDownManager();
}

}  // namespace sensor_test
