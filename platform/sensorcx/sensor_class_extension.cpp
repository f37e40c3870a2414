// The sensor class extension: the built-in class CLSID_SensorClassExtension. It decodes the
// portable-device message requests of clients (transport/sensor_protocol.h), calls the driver's
// sensor-driver callbacks, encodes the results into the request's output buffer, keeps which files
// connected and subscribed to which sensors, and delivers events and state changes to the
// subscribed files through their IClientEventSink; Uninitialize tells each subscribed file that
// its sensors left.
//
// Guards:
//  - KernelLock() guards the binding state, the driver reference and the counts of calls under way
//    (driver calls and event deliveries, in all and per file), so that Uninitialize and
//    CleanupFile wait for them through BlockUntil.
//  - m_clientsLock guards the client records.
// Neither is ever held while the driver, a file or a client's event sink is called: the driver
// posts state changes from inside its callbacks, and a sink may call back.
#include "platform/sensorcx/sensor_class_extension.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/class_table.h"
#include "core/clock.h"
#include "core/wait.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/sensorcx/sensor_driver.h"
#include "platform_support/text_coding.h"
#include "sensorcx/call_record.h"
#include "sensorcx/send_helper.h"
#include "transport/client_events.h"
#include "transport/protocol_values.h"
#include "transport/sensor_protocol.h"
#include "transport/values_codec.h"
#include "wpd/collections.h"

namespace platform::detail {
namespace {

using testing::SensorCxCall;
using testing::SensorCxCallRecord;
using transport::SensorCommand;

constexpr HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
constexpr HRESULT kShuttingDown = HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS);
constexpr HRESULT kMoreData = HRESULT_FROM_WIN32(ERROR_MORE_DATA);

// Object IDs compare with the letter case of ASCII letters ignored, as the driver compares them.
bool SameId(std::u16string_view a, std::u16string_view b)
{
    const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

bool IsClientCommand(ULONG command)
{
    return command >= static_cast<ULONG>(SensorCommand::kConnect) &&
           command <= static_cast<ULONG>(SensorCommand::kUnsubscribe);
}

bool IsKnownCommand(ULONG command)
{
    return command >= static_cast<ULONG>(SensorCommand::kGetSupportedSensorObjects) &&
           command <= static_cast<ULONG>(SensorCommand::kUnsubscribe);
}

IUnknown* Identity(IUnknown* object, ComPtr<IUnknown>* holder)
{
    if (object == nullptr ||
        FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(holder->GetAddressOf())))) {
        return nullptr;
    }
    return holder->Get();
}

// A decoded request.
struct Parameters {
    std::optional<ULONG> command;
    support::TerminatedText objectId;
    ComPtr<IPortableDeviceValues> all;
    ComPtr<IPortableDeviceKeyCollection> keys;  // get properties, get data fields
    ComPtr<IPortableDeviceValues> toWrite;      // set properties
};

// Reads the parameters document; fills what it could read even when it fails.
HRESULT DecodeParameters(IWDFIoRequest* request, Parameters* out)
{
    ComPtr<IWDFMemory> input;
    request->GetInputMemory(input.GetAddressOf());
    SIZE_T size = 0;
    const void* data = input ? input->GetDataBuffer(&size) : nullptr;
    if (data == nullptr) size = 0;
    RETURN_IF_FAILED(
        transport::DecodeValues(std::span(static_cast<const std::uint8_t*>(data), size), out->all.GetAddressOf()));
    IPortableDeviceValues* all = out->all.Get();

    ULONG command = 0;
    HRESULT hr = all->GetUnsignedIntegerValue(transport::kCommand, &command);
    if (FAILED(hr)) return MissingFieldAs(hr, E_INVALIDARG);
    out->command = command;
    if (!IsKnownCommand(command) || command == static_cast<ULONG>(SensorCommand::kGetSupportedSensorObjects)) {
        return S_OK;
    }

    LPWSTR objectId = nullptr;
    hr = all->GetStringValue(transport::kObjectId, &objectId);
    if (FAILED(hr)) return MissingFieldAs(hr, E_INVALIDARG);
    hr = ReturnOutOfMemoryOnThrow([&] {
        out->objectId.Assign(objectId);
        return S_OK;
    });
    CoTaskMemFree(objectId);
    RETURN_IF_FAILED(hr);

    if (command == static_cast<ULONG>(SensorCommand::kGetProperties) ||
        command == static_cast<ULONG>(SensorCommand::kGetDataFields)) {
        ComPtr<IPortableDeviceValues> requested;
        hr = all->GetIPortableDeviceValuesValue(transport::kRequestedKeys, requested.GetAddressOf());
        if (FAILED(hr)) return MissingFieldAs(hr, E_INVALIDARG);
        return KeysOfValues(requested.Get(), &out->keys);
    }
    if (command == static_cast<ULONG>(SensorCommand::kSetProperties)) {
        hr = all->GetIPortableDeviceValuesValue(transport::kValuesToWrite, out->toWrite.GetAddressOf());
        if (FAILED(hr)) return MissingFieldAs(hr, E_INVALIDARG);
    }
    return S_OK;
}

// A list carried as a values set: entry i under ListItemKey(i).
HRESULT NewList(IPortableDeviceValues* results, REFPROPERTYKEY key, ComPtr<IPortableDeviceValues>* list)
{
    RETURN_IF_FAILED(NewValues(list));
    return results->SetIPortableDeviceValuesValue(key, list->Get());
}

// One client: a file that connected to or subscribed to sensors.
struct ClientRecord {
    ComPtr<IUnknown> identity;                 // the file's IUnknown: the record's key
    ComPtr<IWDFFile> file;                     // as the driver was given it
    ComPtr<transport::IClientEventSink> sink;  // null when the file takes no events
    std::vector<std::u16string> connected;     // object IDs as the client gave them
    std::vector<std::u16string> subscribed;
};

void AddId(std::vector<std::u16string>& ids, std::u16string_view id)
{
    if (std::none_of(ids.begin(), ids.end(), [&](const auto& other) { return SameId(other, id); }))
        ids.emplace_back(id);
}

void RemoveId(std::vector<std::u16string>& ids, std::u16string_view id)
{
    std::erase_if(ids, [&](const auto& other) { return SameId(other, id); });
}

// The calls of class extensions that the current thread has under way: (instance, file). A wait of
// Uninitialize or CleanupFile on this thread leaves them out, so that a call from inside a callback
// does not wait for itself.
thread_local std::vector<std::pair<const void*, const void*>> t_ownCalls;

class CSensorClassExtension final : public ComObject<CSensorClassExtension, ISensorClassExtension> {
public:
    CSensorClassExtension() : m_instance(SensorCxInstanceStarted()) {}

    ~CSensorClassExtension()
    {
        if (m_driver != nullptr) m_driver->Release();
        SensorCxInstanceEnded();
    }

    HRESULT STDMETHODCALLTYPE Initialize(IUnknown* pWdfDeviceUnknown, IUnknown* pSensorDriverUnknown) override
    {
        Record(SensorCxCall::kInitialize, [&](SensorCxCallRecord& r) {
            r.device = pWdfDeviceUnknown;
            r.driver = pSensorDriverUnknown;
        });
        if (pWdfDeviceUnknown == nullptr || pSensorDriverUnknown == nullptr) return E_POINTER;
        ComPtr<ISensorDriver> driver;
        RETURN_IF_FAILED(pSensorDriverUnknown->QueryInterface(iid_of<ISensorDriver>,
                                                              reinterpret_cast<void**>(driver.GetAddressOf())));
        if (!driver) return E_NOINTERFACE;
        {
            std::lock_guard lock(KernelLock());
            if (m_binding != Binding::kUnbound) return E_UNEXPECTED;
            m_driver = driver.Detach();
            m_binding = Binding::kBound;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Uninitialize() override
    {
        Record(SensorCxCall::kUninitialize, [](SensorCxCallRecord&) {});
        ISensorDriver* driver = nullptr;
        {
            std::unique_lock lock(KernelLock());
            if (m_binding == Binding::kUnbound || m_binding == Binding::kBound) {
                m_binding = Binding::kClosing;
                const std::uint32_t own = OwnCalls(nullptr);
                const std::function<bool()> othersDone = [&] { return m_inFlight == own; };
                BlockUntil(lock, othersDone, kNever);
                driver = std::exchange(m_driver, nullptr);
                m_binding = Binding::kClosed;
                WakeWaitersLocked();
            } else {
                // Another thread is unbinding: returns once it is done, with the same promise.
                const std::function<bool()> closed = [&] { return m_binding == Binding::kClosed; };
                BlockUntil(lock, closed, kNever);
            }
        }
        std::vector<ClientRecord> clients;
        {
            std::lock_guard lock(m_clientsLock);
            clients.swap(m_clients);
        }
        if (driver != nullptr) driver->Release();
        // The sensors are gone with the binding: every subscriber hears that its sensor left (a
        // message that cannot be had for want of memory is not sent).
        for (const ClientRecord& client : clients) {
            if (!client.sink) continue;
            for (const std::u16string& id : client.subscribed) {
                std::vector<std::uint8_t> message;
                const HRESULT encoded =
                    ReturnOutOfMemoryOnThrow([&] { return transport::EncodeSensorLeftEvent(id.c_str(), &message); });
                if (SUCCEEDED(encoded)) client.sink->OnSensorEvent(message.data(), message.size());
            }
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ProcessIoControl(IWDFIoRequest* pRequest) override
    {
        if (pRequest == nullptr) return E_POINTER;
        std::pair<HRESULT, SIZE_T> completion{E_OUTOFMEMORY, 0};
        try {
            completion = Process(pRequest);
        } catch (const std::bad_alloc&) {
            completion = {E_OUTOFMEMORY, 0};
        }
        pRequest->CompleteWithInformation(completion.first, completion.second);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE PostEvent(LPWSTR pwszSensorID, IPortableDeviceValuesCollection* pEventCollection) override
    {
        return ReturnOutOfMemoryOnThrow([&] { return Post(pwszSensorID, pEventCollection); });
    }

    HRESULT STDMETHODCALLTYPE PostStateChange(LPWSTR pwszSensorID, SensorState state) override
    {
        return ReturnOutOfMemoryOnThrow([&]() -> HRESULT {
            Record(SensorCxCall::kPostStateChange, [&](SensorCxCallRecord& r) {
                if (pwszSensorID != nullptr) r.objectId = pwszSensorID;
                r.state = state;
            });
            if (pwszSensorID == nullptr) return E_POINTER;
            CallScope scope(*this, nullptr);
            if (!scope.Entered()) return scope.Refusal();
            std::vector<std::uint8_t> message;
            RETURN_IF_FAILED(transport::EncodeStateChangedEvent(pwszSensorID, state, &message));
            Deliver(pwszSensorID, {message});
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE CleanupFile(IWDFFile* pWdfFile) override
    {
        Record(SensorCxCall::kCleanupFile, [&](SensorCxCallRecord& r) { r.file = pWdfFile; });
        if (pWdfFile == nullptr) return E_POINTER;
        return ReturnOutOfMemoryOnThrow([&] { return Cleanup(pWdfFile); });
    }

private:
    enum class Binding { kUnbound, kBound, kClosing, kClosed };

    // Counts one driver call or event delivery as under way while the class extension is bound.
    class CallScope {
    public:
        CallScope(CSensorClassExtension& owner, const IUnknown* file) : m_owner(owner), m_file(file)
        {
            t_ownCalls.emplace_back(&owner, file);  // may throw before anything is counted
            std::lock_guard lock(KernelLock());
            if (owner.m_binding != Binding::kBound) {
                m_refusal = owner.m_binding == Binding::kUnbound ? E_UNEXPECTED : kShuttingDown;
                t_ownCalls.pop_back();
                return;
            }
            if (file != nullptr) {
                const auto it = std::find_if(owner.m_fileCalls.begin(), owner.m_fileCalls.end(),
                                             [&](const auto& entry) { return entry.first == file; });
                if (it != owner.m_fileCalls.end()) {
                    ++it->second;
                } else {
                    try {
                        owner.m_fileCalls.emplace_back(file, 1);
                    } catch (const std::bad_alloc&) {
                        m_refusal = E_OUTOFMEMORY;
                        t_ownCalls.pop_back();
                        return;
                    }
                }
            }
            ++owner.m_inFlight;
            m_driver = owner.m_driver;
        }

        ~CallScope()
        {
            if (m_driver == nullptr) return;
            {
                std::lock_guard lock(KernelLock());
                --m_owner.m_inFlight;
                if (m_file != nullptr) {
                    const auto it = std::find_if(m_owner.m_fileCalls.begin(), m_owner.m_fileCalls.end(),
                                                 [&](const auto& entry) { return entry.first == m_file; });
                    if (--it->second == 0) m_owner.m_fileCalls.erase(it);
                }
                WakeWaitersLocked();
            }
            const auto mine = std::find(t_ownCalls.rbegin(), t_ownCalls.rend(),
                                        std::pair<const void*, const void*>(&m_owner, m_file));
            t_ownCalls.erase(std::next(mine).base());
        }

        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

        bool Entered() const { return m_driver != nullptr; }
        HRESULT Refusal() const { return m_refusal; }
        // Valid while the scope lives: Uninitialize releases the driver only after it ended.
        ISensorDriver* Driver() const { return m_driver; }

    private:
        CSensorClassExtension& m_owner;
        const IUnknown* m_file;
        ISensorDriver* m_driver = nullptr;
        HRESULT m_refusal = S_OK;
    };

    template <class Fill>
    void Record(SensorCxCall call, Fill&& fill) noexcept
    {
        if (!RecordingSensorCxCalls()) return;
        try {
            SensorCxCallRecord record;
            record.instance = m_instance;
            record.call = call;
            fill(record);
            RecordSensorCxCall(std::move(record));
        } catch (const std::bad_alloc&) {
            // A record that cannot be built is dropped; the class extension goes on.
        }
    }

    // Under KernelLock().
    std::uint32_t OwnCalls(const IUnknown* file) const
    {
        return static_cast<std::uint32_t>(std::count_if(t_ownCalls.begin(), t_ownCalls.end(), [&](const auto& call) {
            return call.first == this && (file == nullptr || call.second == file);
        }));
    }

    std::uint32_t FileCallsLocked(const IUnknown* file) const
    {
        const auto it = std::find_if(m_fileCalls.begin(), m_fileCalls.end(),
                                     [&](const auto& entry) { return entry.first == file; });
        return it == m_fileCalls.end() ? 0 : it->second;
    }

    std::vector<ClientRecord>::iterator FindClientLocked(const IUnknown* identity)
    {
        return std::find_if(m_clients.begin(), m_clients.end(),
                            [&](const ClientRecord& c) { return c.identity.Get() == identity; });
    }

    HRESULT Cleanup(IWDFFile* file)
    {
        ComPtr<IUnknown> holder;
        const IUnknown* identity = Identity(file, &holder);
        if (identity == nullptr) return E_NOINTERFACE;

        // Requests of the file still under way on other threads finish first, so that none of them
        // records a connection after the record is gone.
        {
            std::unique_lock lock(KernelLock());
            const std::uint32_t own = OwnCalls(identity);
            const std::function<bool()> othersDone = [&] { return FileCallsLocked(identity) == own; };
            BlockUntil(lock, othersDone, kNever);
        }
        ClientRecord client;
        {
            std::lock_guard lock(m_clientsLock);
            const auto it = FindClientLocked(identity);
            if (it == m_clients.end()) return S_OK;
            client = std::move(*it);
            EraseClientLocked(it);
        }

        // A client that goes away without unsubscribing or disconnecting leaves nothing behind.
        CallScope scope(*this, nullptr);
        if (!scope.Entered()) return S_OK;
        for (std::u16string id : client.subscribed)
            scope.Driver()->OnClientUnsubscribeFromEvents(client.file.Get(), id.data());
        for (std::u16string id : client.connected) scope.Driver()->OnClientDisconnect(client.file.Get(), id.data());
        return S_OK;
    }

    // Decodes, calls the driver, encodes: the request's completion status and information.
    std::pair<HRESULT, SIZE_T> Process(IWDFIoRequest* request)
    {
        ULONG code = 0;
        request->GetDeviceIoControlParameters(&code, nullptr, nullptr);
        ComPtr<IWDFFile> file;
        request->GetFileObject(file.GetAddressOf());
        ComPtr<IUnknown> holder;
        const IUnknown* identity = Identity(file.Get(), &holder);

        if (code != transport::kSensorMessageReadCode && code != transport::kSensorMessageReadWriteCode) {
            Record(SensorCxCall::kProcessIoControl, [&](SensorCxCallRecord& r) {
                r.controlCode = code;
                r.file = file.Get();
            });
            return {kNotSupported, 0};
        }
        Parameters parameters;
        const HRESULT decoded = DecodeParameters(request, &parameters);
        Record(SensorCxCall::kProcessIoControl, [&](SensorCxCallRecord& r) {
            r.controlCode = code;
            r.file = file.Get();
            r.command = parameters.command;
            r.objectId = parameters.objectId.View();
        });
        if (FAILED(decoded)) return {decoded, 0};
        if (identity == nullptr) return {E_HANDLE, 0};
        const ULONG command = *parameters.command;
        if (command == static_cast<ULONG>(SensorCommand::kSetProperties) &&
            code != transport::kSensorMessageReadWriteCode) {
            return {E_ACCESSDENIED, 0};
        }

        ComPtr<IWDFMemory> output;
        request->GetOutputMemory(output.GetAddressOf());
        SIZE_T capacity = 0;
        void* buffer = output ? output->GetDataBuffer(&capacity) : nullptr;
        if (buffer == nullptr) capacity = 0;
        // These change the driver's client records: refused before they run, so that the client's
        // retry with a larger buffer does not run them twice.
        if (IsClientCommand(command) && capacity < transport::kStatusOnlyResultsSize) {
            return {kMoreData, transport::kStatusOnlyResultsSize};
        }

        std::vector<std::uint8_t> bytes;
        const HRESULT hr = [&]() -> HRESULT {
            CallScope scope(*this, identity);
            if (!scope.Entered()) return scope.Refusal();
            ComPtr<IPortableDeviceValues> results;
            RETURN_IF_FAILED(NewValues(&results));
            // The status comes first in the document; its value is set once the callback returned.
            RETURN_IF_FAILED(results->SetErrorValue(transport::kStatus, E_FAIL));
            HRESULT callbackResult = E_FAIL;
            RETURN_IF_FAILED(CallDriver(scope.Driver(), file.Get(), parameters, results.Get(), &callbackResult));
            RETURN_IF_FAILED(results->SetErrorValue(transport::kStatus, callbackResult));
            // Recorded before the scope ends, so that a cleanup of the file waiting for this request
            // finds the record.
            if (IsClientCommand(command) && SUCCEEDED(callbackResult)) {
                UpdateClient(holder, file, static_cast<SensorCommand>(command), parameters.objectId.View());
            }
            return transport::EncodeValues(results.Get(), &bytes);
        }();
        if (FAILED(hr)) return {hr, 0};
        if (bytes.size() > capacity) return {kMoreData, bytes.size()};
        std::memcpy(buffer, bytes.data(), bytes.size());
        return {S_OK, bytes.size()};
    }

    // Calls the callback of the command and puts what it handed back into the results. Returns the
    // status of building the results; the callback's HRESULT goes to *callbackResult.
    static HRESULT CallDriver(ISensorDriver* driver, IWDFFile* file, const Parameters& parameters,
                              IPortableDeviceValues* results, HRESULT* callbackResult)
    {
        support::TerminatedText objectId = parameters.objectId;  // the driver's own copy
        LPWSTR id = objectId.Get();
        switch (static_cast<SensorCommand>(*parameters.command)) {
            case SensorCommand::kGetSupportedSensorObjects: {
                ComPtr<IPortableDeviceValuesCollection> objects;
                *callbackResult = driver->OnGetSupportedSensorObjects(objects.GetAddressOf());
                return objects ? AddObjects(objects.Get(), results) : S_OK;
            }
            case SensorCommand::kGetSupportedProperties:
            case SensorCommand::kGetSupportedDataFields: {
                ComPtr<IPortableDeviceKeyCollection> keys;
                *callbackResult = *parameters.command == static_cast<ULONG>(SensorCommand::kGetSupportedProperties)
                                      ? driver->OnGetSupportedProperties(id, keys.GetAddressOf())
                                      : driver->OnGetSupportedDataFields(id, keys.GetAddressOf());
                if (!keys) return S_OK;
                ComPtr<IPortableDeviceValues> list;
                RETURN_IF_FAILED(NewList(results, transport::kKeysResult, &list));
                return AddKeysAsEmptyValues(keys.Get(), list.Get());
            }
            case SensorCommand::kGetSupportedEvents: {
                GUID* events = nullptr;
                ULONG count = 0;
                *callbackResult = driver->OnGetSupportedEvents(id, &events, &count);
                const std::unique_ptr<GUID, decltype(&CoTaskMemFree)> owned(events, &CoTaskMemFree);
                if (events == nullptr) return S_OK;
                if (count > transport::kMaxEntriesPerCollection) return transport::kEncodingTooLarge;
                ComPtr<IPortableDeviceValues> list;
                RETURN_IF_FAILED(NewList(results, transport::kEventsResult, &list));
                for (ULONG i = 0; i < count; ++i)
                    RETURN_IF_FAILED(list->SetGuidValue(transport::ListItemKey(i), events[i]));
                return S_OK;
            }
            case SensorCommand::kGetProperties:
            case SensorCommand::kGetDataFields:
            case SensorCommand::kSetProperties: {
                ComPtr<IPortableDeviceValues> values;
                switch (static_cast<SensorCommand>(*parameters.command)) {
                    case SensorCommand::kGetProperties:
                        *callbackResult =
                            driver->OnGetProperties(file, id, parameters.keys.Get(), values.GetAddressOf());
                        break;
                    case SensorCommand::kGetDataFields:
                        *callbackResult =
                            driver->OnGetDataFields(file, id, parameters.keys.Get(), values.GetAddressOf());
                        break;
                    default:
                        *callbackResult =
                            driver->OnSetProperties(file, id, parameters.toWrite.Get(), values.GetAddressOf());
                        break;
                }
                return values ? results->SetIPortableDeviceValuesValue(transport::kValuesResult, values.Get()) : S_OK;
            }
            case SensorCommand::kConnect:
                *callbackResult = driver->OnClientConnect(file, id);
                return S_OK;
            case SensorCommand::kDisconnect:
                *callbackResult = driver->OnClientDisconnect(file, id);
                return S_OK;
            case SensorCommand::kSubscribe:
                *callbackResult = driver->OnClientSubscribeToEvents(file, id);
                return S_OK;
            case SensorCommand::kUnsubscribe:
                *callbackResult = driver->OnClientUnsubscribeFromEvents(file, id);
                return S_OK;
        }
        // Any other command is a message for the driver: the whole parameters, and a results set.
        ComPtr<IPortableDeviceValues> answer;
        RETURN_IF_FAILED(NewList(results, transport::kValuesResult, &answer));
        *callbackResult = driver->OnProcessWpdMessage(parameters.all.Get(), answer.Get());
        return S_OK;
    }

    static HRESULT AddObjects(IPortableDeviceValuesCollection* objects, IPortableDeviceValues* results)
    {
        DWORD count = 0;
        RETURN_IF_FAILED(objects->GetCount(&count));
        ComPtr<IPortableDeviceValues> list;
        RETURN_IF_FAILED(NewList(results, transport::kObjectsResult, &list));
        for (DWORD i = 0; i < count; ++i) {
            ComPtr<IPortableDeviceValues> object;
            RETURN_IF_FAILED(objects->GetAt(i, object.GetAddressOf()));
            RETURN_IF_FAILED(list->SetIPortableDeviceValuesValue(transport::ListItemKey(i), object.Get()));
        }
        return S_OK;
    }

    // Records a successful connect, disconnect, subscribe or unsubscribe of a file.
    void UpdateClient(const ComPtr<IUnknown>& identity, const ComPtr<IWDFFile>& file, SensorCommand command,
                      std::u16string_view objectId)
    {
        const bool adds = command == SensorCommand::kConnect || command == SensorCommand::kSubscribe;
        ComPtr<transport::IClientEventSink> sink;
        if (adds) file.As(&sink);  // asked before the lock is taken: it calls the host's object
        ClientRecord gone;
        std::lock_guard lock(m_clientsLock);
        auto it = FindClientLocked(identity.Get());
        if (it == m_clients.end()) {
            if (!adds) return;
            m_clients.push_back(ClientRecord{identity, file, std::move(sink), {}, {}});
            it = std::prev(m_clients.end());
        }
        switch (command) {
            case SensorCommand::kConnect:
                AddId(it->connected, objectId);
                break;
            case SensorCommand::kDisconnect:
                RemoveId(it->connected, objectId);
                break;
            case SensorCommand::kSubscribe:
                AddId(it->subscribed, objectId);
                break;
            default:
                RemoveId(it->subscribed, objectId);
                break;
        }
        if (it->connected.empty() && it->subscribed.empty()) {
            gone = std::move(*it);  // released after the lock, declared before it
            EraseClientLocked(it);
        }
    }

    // After a peak of clients, the records' room shrinks with them.
    void EraseClientLocked(std::vector<ClientRecord>::iterator it)
    {
        m_clients.erase(it);
        if (m_clients.capacity() > 64 && m_clients.size() < m_clients.capacity() / 4) m_clients.shrink_to_fit();
    }

    HRESULT Post(LPWSTR sensorId, IPortableDeviceValuesCollection* collection)
    {
        Record(SensorCxCall::kPostEvent, [&](SensorCxCallRecord& r) {
            if (sensorId != nullptr) r.objectId = sensorId;
            if (collection == nullptr) return;
            DWORD count = 0;
            if (FAILED(collection->GetCount(&count))) return;
            for (DWORD i = 0; i < count; ++i) {
                ComPtr<IPortableDeviceValues> event;
                std::vector<std::uint8_t> bytes;
                if (SUCCEEDED(collection->GetAt(i, event.GetAddressOf()))) transport::EncodeValues(event.Get(), &bytes);
                r.events.push_back(std::move(bytes));
            }
        });
        if (sensorId == nullptr || collection == nullptr) return E_POINTER;
        CallScope scope(*this, nullptr);
        if (!scope.Entered()) return scope.Refusal();

        // Every event is encoded before PostEvent returns: the driver reuses its values set.
        DWORD count = 0;
        RETURN_IF_FAILED(collection->GetCount(&count));
        std::vector<std::vector<std::uint8_t>> messages(count);
        for (DWORD i = 0; i < count; ++i) {
            ComPtr<IPortableDeviceValues> event;
            RETURN_IF_FAILED(collection->GetAt(i, event.GetAddressOf()));
            RETURN_IF_FAILED(transport::EncodeDataUpdatedEvent(sensorId, event.Get(), &messages[i]));
        }
        Deliver(sensorId, messages);
        return S_OK;
    }

    // Hands the messages to every file subscribed to the sensor, with no lock held.
    void Deliver(std::u16string_view sensorId, const std::vector<std::vector<std::uint8_t>>& messages)
    {
        std::vector<ComPtr<transport::IClientEventSink>> sinks;
        {
            std::lock_guard lock(m_clientsLock);
            for (const ClientRecord& client : m_clients) {
                if (!client.sink) continue;
                if (std::any_of(client.subscribed.begin(), client.subscribed.end(),
                                [&](const auto& id) { return SameId(id, sensorId); })) {
                    sinks.push_back(client.sink);
                }
            }
        }
        // Each connection gets the messages in order, from one thread.
        const auto send = [&](std::size_t first, std::size_t end) {
            for (const auto& message : messages) {
                for (std::size_t i = first; i < end; ++i) sinks[i]->OnSensorEvent(message.data(), message.size());
            }
        };
        if (sinks.size() < kShareSendsFrom) return send(0, sinks.size());
        const std::size_t half = sinks.size() / 2;
        m_sendHelper.Run([&] { send(half, sinks.size()); }, [&] { send(0, half); });
    }

    // From this many subscribed files, a second thread takes half of the sends: below it, waking
    // that thread costs more than it saves.
    static constexpr std::size_t kShareSendsFrom = 128;

    const std::uint64_t m_instance;

    // Guarded by KernelLock().
    Binding m_binding = Binding::kUnbound;
    ISensorDriver* m_driver = nullptr;  // one reference from Initialize until Uninitialize has waited
    std::uint32_t m_inFlight = 0;       // driver calls and event deliveries under way
    std::vector<std::pair<const IUnknown*, std::uint32_t>> m_fileCalls;  // requests under way, by file

    std::mutex m_clientsLock;
    std::vector<ClientRecord> m_clients;  // guarded by m_clientsLock

    SendHelper m_sendHelper;
};

const BuiltinClass kSensorClassExtension{
    CLSID_SensorClassExtension, [](REFIID riid, void** ppv) { return MakeAndQuery<CSensorClassExtension>(riid, ppv); }};

}  // namespace
}  // namespace platform::detail
