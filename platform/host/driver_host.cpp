#include "host/driver_host.h"

#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform_support/wait.h"
#include "platform_support/wait.h"
#include "host_driver.h"
#include "idle_policy.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/module.h"
#include "platform/kernel/synch.h"
#include "record_text.h"
#include "sim/device_tree.h"

namespace platform::host {
namespace {

HostStep Failure(HRESULT status, std::string message)
{
    return {FAILED(status) ? status : E_FAIL, std::move(message)};
}

std::string Failed(const std::string& what, HRESULT hr)
{
    return what + " failed with " + HresultText(hr);
}

HostStep WrongState(const char* step, DeviceState state)
{
    return {E_UNEXPECTED, std::string(step) + " is not possible while the device is " + ToString(state)};
}

// Modules left loaded because objects of theirs are alive: kept for the rest of the process, never
// unloaded. Guarded by the mutex beside it.
std::mutex g_keptModulesMutex;
std::vector<std::unique_ptr<DriverModule>>& KeptModules()
{
    static auto* modules = new std::vector<std::unique_ptr<DriverModule>>;
    return *modules;
}

// Keeps the first failure of a sequence and its message.
void Keep(HostStep& step, HRESULT hr, const std::string& what)
{
    if (FAILED(hr) && step.ok()) step = {hr, Failed(what, hr)};
}

// How many step gates the current thread holds (of any host).
thread_local int t_stepsHeld = 0;

struct IdleThreadStart {
    DriverHost* host;
    std::shared_ptr<IdlePolicy> policy;
};

}  // namespace

bool CurrentThreadRunsHostStep()
{
    return t_stepsHeld > 0;
}

const char* ToString(DeviceState state)
{
    switch (state) {
        case DeviceState::kNone:
            return "not added";
        case DeviceState::kAdded:
            return "added";
        case DeviceState::kWorking:
            return "working";
        case DeviceState::kLowPower:
            return "in low power";
        case DeviceState::kIdle:
            return "idle";
        case DeviceState::kRemoved:
            return "removed";
    }
    return "unknown";
}

// One step at a time: a second caller waits as a platform wait until the first is done. The idle
// thread gives up its wait when the device's idle policy is shut down, so that a step removing the
// device can wait for that thread's end.
class DriverHost::StepGate {
public:
    explicit StepGate(DriverHost& host, const IdlePolicy* unlessShutDown = nullptr) : m_host(host)
    {
        std::unique_lock kernel(support::KernelLock());
        support::BlockUntil(
            kernel,
            [this, unlessShutDown] {
                if (unlessShutDown != nullptr && unlessShutDown->ShutDownLocked()) return true;
                if (m_host.m_stepRunning) return false;
                m_host.m_stepRunning = true;
                m_acquired = true;
                return true;
            },
            support::kNever);
        if (m_acquired) ++t_stepsHeld;
    }
    ~StepGate()
    {
        if (!m_acquired) return;
        --t_stepsHeld;
        std::lock_guard kernel(support::KernelLock());
        m_host.m_stepRunning = false;
        support::WakeWaitersLocked();
    }
    StepGate(const StepGate&) = delete;
    StepGate& operator=(const StepGate&) = delete;

    bool Acquired() const { return m_acquired; }

private:
    DriverHost& m_host;
    bool m_acquired = false;
};

DriverHost::DriverHost(std::shared_ptr<HostRecord> record)
    : m_record(record ? std::move(record) : std::make_shared<HostRecord>())
{
}

// The destructor and the steps that remove the device cancel what is pending on its hardware from
// before they take the step gate: the step that holds the gate (an idle change, say) may be the one
// waiting for it.
DriverHost::~DriverHost()
{
    sim::ScopedHostedDeviceRemoval removal;
    StepGate gate(*this);
    UnloadLocked();
}

HostStep DriverHost::Load(const std::string& modulePath, REFCLSID driverClass)
{
    StepGate gate(*this);
    if (m_driver) return {E_UNEXPECTED, "a driver is loaded already"};

    auto loaded = DriverModule::Load(modulePath);
    m_record->Add(RecordKind::kHostEvent, "LoadModule", modulePath, ToString(loaded.status));
    if (loaded.status == ModuleLoadStatus::kAttachFailed) {
        m_record->Add(RecordKind::kCallback, "DllMain", "reason=DLL_PROCESS_ATTACH", "FALSE");
        m_record->Add(RecordKind::kCallback, "DllMain", "reason=DLL_PROCESS_DETACH");
    }
    if (loaded.status != ModuleLoadStatus::kLoaded) {
        return {E_FAIL, "the module " + std::string(ToString(loaded.status)) + ": " + loaded.message};
    }
    m_record->Add(RecordKind::kCallback, "DllMain", "reason=DLL_PROCESS_ATTACH", "TRUE");
    m_module = std::move(loaded.module);

    platform::ComPtr<IDriverEntry> driver;
    HRESULT hr = S_OK;
    {
        platform::ComPtr<IClassFactory> factory;
        const auto token =
            m_record->Add(RecordKind::kCallback, "DllGetClassObject", GuidToString(driverClass) + " IClassFactory");
        hr = m_module->GetClassObject(driverClass, IID_IClassFactory,
                                      reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
        m_record->SetResult(token, HresultText(hr));
        if (SUCCEEDED(hr) && !factory) hr = E_POINTER;
        if (FAILED(hr)) {
            HostStep step = Failure(hr, Failed("DllGetClassObject(" + GuidToString(driverClass) + ")", hr));
            UnloadModuleLocked();
            return step;
        }
        const auto created = m_record->Add(RecordKind::kCallback, "IClassFactory::CreateInstance", "IDriverEntry");
        hr = factory->CreateInstance(nullptr, __uuidof(IDriverEntry),
                                     reinterpret_cast<void**>(driver.ReleaseAndGetAddressOf()));
        m_record->SetResult(created, HresultText(hr));
        if (SUCCEEDED(hr) && !driver) hr = E_POINTER;
    }
    if (FAILED(hr)) {
        HostStep step = Failure(hr, Failed("the class factory's CreateInstance(IDriverEntry)", hr));
        UnloadModuleLocked();
        return step;
    }
    return Initialize(std::move(driver));
}

HostStep DriverHost::UseDriver(IDriverEntry* driver)
{
    StepGate gate(*this);
    if (m_driver) return {E_UNEXPECTED, "a driver is loaded already"};
    if (driver == nullptr) return {E_POINTER, "no driver object was given"};
    return Initialize(platform::ComPtr<IDriverEntry>(driver));
}

HostStep DriverHost::Initialize(platform::ComPtr<IDriverEntry> driver)
{
    CHostDriver* hostDriver = new (std::nothrow) CHostDriver(m_record);
    if (hostDriver == nullptr) {
        driver = nullptr;
        UnloadModuleLocked();
        return {E_OUTOFMEMORY, "the host's driver object could not be made"};
    }
    m_hostDriver = platform::ComPtr<CHostDriver>(hostDriver);
    const auto token = m_record->Add(RecordKind::kCallback, "IDriverEntry::OnInitialize");
    const HRESULT hr = driver->OnInitialize(m_hostDriver.Get());
    m_record->SetResult(token, HresultText(hr));
    if (FAILED(hr)) {
        driver = nullptr;
        m_hostDriver = nullptr;
        HostStep step{hr, Failed("the driver's OnInitialize", hr) + "; the driver is not loaded"};
        UnloadModuleLocked();
        return step;
    }
    m_driver = std::move(driver);
    SetState(DeviceState::kNone, WdfPowerDeviceD3Final);
    return {};
}

HostStep DriverHost::AddDevice()
{
    StepGate gate(*this);
    if (!m_driver) return {E_UNEXPECTED, "AddDevice needs a loaded driver"};
    if (State() == DeviceState::kRemoved) {
        // A removed device (surprise removal, or a failed start) goes with what it holds of the
        // driver, so that the device can be added again.
        platform::ComPtr<CHostDevice> removed;
        {
            std::lock_guard guard(m_deviceMutex);
            removed.Swap(m_device);
        }
        if (removed) removed->ReleaseDriverReferences();
        SetState(DeviceState::kNone, WdfPowerDeviceD3Final);
    }
    if (State() != DeviceState::kNone) return WrongState("AddDevice", State());

    platform::ComPtr<CHostDeviceInitialize> init;
    if (FAILED(m_hostDriver->NewDeviceInitialize(&init))) {
        return {E_OUTOFMEMORY, "the device-initialisation object could not be made"};
    }
    const auto token = m_record->Add(RecordKind::kCallback, "IDriverEntry::OnDeviceAdd");
    const HRESULT hr = m_driver->OnDeviceAdd(m_hostDriver.Get(), init.Get());
    m_record->SetResult(token, HresultText(hr));
    init = nullptr;
    std::vector<platform::ComPtr<CHostDevice>> devices = m_hostDriver->TakeDevices();

    HostStep step;
    if (FAILED(hr)) {
        step = {hr, Failed("the driver's OnDeviceAdd", hr) + "; no device was added"};
    } else if (devices.empty()) {
        step = {E_UNEXPECTED, "the driver's OnDeviceAdd returned " + HresultText(hr) +
                                  " without creating a device; no device was added"};
    }
    if (!step.ok()) {
        // A device the driver made before it failed goes again, with what it holds of the driver.
        for (const auto& device : devices) device->ReleaseDriverReferences();
        return step;
    }
    {
        std::lock_guard guard(m_deviceMutex);
        m_device = devices.front();
    }
    // After the device is published, so that SetUserIdleEnabled meanwhile reaches it either way.
    devices.front()->Idle()->SetUserIdleEnabled(m_userIdleEnabled.load());
    SetState(DeviceState::kAdded, WdfPowerDeviceD3Final);
    return {};
}

HostStep DriverHost::Start()
{
    StepGate gate(*this);
    if (State() != DeviceState::kAdded) return WrongState("Start", State());
    const platform::ComPtr<CHostDevice> device = Device();

    HRESULT hr = device->CallPrepareHardware();
    if (FAILED(hr)) {
        device->CallReleaseHardware();
        SetState(DeviceState::kRemoved, WdfPowerDeviceD3Final);
        return {hr, Failed("the driver's OnPrepareHardware", hr) + "; the host released the hardware"};
    }
    hr = device->CallD0Entry(WdfPowerDeviceD3Final);
    if (FAILED(hr)) {
        device->CallReleaseHardware();
        SetState(DeviceState::kRemoved, WdfPowerDeviceD3Final);
        return {hr, Failed("the driver's OnD0Entry(5)", hr) + "; the host released the hardware"};
    }
    SetState(DeviceState::kWorking, WdfPowerDeviceD0);
    hr = device->CallSelfManagedIoInit();
    if (FAILED(hr)) {
        RemoveLocked(false);
        return {hr, Failed("the driver's OnSelfManagedIoInit", hr) + "; the host removed the device"};
    }
    device->Idle()->EnterD0();
    StartIdleThreadLocked(device);
    return {};
}

HostStep DriverHost::Suspend(WDF_POWER_DEVICE_STATE deviceState)
{
    StepGate gate(*this);
    const DeviceState state = State();
    if (state != DeviceState::kWorking && state != DeviceState::kIdle) return WrongState("Suspend", state);
    if (deviceState < WdfPowerDeviceD1 || deviceState > WdfPowerDeviceD3) {
        return {E_INVALIDARG, "a device suspends to D1, D2 or D3 (2, 3 or 4), not to " + std::to_string(deviceState)};
    }
    const platform::ComPtr<CHostDevice> device = Device();
    device->Idle()->LeaveD0();
    if (state == DeviceState::kIdle) {
        // Already out of D0: the driver has nothing to do, and Resume brings it back from there.
        const WDF_POWER_DEVICE_STATE idleState = PowerState();
        m_record->Add(RecordKind::kHostEvent, "Suspend", "deviceState=" + std::to_string(deviceState),
                      "the device is idle; it stays in state " + std::to_string(idleState));
        SetState(DeviceState::kLowPower, idleState);
        return {};
    }
    HostStep step;
    Keep(step, device->CallSelfManagedIoSuspend(), "the driver's OnSelfManagedIoSuspend");
    Keep(step, device->CallD0Exit(deviceState), "the driver's OnD0Exit(" + std::to_string(deviceState) + ")");
    SetState(DeviceState::kLowPower, deviceState);
    return step;
}

HostStep DriverHost::Resume()
{
    StepGate gate(*this);
    if (State() != DeviceState::kLowPower) return WrongState("Resume", State());
    const platform::ComPtr<CHostDevice> device = Device();
    const WDF_POWER_DEVICE_STATE from = PowerState();
    const HRESULT hr = device->CallD0Entry(from);
    if (FAILED(hr)) {
        // The device did not reach D0; it stays in low power, where removal can still take it.
        return {hr, Failed("the driver's OnD0Entry(" + std::to_string(from) + ")", hr) + "; the device stays in D" +
                        std::to_string(from - 1)};
    }
    SetState(DeviceState::kWorking, WdfPowerDeviceD0);
    HostStep step;
    Keep(step, device->CallSelfManagedIoRestart(), "the driver's OnSelfManagedIoRestart");
    device->Idle()->EnterD0();
    return step;
}

HostStep DriverHost::SurpriseRemove()
{
    sim::ScopedHostedDeviceRemoval removal;
    StepGate gate(*this);
    const DeviceState state = State();
    if (state != DeviceState::kWorking && state != DeviceState::kLowPower && state != DeviceState::kIdle) {
        return WrongState("SurpriseRemove", state);
    }
    return RemoveLocked(true);
}

HostStep DriverHost::Remove()
{
    sim::ScopedHostedDeviceRemoval removal;
    StepGate gate(*this);
    const DeviceState state = State();
    if (state != DeviceState::kAdded && state != DeviceState::kWorking && state != DeviceState::kLowPower &&
        state != DeviceState::kIdle) {
        return WrongState("Remove", state);
    }
    return RemoveLocked(false);
}

HostStep DriverHost::RemoveLocked(bool surprise)
{
    const DeviceState state = State();
    const platform::ComPtr<CHostDevice> device = Device();
    StopIdleThreadLocked(device);
    HostStep step;
    if (state == DeviceState::kAdded) {
        // Never started: there is no hardware to release.
        device->RefuseNewIo();
        SetState(DeviceState::kRemoved, WdfPowerDeviceD3Final);
        return step;
    }
    if (surprise) {
        // The hardware is gone: new requests fail at the host rather than reach a driver that is
        // tearing the device down.
        device->RefuseNewIo();
        device->CallSurpriseRemoval();
    }
    if (state == DeviceState::kWorking) {
        Keep(step, device->CallSelfManagedIoSuspend(), "the driver's OnSelfManagedIoSuspend");
        Keep(step, device->CallD0Exit(WdfPowerDeviceD3Final), "the driver's OnD0Exit(5)");
    }
    device->CallSelfManagedIoFlush();
    device->CallSelfManagedIoCleanup();
    Keep(step, device->CallReleaseHardware(), "the driver's OnReleaseHardware");
    // A removed device takes no more files or requests (until it is added again, as a new device).
    device->RefuseNewIo();
    SetState(DeviceState::kRemoved, WdfPowerDeviceD3Final);
    return step;
}

HostStep DriverHost::Unload()
{
    sim::ScopedHostedDeviceRemoval removal;
    StepGate gate(*this);
    return UnloadLocked();
}

HostStep DriverHost::UnloadLocked()
{
    HostStep step;
    const DeviceState state = State();
    if (state == DeviceState::kAdded || state == DeviceState::kWorking || state == DeviceState::kLowPower ||
        state == DeviceState::kIdle) {
        step = RemoveLocked(false);
    }
    platform::ComPtr<CHostDevice> device;
    {
        std::lock_guard guard(m_deviceMutex);
        device.Swap(m_device);
    }
    if (device) {
        device->ReleaseDriverReferences();
        device = nullptr;
    }
    if (m_driver) {
        m_record->Add(RecordKind::kCallback, "IDriverEntry::OnDeinitialize");
        m_driver->OnDeinitialize(m_hostDriver.Get());
        m_driver = nullptr;
    }
    m_hostDriver = nullptr;
    SetState(DeviceState::kNone, WdfPowerDeviceD3Final);
    const HostStep unloaded = UnloadModuleLocked();
    return step.ok() ? unloaded : step;
}

HostStep DriverHost::UnloadModuleLocked()
{
    if (!m_module) return {};
    const HRESULT canUnload = m_module->CanUnloadNow();
    m_record->Add(RecordKind::kCallback, "DllCanUnloadNow", {}, HresultText(canUnload));
    if (canUnload != S_OK) {
        // Objects of the module are alive and their code would go with the library: keep it
        // loaded for the rest of the process rather than leave them pointing at nothing.
        const std::string path = m_module->Path();
        try {
            std::lock_guard guard(g_keptModulesMutex);
            KeptModules().push_back(std::move(m_module));
        } catch (const std::bad_alloc&) {
            (void)m_module.release();  // unloading it would be worse than losing track of it
        }
        m_record->Add(RecordKind::kHostEvent, "UnloadModule", path, "left loaded: objects of the module are alive");
        return {canUnload == S_FALSE ? E_FAIL : canUnload,
                "DllCanUnloadNow answered " + HresultText(canUnload) +
                    ": objects of the module are still alive, so it stays loaded"};
    }
    const BOOL detached = m_module->Unload();
    m_record->Add(RecordKind::kCallback, "DllMain", "reason=DLL_PROCESS_DETACH", BoolText(detached));
    m_module.reset();
    return {};
}

void DriverHost::SetState(DeviceState state, WDF_POWER_DEVICE_STATE powerState)
{
    m_powerState.store(powerState);
    const DeviceState previous = m_state.exchange(state);
    StateObserver observer;
    {
        std::lock_guard guard(m_deviceMutex);
        observer = m_stateObserver;
    }
    if (observer && previous != state) observer(previous, state, powerState);
}

void DriverHost::SetStateObserver(StateObserver observer)
{
    std::lock_guard guard(m_deviceMutex);
    m_stateObserver = std::move(observer);
}

void DriverHost::SetUserIdleEnabled(bool enabled)
{
    m_userIdleEnabled.store(enabled);
    m_record->Add(RecordKind::kHostEvent, "SetUserIdleEnabled", std::string("enabled=") + (enabled ? "TRUE" : "FALSE"));
    if (const auto device = Device()) device->Idle()->SetUserIdleEnabled(enabled);
}

void DriverHost::StartIdleThreadLocked(const platform::ComPtr<CHostDevice>& device)
{
    if (m_idleThread != nullptr) return;
    auto* start = new (std::nothrow) IdleThreadStart{this, device->Idle()};
    m_idleThread = start != nullptr ? CreateThread(nullptr, 0, &DriverHost::IdleThread, start, 0, nullptr) : nullptr;
    if (m_idleThread == nullptr) {
        delete start;
        m_record->Add(RecordKind::kHostEvent, "StartIdleThread", {},
                      "no thread could be started; the device will not idle");
    }
}

void DriverHost::StopIdleThreadLocked(const platform::ComPtr<CHostDevice>& device)
{
    if (device) device->Idle()->Shutdown();
    if (m_idleThread == nullptr) return;
    // The thread is not inside a power change (that needs the gate this step holds), and its waits
    // end at the shutdown.
    WaitForSingleObject(m_idleThread, INFINITE);
    CloseHandle(m_idleThread);
    m_idleThread = nullptr;
}

DWORD WINAPI DriverHost::IdleThread(LPVOID parameter)
{
    std::unique_ptr<IdleThreadStart> start(static_cast<IdleThreadStart*>(parameter));
    start->host->RunIdleThread(*start->policy);
    return 0;
}

void DriverHost::RunIdleThread(IdlePolicy& policy)
{
    for (;;) {
        const IdlePolicy::Action action = policy.WaitForAction();
        if (action == IdlePolicy::Action::kStop) return;
        StepGate gate(*this, &policy);
        if (!gate.Acquired()) return;
        if (action == IdlePolicy::Action::kPowerDown) {
            IdlePowerDownLocked(policy);
        } else {
            IdlePowerUpLocked(policy);
        }
    }
}

void DriverHost::IdlePowerDownLocked(IdlePolicy& policy)
{
    const std::optional<WDF_POWER_DEVICE_STATE> target = policy.DuePowerDown();
    if (!target) return;  // a reference or a step came first
    if (State() != DeviceState::kWorking) {
        policy.LeaveD0();
        return;
    }
    const platform::ComPtr<CHostDevice> device = Device();
    const auto token = m_record->Add(RecordKind::kHostEvent, "IdlePowerDown", "targetState=" + std::to_string(*target));
    HostStep step;
    Keep(step, device->CallSelfManagedIoSuspend(), "the driver's OnSelfManagedIoSuspend");
    Keep(step, device->CallD0Exit(*target), "the driver's OnD0Exit(" + std::to_string(*target) + ")");
    // As after a suspend, the device is out of D0 whatever the driver answered.
    SetState(DeviceState::kIdle, *target);
    policy.EnterIdle();
    m_record->SetResult(token, step.ok() ? HresultText(S_OK) : step.message);
}

void DriverHost::IdlePowerUpLocked(IdlePolicy& policy)
{
    if (!policy.DuePowerUp()) return;
    if (State() != DeviceState::kIdle) {
        policy.LeaveD0();
        return;
    }
    const platform::ComPtr<CHostDevice> device = Device();
    const WDF_POWER_DEVICE_STATE from = PowerState();
    const auto token = m_record->Add(RecordKind::kHostEvent, "IdlePowerUp", "previousState=" + std::to_string(from));
    const HRESULT hr = device->CallD0Entry(from);
    if (FAILED(hr)) {
        // Not back in D0: the device stays in low power, where Resume or removal can take it.
        SetState(DeviceState::kLowPower, from);
        policy.LeaveD0();
        m_record->SetResult(token, Failed("the driver's OnD0Entry(" + std::to_string(from) + ")", hr) +
                                       "; the device stays in low power");
        return;
    }
    SetState(DeviceState::kWorking, WdfPowerDeviceD0);
    HostStep step;
    Keep(step, device->CallSelfManagedIoRestart(), "the driver's OnSelfManagedIoRestart");
    policy.EnterD0();
    m_record->SetResult(token, step.ok() ? HresultText(S_OK) : step.message);
}

platform::ComPtr<CHostDevice> DriverHost::Device() const
{
    std::lock_guard guard(m_deviceMutex);
    return m_device;
}

HRESULT DriverHost::OpenFile(FileAccess access, platform::ComPtr<CHostFile>* file)
{
    return OpenFile(access, nullptr, file);
}

HRESULT DriverHost::OpenFile(FileAccess access, ClientEventHandler events, platform::ComPtr<CHostFile>* file)
{
    const auto device = Device();
    if (!device) {
        if (file != nullptr) *file = nullptr;
        return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
    }
    return device->OpenFile(access, file, std::move(events));
}

void DriverHost::DeviceIoControl(CHostFile* file, ULONG controlCode, std::span<const BYTE> input, SIZE_T outputLength,
                                 IoCompletionHandler done, ClaimedIoRequest* dispatchHere)
{
    const auto device = Device();
    if (!device) {
        if (done) done(IoResult{HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED), 0, {}});
        return;
    }
    device->DeviceIoControl(file, controlCode, input, outputLength, std::move(done), dispatchHere);
}

IoResult DriverHost::DeviceIoControl(CHostFile* file, ULONG controlCode, std::span<const BYTE> input,
                                     SIZE_T outputLength)
{
    const auto device = Device();
    if (!device) return IoResult{HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED), 0, {}};
    return device->DeviceIoControl(file, controlCode, input, outputLength);
}

HRESULT DriverHost::CloseFile(CHostFile* file, std::function<void()> done)
{
    const auto device = Device();
    if (!device) return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
    return device->CloseFile(file, std::move(done));
}

HRESULT DriverHost::CloseFile(CHostFile* file)
{
    const auto device = Device();
    if (!device) return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
    return device->CloseFile(file);
}

}  // namespace platform::host
