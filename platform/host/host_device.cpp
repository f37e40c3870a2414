#include "host/host_device.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "platform_support/wait.h"
#include "platform_support/fault_point.h"
#include "platform_support/wait.h"
#include "device_property_store.h"
#include "host_io_queue.h"
#include "host_io_request.h"
#include "host_named_property_store.h"
#include "host_workers.h"
#include "idle_policy.h"
#include "platform/kernel/last_error.h"
#include "record_text.h"
#include "sim/device_tree.h"
#include "sim/state_directory.h"

namespace platform::host {
namespace {

HRESULT InjectedFailure(std::string_view point)
{
    const auto error = support::CheckFault(point, static_cast<std::uint32_t>(E_OUTOFMEMORY));
    return error ? static_cast<HRESULT>(*error) : S_OK;
}

std::string ReferenceText(PCWSTR reference)
{
    return reference != nullptr ? "\"" + Utf8(reference) + "\"" : std::string("null");
}

std::string FileLabel(const CHostFile& file)
{
    return "file#" + std::to_string(file.Id());
}

const char* AccessText(FileAccess access)
{
    return access == FileAccess::kRead ? "read" : "read-write";
}

std::string IdleSettingsText(const WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& s)
{
    return "Size=" + std::to_string(s.Size) + " IdleCaps=" + std::to_string(s.IdleCaps) +
           " DxState=" + std::to_string(s.DxState) + " IdleTimeout=" + std::to_string(s.IdleTimeout) +
           " UserControlOfIdleSettings=" + std::to_string(s.UserControlOfIdleSettings) +
           " Enabled=" + std::to_string(s.Enabled) +
           " PowerUpIdleDeviceOnSystemWake=" + std::to_string(s.PowerUpIdleDeviceOnSystemWake) +
           " IdleTimeoutType=" + std::to_string(s.IdleTimeoutType);
}

bool ValidIdleSettings(const WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& s)
{
    const auto triState = [](WDF_TRI_STATE value) { return value <= WdfUseDefault; };
    return s.Size == sizeof(WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS) && s.IdleCaps >= IdleCannotWakeFromS0 &&
           s.IdleCaps <= IdleUsbSelectiveSuspend && s.DxState >= PowerDeviceD1 && s.DxState <= PowerDeviceD3 &&
           s.UserControlOfIdleSettings >= IdleDoNotAllowUserControl &&
           s.UserControlOfIdleSettings <= IdleAllowUserControl && triState(s.Enabled) &&
           triState(s.PowerUpIdleDeviceOnSystemWake) && s.IdleTimeoutType <= SystemManagedIdleTimeoutWithHint;
}

// The access a control code asks for: bits 14 and 15, 1 for read and 2 for write.
constexpr ULONG RequiredAccess(ULONG controlCode)
{
    return (controlCode >> 14) & 3u;
}

// One waiting caller of a blocking operation; guarded by KernelLock().
template <class Result>
struct Completion {
    bool done = false;
    Result result{};
};

}  // namespace

HRESULT CHostDevice::Create(const HostDeviceOptions& options, IUnknown* callbackObject,
                            platform::ComPtr<CHostDevice>* device)
{
    if (device == nullptr) return E_POINTER;
    *device = nullptr;
    try {
        auto record = options.record ? options.record : std::make_shared<HostRecord>();
        platform::ComPtr<CHostDevice> made(
            new CHostDevice(options, std::move(record), HostWorkers::Create(), std::make_shared<IdlePolicy>()));
        if (callbackObject != nullptr) {
            platform::ComPtr<IUnknown> object(callbackObject);
            Callbacks callbacks;
            object.As(&callbacks.pnp);
            object.As(&callbacks.hardware);
            object.As(&callbacks.selfManagedIo);
            object.As(&callbacks.fileCleanup);
            std::lock_guard guard(made->m_callbacksMutex);
            made->m_callbacks = std::move(callbacks);
        }
        *device = std::move(made);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

CHostDevice::CHostDevice(const HostDeviceOptions& options, std::shared_ptr<HostRecord> record,
                         std::shared_ptr<HostWorkers> workers, std::shared_ptr<IdlePolicy> idle)
    : m_record(std::move(record)),
      m_workers(std::move(workers)),
      m_idle(std::move(idle)),
      m_powerPolicyOwner(options.powerPolicyOwner),
      m_maxDispatchThreads(options.maxDispatchThreads)
{
}

CHostDevice::~CHostDevice() = default;

// ---- IWDFDevice ----

HRESULT STDMETHODCALLTYPE CHostDevice::RetrieveDeviceInstanceId(PWSTR Buffer, DWORD* pdwSizeInChars)
{
    static constexpr std::string_view kName = "IWDFDevice::RetrieveDeviceInstanceId";
    const auto token = m_record->Add(
        RecordKind::kDriverCall, std::string(kName),
        Buffer == nullptr ? std::string("buffer=null")
                          : "buffer size=" + (pdwSizeInChars != nullptr ? std::to_string(*pdwSizeInChars) : "null"));
    std::u16string id;
    const HRESULT hr = [&] {
        if (pdwSizeInChars == nullptr) return E_POINTER;
        RETURN_IF_FAILED(InjectedFailure(kName));
        const auto entry = sim::HostedDevice();
        if (!entry) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        id = entry->instanceId;
        const DWORD needed = static_cast<DWORD>(id.size() + 1);
        if (Buffer != nullptr && *pdwSizeInChars < needed) {
            *pdwSizeInChars = needed;
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        }
        if (Buffer != nullptr) std::memcpy(Buffer, id.c_str(), needed * sizeof(WCHAR));
        *pdwSizeInChars = needed;
        return S_OK;
    }();
    std::string result = HresultText(hr);
    if (pdwSizeInChars != nullptr && (SUCCEEDED(hr) || hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER))) {
        result += " size=" + std::to_string(*pdwSizeInChars);
    }
    if (SUCCEEDED(hr) && Buffer != nullptr) result += " \"" + Utf8(id) + "\"";
    m_record->SetResult(token, std::move(result));
    return hr;
}

HRESULT STDMETHODCALLTYPE CHostDevice::CreateIoQueue(IUnknown* pCallbackInterface, BOOL bDefaultQueue,
                                                     WDF_IO_QUEUE_DISPATCH_TYPE DispatchType, BOOL bPowerManaged,
                                                     BOOL bAllowZeroLengthRequests, IWDFIoQueue** ppIoQueue)
{
    static constexpr std::string_view kName = "IWDFDevice::CreateIoQueue";
    const auto token = m_record->Add(
        RecordKind::kDriverCall, std::string(kName),
        std::string("default=") + BoolText(bDefaultQueue) + " dispatch=" + std::to_string(DispatchType) +
            " powerManaged=" + BoolText(bPowerManaged) + " allowZeroLength=" + BoolText(bAllowZeroLengthRequests));
    std::string made;
    const HRESULT hr = [&]() -> HRESULT {
        if (ppIoQueue == nullptr) return E_POINTER;
        *ppIoQueue = nullptr;
        if (pCallbackInterface == nullptr) return E_INVALIDARG;
        if (DispatchType < WdfIoQueueDispatchSequential || DispatchType > WdfIoQueueDispatchManual) {
            return E_INVALIDARG;
        }
        // The host dispatches in parallel and never holds requests for D0.
        if (DispatchType != WdfIoQueueDispatchParallel || bPowerManaged) return E_NOTIMPL;
        RETURN_IF_FAILED(InjectedFailure(kName));

        platform::ComPtr<IQueueCallbackDeviceIoControl> ioControl;
        platform::ComPtr<IUnknown>(pCallbackInterface).As(&ioControl);
        const bool answersIoControl = static_cast<bool>(ioControl);
        try {
            std::lock_guard guard(m_queuesMutex);
            if (bDefaultQueue && m_defaultQueue) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
            platform::ComPtr<CHostIoQueue> queue(new CHostIoQueue(m_record, m_workers, m_nextQueueId++,
                                                                  std::move(ioControl), bDefaultQueue != FALSE,
                                                                  m_maxDispatchThreads));
            if (bDefaultQueue) {
                m_defaultQueue = queue;
            } else {
                m_otherQueues.push_back(queue);
            }
            made = queue->Label();
            if (!answersIoControl) made += " (its callback object answers no IQueueCallbackDeviceIoControl)";
            *ppIoQueue = queue.Detach();
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }();
    m_record->SetResult(token, made.empty() ? HresultText(hr) : HresultText(hr) + " " + made);
    return hr;
}

void STDMETHODCALLTYPE CHostDevice::GetDefaultIoQueue(IWDFIoQueue** ppWdfIoQueue)
{
    const auto token = m_record->Add(RecordKind::kDriverCall, "IWDFDevice::GetDefaultIoQueue");
    if (ppWdfIoQueue == nullptr) {
        m_record->Add(RecordKind::kDriverError, "IWDFDevice::GetDefaultIoQueue", {}, "null out pointer");
        return;
    }
    platform::ComPtr<CHostIoQueue> queue = DefaultQueue();
    m_record->SetResult(token, queue ? queue->Label() : "none");
    *ppWdfIoQueue = queue.Detach();
}

HRESULT STDMETHODCALLTYPE CHostDevice::CreateDeviceInterface(const GUID* pDeviceInterfaceGuid, PCWSTR pReferenceString)
{
    static constexpr std::string_view kName = "IWDFDevice::CreateDeviceInterface";
    const auto token =
        m_record->Add(RecordKind::kDriverCall, std::string(kName),
                      (pDeviceInterfaceGuid != nullptr ? GuidToString(*pDeviceInterfaceGuid) : std::string("null")) +
                          " reference=" + ReferenceText(pReferenceString));
    const HRESULT hr = [&] {
        if (pDeviceInterfaceGuid == nullptr) return E_INVALIDARG;
        RETURN_IF_FAILED(InjectedFailure(kName));
        const std::u16string reference = pReferenceString != nullptr ? pReferenceString : u"";
        std::lock_guard guard(m_stateMutex);
        if (FindInterfaceLocked(*pDeviceInterfaceGuid, reference) == nullptr) {
            m_deviceInterfaces.push_back({*pDeviceInterfaceGuid, reference, false});
        }
        return S_OK;
    }();
    m_record->SetResult(token, HresultText(hr));
    return hr;
}

HRESULT STDMETHODCALLTYPE CHostDevice::AssignDeviceInterfaceState(const GUID* pDeviceInterfaceGuid,
                                                                  PCWSTR pReferenceString, BOOL Enable)
{
    static constexpr std::string_view kName = "IWDFDevice::AssignDeviceInterfaceState";
    const auto token =
        m_record->Add(RecordKind::kDriverCall, std::string(kName),
                      (pDeviceInterfaceGuid != nullptr ? GuidToString(*pDeviceInterfaceGuid) : std::string("null")) +
                          " reference=" + ReferenceText(pReferenceString) + " enable=" + BoolText(Enable));
    const HRESULT hr = [&] {
        if (pDeviceInterfaceGuid == nullptr) return E_INVALIDARG;
        RETURN_IF_FAILED(InjectedFailure(kName));
        std::lock_guard guard(m_stateMutex);
        DeviceInterfaceState* state =
            FindInterfaceLocked(*pDeviceInterfaceGuid, pReferenceString != nullptr ? pReferenceString : u"");
        if (state == nullptr) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        state->enabled = Enable != FALSE;
        return S_OK;
    }();
    m_record->SetResult(token, HresultText(hr));
    return hr;
}

// ---- IWDFDevice2 ----

void STDMETHODCALLTYPE CHostDevice::StopIdle(BOOL fWaitForD0)
{
    const auto token = m_record->Add(RecordKind::kDriverCall, "IWDFDevice2::StopIdle",
                                     std::string("fWaitForD0=") + BoolText(fWaitForD0));
    const LONG references = m_idle->TakeReference();
    m_record->SetResult(token, "references=" + std::to_string(references));
    if (fWaitForD0 && !m_idle->WaitUntilNotIdle()) {
        m_record->Add(RecordKind::kDriverError, "IWDFDevice2::StopIdle", "fWaitForD0=TRUE",
                      "called on the thread of a power change, which it would wait for; not waited");
    }
}

void STDMETHODCALLTYPE CHostDevice::ResumeIdle()
{
    const auto token = m_record->Add(RecordKind::kDriverCall, "IWDFDevice2::ResumeIdle");
    LONG references = 0;
    const bool matched = m_idle->DropReference(&references);
    m_record->SetResult(token, "references=" + std::to_string(references));
    if (!matched) {
        m_record->Add(RecordKind::kDriverError, "IWDFDevice2::ResumeIdle", {},
                      "no power reference is outstanding; ignored");
    }
}

HRESULT STDMETHODCALLTYPE CHostDevice::RetrieveDevicePropertyStore(PCWSTR pcwszServiceName,
                                                                   WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                                                   IWDFNamedPropertyStore** ppPropStore,
                                                                   WDF_PROPERTY_STORE_DISPOSITION* pDisposition)
{
    static constexpr std::string_view kName = "IWDFDevice2::RetrieveDevicePropertyStore";
    const auto token = m_record->Add(
        RecordKind::kDriverCall, std::string(kName),
        "service=" + ReferenceText(pcwszServiceName) + " flags=" + std::to_string(static_cast<ULONG>(Flags)));
    bool created = false;
    const HRESULT hr = [&]() -> HRESULT {
        if (ppPropStore == nullptr) return E_POINTER;
        *ppPropStore = nullptr;
        // Only the device's own store exists here; stores of other services do not.
        if (pcwszServiceName != nullptr) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
        if ((Flags & ~WdfPropertyStoreCreateIfMissing) != 0) return E_INVALIDARG;
        RETURN_IF_FAILED(InjectedFailure(kName));
        try {
            std::shared_ptr<DevicePropertyStore> store;
            {
                std::lock_guard guard(m_stateMutex);
                if (!m_propertyStore) {
                    const std::filesystem::path directory = sim::StateDirectory();
                    auto opened = std::make_shared<DevicePropertyStore>(
                        directory.empty() ? std::filesystem::path() : directory / DevicePropertyStore::kFileName);
                    const sim::StateFileLoad load = opened->Load();
                    if (!load.problem.empty()) {
                        m_propertyStoreProblem = load.problem;
                        m_record->Add(RecordKind::kHostEvent, "LoadDevicePropertyStore", opened->File().string(),
                                      load.problem);
                    }
                    // A file that could not be read is never replaced: the store stays closed.
                    if (load.outcome == sim::StateFileOutcome::kUnreadable) return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
                    if (load.outcome == sim::StateFileOutcome::kMissing ||
                        load.outcome == sim::StateFileOutcome::kReset) {
                        if ((Flags & WdfPropertyStoreCreateIfMissing) == 0)
                            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
                        RETURN_IF_FAILED(opened->Save());
                        created = true;
                    }
                    m_propertyStore = std::move(opened);
                }
                store = m_propertyStore;
            }
            *ppPropStore =
                platform::ComPtr<CHostNamedPropertyStore>(new CHostNamedPropertyStore(m_record, store)).Detach();
            if (pDisposition != nullptr) *pDisposition = created ? CreatedNewStore : OpenedExistingStore;
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }();
    m_record->SetResult(token, SUCCEEDED(hr) ? HresultText(hr) + (created ? " created" : " opened") : HresultText(hr));
    return hr;
}

// ---- IWDFDevice3 ----

HRESULT STDMETHODCALLTYPE CHostDevice::AssignS0IdleSettingsEx(PWUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS IdleSettings)
{
    static constexpr std::string_view kName = "IWDFDevice3::AssignS0IdleSettingsEx";
    const auto token = m_record->Add(RecordKind::kDriverCall, std::string(kName),
                                     IdleSettings != nullptr ? IdleSettingsText(*IdleSettings) : "null");
    const HRESULT hr = [&] {
        if (IdleSettings == nullptr || !ValidIdleSettings(*IdleSettings)) return E_INVALIDARG;
        RETURN_IF_FAILED(InjectedFailure(kName));
        // Idle settings belong to the power policy owner.
        if (!m_powerPolicyOwner) return HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION);
        m_idle->SetSettings(*IdleSettings);
        m_record->SetLastIdleSettings(*IdleSettings);
        return S_OK;
    }();
    m_record->SetResult(token, HresultText(hr));
    return hr;
}

// ---- Device callbacks ----

template <class Interface, class Call>
HRESULT CHostDevice::CallBack(const platform::ComPtr<Interface>& callback, const char* name, std::string arguments,
                              Call call)
{
    if (!callback) return S_OK;
    const auto token = m_record->Add(RecordKind::kCallback, name, std::move(arguments));
    if constexpr (std::is_void_v<decltype(call(callback.Get()))>) {
        (void)token;
        call(callback.Get());
        return S_OK;
    } else {
        const HRESULT hr = call(callback.Get());
        m_record->SetResult(token, HresultText(hr));
        return hr;
    }
}

HRESULT CHostDevice::CallPrepareHardware()
{
    return CallBack(CopyCallbacks().hardware, "IPnpCallbackHardware::OnPrepareHardware", {},
                    [this](IPnpCallbackHardware* callback) { return callback->OnPrepareHardware(this); });
}

HRESULT CHostDevice::CallReleaseHardware()
{
    return CallBack(CopyCallbacks().hardware, "IPnpCallbackHardware::OnReleaseHardware", {},
                    [this](IPnpCallbackHardware* callback) { return callback->OnReleaseHardware(this); });
}

HRESULT CHostDevice::CallD0Entry(WDF_POWER_DEVICE_STATE previousState)
{
    return CallBack(CopyCallbacks().pnp, "IPnpCallback::OnD0Entry", "previousState=" + std::to_string(previousState),
                    [this, previousState](IPnpCallback* callback) { return callback->OnD0Entry(this, previousState); });
}

HRESULT CHostDevice::CallD0Exit(WDF_POWER_DEVICE_STATE targetState)
{
    return CallBack(CopyCallbacks().pnp, "IPnpCallback::OnD0Exit", "targetState=" + std::to_string(targetState),
                    [this, targetState](IPnpCallback* callback) { return callback->OnD0Exit(this, targetState); });
}

void CHostDevice::CallSurpriseRemoval()
{
    CallBack(CopyCallbacks().pnp, "IPnpCallback::OnSurpriseRemoval", {},
             [this](IPnpCallback* callback) { callback->OnSurpriseRemoval(this); });
}

HRESULT CHostDevice::CallSelfManagedIoInit()
{
    return CallBack(CopyCallbacks().selfManagedIo, "IPnpCallbackSelfManagedIo::OnSelfManagedIoInit", {},
                    [this](IPnpCallbackSelfManagedIo* callback) { return callback->OnSelfManagedIoInit(this); });
}

HRESULT CHostDevice::CallSelfManagedIoSuspend()
{
    return CallBack(CopyCallbacks().selfManagedIo, "IPnpCallbackSelfManagedIo::OnSelfManagedIoSuspend", {},
                    [this](IPnpCallbackSelfManagedIo* callback) { return callback->OnSelfManagedIoSuspend(this); });
}

HRESULT CHostDevice::CallSelfManagedIoRestart()
{
    return CallBack(CopyCallbacks().selfManagedIo, "IPnpCallbackSelfManagedIo::OnSelfManagedIoRestart", {},
                    [this](IPnpCallbackSelfManagedIo* callback) { return callback->OnSelfManagedIoRestart(this); });
}

void CHostDevice::CallSelfManagedIoFlush()
{
    CallBack(CopyCallbacks().selfManagedIo, "IPnpCallbackSelfManagedIo::OnSelfManagedIoFlush", {},
             [this](IPnpCallbackSelfManagedIo* callback) { callback->OnSelfManagedIoFlush(this); });
}

void CHostDevice::CallSelfManagedIoCleanup()
{
    CallBack(CopyCallbacks().selfManagedIo, "IPnpCallbackSelfManagedIo::OnSelfManagedIoCleanup", {},
             [this](IPnpCallbackSelfManagedIo* callback) { callback->OnSelfManagedIoCleanup(this); });
}

// ---- Device I/O ----

HRESULT CHostDevice::OpenFile(FileAccess access, platform::ComPtr<CHostFile>* file, ClientEventHandler events)
{
    if (file == nullptr) return E_POINTER;
    *file = nullptr;
    try {
        std::uint64_t id = 0;
        {
            std::lock_guard guard(m_stateMutex);
            if (m_removed) return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
            id = m_nextFileId++;
        }
        const bool takesEvents = static_cast<bool>(events);
        *file = platform::ComPtr<CHostFile>(new CHostFile(id, this, access, std::move(events)));
        m_record->Add(RecordKind::kHostEvent, "OpenFile",
                      FileLabel(*file->Get()) + " access=" + AccessText(access) + (takesEvents ? " events" : ""));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void CHostDevice::DeviceIoControl(CHostFile* file, ULONG controlCode, std::span<const BYTE> input, SIZE_T outputLength,
                                  IoCompletionHandler done, ClaimedIoRequest* dispatchHere)
{
    const auto refuse = [&](HRESULT status, const std::string& why) {
        const std::string arguments =
            (file != nullptr ? FileLabel(*file) : std::string("file=null")) + " code=" + Hex32(controlCode);
        m_record->Add(RecordKind::kHostEvent, "RefuseRequest", arguments + " status=" + HresultText(status), why);
        if (done) done(IoResult{status, 0, {}});
    };
    if (file == nullptr || file->Device() != this || file->IsClosed()) {
        return refuse(E_HANDLE, "the file is not open on this device");
    }
    const ULONG allowed = file->Access() == FileAccess::kRead ? 1u : 3u;
    if ((RequiredAccess(controlCode) & ~allowed) != 0) {
        return refuse(E_ACCESSDENIED, std::string("the control code needs ") +
                                          (RequiredAccess(controlCode) == 3 ? "read-write" : "write") +
                                          " access; the file was opened for " + AccessText(file->Access()));
    }
    std::uint64_t id = 0;
    {
        std::lock_guard guard(m_stateMutex);
        if (m_removed) {
            id = 0;
        } else {
            id = m_nextRequestId++;
        }
    }
    if (id == 0) return refuse(HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED), "the device is removed");
    platform::ComPtr<CHostIoQueue> queue = DefaultQueue();
    if (!queue) return refuse(HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION), "the device has no default queue");

    platform::ComPtr<CHostIoRequest> request;
    const HRESULT hr = CHostIoRequest::Create(m_record, id, platform::ComPtr<CHostFile>(file), controlCode, input,
                                              outputLength, done, &request);
    if (FAILED(hr)) return refuse(hr, "the request's buffers could not be had");
    queue->Submit(std::move(request), dispatchHere);
}

IoResult CHostDevice::DeviceIoControl(CHostFile* file, ULONG controlCode, std::span<const BYTE> input,
                                      SIZE_T outputLength)
{
    auto completion = std::make_shared<Completion<IoResult>>();
    DeviceIoControl(file, controlCode, input, outputLength, [completion](IoResult result) {
        std::lock_guard kernel(support::KernelLock());
        completion->result = std::move(result);
        completion->done = true;
        support::WakeWaitersLocked();
    });
    std::unique_lock kernel(support::KernelLock());
    support::BlockUntil(
        kernel, [&completion] { return completion->done; }, support::kNever);
    return std::move(completion->result);
}

HRESULT CHostDevice::CloseFile(CHostFile* file, std::function<void()> done)
{
    if (file == nullptr || file->Device() != this || !file->MarkClosed()) return E_HANDLE;
    m_record->Add(RecordKind::kHostEvent, "CloseFile", FileLabel(*file));
    std::function<void()> work = [device = platform::ComPtr<CHostDevice>(this),
                                  held = platform::ComPtr<CHostFile>(file), done = std::move(done)]() mutable {
        device->RunCleanup(held);
        held->StopEvents();
        held = nullptr;  // the host's reference goes before the caller hears of it
        if (done) done();
    };
    const auto started = m_workers->Post(work);
    if (started != HostWorkers::StartResult::kStarted) {
        // The cleanup must happen whatever the thread supply: without a host thread it runs here.
        // After removal the driver's callbacks are gone, and only the reference is released.
        m_record->Add(RecordKind::kHostEvent, "CloseFile", FileLabel(*file),
                      started == HostWorkers::StartResult::kClosed ? "the device is removed; no cleanup callback"
                                                                   : "no host thread could be started; cleanup runs on "
                                                                     "the closing thread");
        work();
    }
    return S_OK;
}

HRESULT CHostDevice::CloseFile(CHostFile* file)
{
    auto completion = std::make_shared<Completion<bool>>();
    const HRESULT hr = CloseFile(file, [completion] {
        std::lock_guard kernel(support::KernelLock());
        completion->done = true;
        support::WakeWaitersLocked();
    });
    if (FAILED(hr)) return hr;
    std::unique_lock kernel(support::KernelLock());
    support::BlockUntil(
        kernel, [&completion] { return completion->done; }, support::kNever);
    return S_OK;
}

void CHostDevice::RunCleanup(const platform::ComPtr<CHostFile>& file)
{
    CallBack(CopyCallbacks().fileCleanup, "IFileCallbackCleanup::OnCleanupFile", FileLabel(*file.Get()),
             [&file](IFileCallbackCleanup* callback) { callback->OnCleanupFile(file.Get()); });
}

void CHostDevice::RefuseNewIo()
{
    std::lock_guard guard(m_stateMutex);
    m_removed = true;
}

void CHostDevice::ReleaseDriverReferences()
{
    RefuseNewIo();
    m_workers->Close();
    m_workers->WaitForAll();

    Callbacks released;
    {
        std::lock_guard guard(m_callbacksMutex);
        std::swap(released, m_callbacks);
    }
    std::vector<platform::ComPtr<CHostIoQueue>> queues;
    {
        std::lock_guard guard(m_queuesMutex);
        if (m_defaultQueue) queues.push_back(m_defaultQueue);
        queues.insert(queues.end(), m_otherQueues.begin(), m_otherQueues.end());
    }
    for (const auto& queue : queues) queue->ReleaseCallback();
    m_record->Add(RecordKind::kHostEvent, "ReleaseDriverReferences");
}

// ---- State ----

bool CHostDevice::HasDefaultQueue() const
{
    return static_cast<bool>(DefaultQueue());
}

LONG CHostDevice::PowerReferenceCount() const
{
    return m_idle->References();
}

std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> CHostDevice::IdleSettings() const
{
    return m_idle->Settings();
}

std::optional<bool> CHostDevice::DeviceInterfaceEnabled(const GUID& interfaceClass, std::u16string_view reference) const
{
    std::lock_guard guard(m_stateMutex);
    for (const auto& state : m_deviceInterfaces) {
        if (state.interfaceClass == interfaceClass && state.reference == reference) return state.enabled;
    }
    return std::nullopt;
}

std::string CHostDevice::PropertyStoreProblem() const
{
    std::lock_guard guard(m_stateMutex);
    return m_propertyStoreProblem;
}

CHostDevice::Callbacks CHostDevice::CopyCallbacks() const
{
    std::lock_guard guard(m_callbacksMutex);
    return m_callbacks;
}

platform::ComPtr<CHostIoQueue> CHostDevice::DefaultQueue() const
{
    std::lock_guard guard(m_queuesMutex);
    return m_defaultQueue;
}

CHostDevice::DeviceInterfaceState* CHostDevice::FindInterfaceLocked(const GUID& interfaceClass,
                                                                    std::u16string_view reference)
{
    for (auto& state : m_deviceInterfaces) {
        if (state.interfaceClass == interfaceClass && state.reference == reference) return &state;
    }
    return nullptr;
}

}  // namespace platform::host
