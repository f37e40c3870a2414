#include "client/host_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/text.h"
#include "platform/com/propvariant.h"
#include "platform/com/runtime.h"
#include "platform/win32_error.h"
#include "platform/wpd/portable_device_keys.h"
#include "client/aborted_requests.h"
#include "client/exit_codes.h"

namespace client {
namespace {

// Guards against a host that stopped answering; the host itself answers at once.
constexpr std::chrono::seconds kReplyTimeout{60};

// The program's name, which begins its messages ("sensorctl: ...").
const char* Program()
{
    return program_invocation_short_name;
}

}  // namespace

bool ConnectionIsGone(HRESULT hr)
{
    return hr == transport::kConnectionClosed || hr == transport::kReplyTimedOut;
}

bool DeviceIsGone(HRESULT hr)
{
    // The host refuses a removed device's requests; while the device is being removed the driver
    // and the class extension refuse them as shutting down.
    return hr == HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED) || hr == HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED) ||
           hr == HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS);
}

bool HostSession::NobodyServes(HRESULT connectResult)
{
    return connectResult == transport::kHostNotFound || connectResult == transport::kHostRefused;
}

bool HostSession::IsNotASocket(const std::string& socketPath)
{
    struct stat file {};
    return ::stat(socketPath.c_str(), &file) == 0 && !S_ISSOCK(file.st_mode);
}

int HostSession::ReportUnreachable(const std::string& socketPath, HRESULT hr, const std::string& why)
{
    if (IsNotASocket(socketPath)) {
        std::fprintf(stderr,
                     "%s: %s is not a socket; give --socket the path driver-host serves (its log names it: "
                     "\"serving clients on PATH\")\n",
                     Program(), socketPath.c_str());
        return kExitUnreachable;
    }
    std::fprintf(stderr, "%s: cannot reach the host at %s: %s\n", Program(), socketPath.c_str(),
                 why.empty() ? apps::HresultText(hr).c_str() : why.c_str());
    if (NobodyServes(hr)) {
        std::fprintf(stderr, "Is driver-host running? Start it with scripts/run.sh or build/release/bin/driver-host,"
                             " or give its socket with --socket PATH.\n");
    }
    return kExitUnreachable;
}

HRESULT HostSession::Connect(const std::string& socketPath, std::unique_ptr<HostSession>* session,
                             std::function<void(std::string_view)> traceSink, std::string* why, bool onlyOwnHost)
{
    std::unique_ptr<HostSession> opened(new HostSession());
    HostSession* self = opened.get();
    transport::SocketClientCallbacks callbacks;
    callbacks.onEvent = [self](std::span<const std::uint8_t> message) {
        HostNotice notice;
        const HRESULT hr = transport::DecodeSensorEvent(message, &notice.event);
        if (FAILED(hr)) {
            std::fprintf(stderr, "%s: an event from the host could not be read: %s\n", Program(),
                         apps::HresultText(hr).c_str());
            return;
        }
        self->Push(std::move(notice));
    };
    callbacks.onEventsDropped = [self](std::uint32_t dropped) {
        HostNotice notice;
        notice.kind = HostNotice::Kind::kDropped;
        notice.dropped = dropped;
        self->Push(std::move(notice));
    };
    callbacks.onTraceLine = [sink = std::move(traceSink)](std::string_view line) {
        if (sink) sink(line);
    };
    callbacks.onDisconnected = [self](HRESULT ended) {
        HostNotice notice;
        notice.kind = HostNotice::Kind::kDisconnected;
        notice.why = ended;
        self->Push(std::move(notice));
    };

    transport::SocketClientOptions options;
    options.replyTimeout = kReplyTimeout;
    if (onlyOwnHost) options.hostUids = {::getuid(), 0};
    const HRESULT hr =
        transport::SocketClient::Connect(socketPath, std::move(callbacks), options, &opened->m_client, why);
    if (FAILED(hr)) return hr;
    opened->m_sensors = std::make_unique<transport::SensorClient>(
        [self](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
            return self->IoControl(code, input, capacity);
        });
    *session = std::move(opened);
    return S_OK;
}

transport::TransportReply HostSession::IoControl(ULONG controlCode, std::span<const std::uint8_t> input,
                                                 std::size_t outputCapacity)
{
    return SendAgainWhileAborted([&] { return m_client->IoControl(controlCode, input, outputCapacity); });
}

HostSession::~HostSession()
{
    if (m_client) m_client->Close();
}

void HostSession::Push(HostNotice notice)
{
    {
        std::lock_guard lock(m_mutex);
        m_notices.push_back(std::move(notice));
    }
    m_changed.notify_all();
}

void HostSession::Interrupt()
{
    HostNotice notice;
    notice.kind = HostNotice::Kind::kInterrupted;
    {
        std::lock_guard lock(m_mutex);
        m_notices.push_front(std::move(notice));
    }
    m_changed.notify_all();
}

bool HostSession::WaitNotice(std::chrono::milliseconds timeout, HostNotice* notice)
{
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, timeout, [this] { return !m_notices.empty(); })) return false;
    *notice = std::move(m_notices.front());
    m_notices.pop_front();
    return true;
}

HostLink::HostLink(std::string socketPath, apps::SignalWatch& signals,
                   std::function<void(std::string_view)> traceSink, bool onlyOwnHost)
    : m_socketPath(std::move(socketPath)),
      m_signals(signals),
      m_traceSink(std::move(traceSink)),
      m_onlyOwnHost(onlyOwnHost)
{
    m_signals.SetHandler([this](int) { Interrupt(); });
}

HostLink::~HostLink()
{
    m_signals.SetHandler(nullptr);
    Close();  // so that nothing reaches the session while it goes
}

HRESULT HostLink::Connect(std::string* why)
{
    std::unique_ptr<HostSession> session;
    const HRESULT hr = HostSession::Connect(m_socketPath, &session, m_traceSink, why, m_onlyOwnHost);
    if (FAILED(hr)) return hr;
    Close();
    std::lock_guard lock(m_mutex);
    m_session = std::move(session);
    if (Interrupted()) m_session->Interrupt();  // a signal that came while connecting
    return S_OK;
}

HRESULT HostLink::TryOpen()
{
    std::string why;
    return Connect(&why);
}

int HostLink::Open()
{
    std::string why;
    const HRESULT hr = Connect(&why);
    return SUCCEEDED(hr) ? kExitOk : HostSession::ReportUnreachable(m_socketPath, hr, why);
}

int HostLink::OpenWhenServed(std::optional<std::chrono::steady_clock::time_point> deadline, std::string_view note)
{
    // Often enough that a host is used soon after it serves; a host takes some 5 s to load.
    constexpr std::chrono::milliseconds kRetry{200};
    bool noted = false;
    for (;;) {
        std::string why;
        const HRESULT hr = Connect(&why);
        if (SUCCEEDED(hr)) return kExitOk;
        const auto now = std::chrono::steady_clock::now();
        if (!HostSession::NobodyServes(hr) || HostSession::IsNotASocket(m_socketPath) ||
            (deadline && now >= *deadline)) {
            return HostSession::ReportUnreachable(m_socketPath, hr, why);
        }
        if (!noted && !note.empty()) {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(note.size()), note.data());
            noted = true;
        }
        const auto pause = deadline ? std::min<std::chrono::steady_clock::duration>(kRetry, *deadline - now) : kRetry;
        if (!Pause(std::chrono::duration_cast<std::chrono::milliseconds>(pause))) return kExitInterrupted;
    }
}

void HostLink::Close()
{
    std::unique_ptr<HostSession> closed;
    {
        std::lock_guard lock(m_mutex);
        closed.swap(m_session);
    }
    // Destroyed without the mutex: its close joins the reader thread.
}

void HostLink::Interrupt()
{
    std::lock_guard lock(m_mutex);
    if (m_session) m_session->Interrupt();
}

HRESULT ListSensorIds(HostSession& session, std::vector<std::u16string>* ids)
{
    transport::ObjectsResult objects;
    const HRESULT hr = session.Sensors().GetSupportedSensorObjects(&objects);
    if (FAILED(hr)) return hr;
    if (FAILED(objects.hr)) return objects.hr;
    DWORD count = 0;
    if (objects.objects) objects.objects->GetCount(&count);
    for (DWORD i = 0; i < count; ++i) {
        platform::ComPtr<IPortableDeviceValues> object;
        if (FAILED(objects.objects->GetAt(i, object.GetAddressOf()))) continue;
        LPWSTR text = nullptr;
        if (SUCCEEDED(object->GetStringValue(WPD_OBJECT_ID, &text)) && text != nullptr) {
            ids->emplace_back(text);
            CoTaskMemFree(text);
        }
    }
    return S_OK;
}

int ReportFailure(std::string_view what, HRESULT hr)
{
    if (ConnectionIsGone(hr)) {
        std::fprintf(stderr, "%s: %.*s: the connection to the host was lost (%s)\n", Program(),
                     static_cast<int>(what.size()), what.data(), apps::HresultText(hr).c_str());
        return kExitUnreachable;
    }
    if (DeviceIsGone(hr)) {
        std::fprintf(stderr,
                     "%s: %.*s: the host's device is removed (%s); it is back once the host adds it again "
                     "(sensorctl sim add-device) or restarts\n",
                     Program(), static_cast<int>(what.size()), what.data(), apps::HresultText(hr).c_str());
        return kExitUnreachable;
    }
    std::fprintf(stderr, "%s: %.*s failed: %s\n", Program(), static_cast<int>(what.size()), what.data(),
                 apps::HresultText(hr).c_str());
    return kExitFailed;
}

}  // namespace client
