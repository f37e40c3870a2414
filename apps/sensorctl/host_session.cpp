#include "sensorctl/host_session.h"

#include <unistd.h>

#include <cstdio>

#include "common/text.h"
#include "platform/com/propvariant.h"
#include "platform/com/runtime.h"
#include "platform/wpd/portable_device_keys.h"
#include "sensorctl/ctl_exit.h"

namespace sensorctl {
namespace {

// Guards against a host that stopped answering; the host itself answers at once.
constexpr std::chrono::seconds kReplyTimeout{60};

bool ConnectionIsGone(HRESULT hr)
{
    return hr == transport::kConnectionClosed || hr == transport::kReplyTimedOut;
}

}  // namespace

int HostSession::Open(const std::string& socketPath, std::unique_ptr<HostSession>* session,
                      std::function<void(std::string_view)> traceSink, bool onlyOwnHost)
{
    std::unique_ptr<HostSession> opened(new HostSession());
    HostSession* self = opened.get();
    transport::SocketClientCallbacks callbacks;
    callbacks.onEvent = [self](std::span<const std::uint8_t> message) {
        HostNotice notice;
        const HRESULT hr = transport::DecodeSensorEvent(message, &notice.event);
        if (FAILED(hr)) {
            std::fprintf(stderr, "sensorctl: an event from the host could not be read: %s\n",
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
    callbacks.onDisconnected = [self](HRESULT why) {
        HostNotice notice;
        notice.kind = HostNotice::Kind::kDisconnected;
        notice.why = why;
        self->Push(std::move(notice));
    };

    transport::SocketClientOptions options;
    options.replyTimeout = kReplyTimeout;
    if (onlyOwnHost) options.hostUids = {::getuid(), 0};
    std::string why;
    const HRESULT hr = transport::SocketClient::Connect(socketPath, std::move(callbacks), options,
                                                       &opened->m_client, &why);
    if (FAILED(hr)) {
        std::fprintf(stderr, "sensorctl: cannot reach the host at %s: %s\n", socketPath.c_str(),
                     why.empty() ? apps::HresultText(hr).c_str() : why.c_str());
        if (hr == transport::kHostNotFound || hr == transport::kHostRefused) {
            std::fprintf(stderr, "Is driver-host running? Start it with scripts/run.sh or build/release/bin/driver-host,"
                                 " or give its socket with --socket PATH.\n");
        }
        return kExitUnreachable;
    }
    opened->m_sensors = std::make_unique<transport::SensorClient>(opened->m_client->AsSensorTransport());
    *session = std::move(opened);
    return kExitOk;
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

int HostSession::FirstSensorId(std::u16string* id)
{
    transport::ObjectsResult objects;
    const HRESULT hr = m_sensors->GetSupportedSensorObjects(&objects);
    if (FAILED(hr)) return ReportFailure("listing the sensors", hr);
    if (FAILED(objects.hr)) return ReportFailure("listing the sensors", objects.hr);
    DWORD count = 0;
    if (objects.objects) objects.objects->GetCount(&count);
    for (DWORD i = 0; i < count; ++i) {
        platform::ComPtr<IPortableDeviceValues> object;
        if (FAILED(objects.objects->GetAt(i, object.GetAddressOf()))) continue;
        LPWSTR text = nullptr;
        if (SUCCEEDED(object->GetStringValue(WPD_OBJECT_ID, &text)) && text != nullptr) {
            *id = text;
            CoTaskMemFree(text);
            return kExitOk;
        }
    }
    std::fprintf(stderr, "sensorctl: the host lists no sensor\n");
    return kExitFailed;
}

int ReportFailure(std::string_view what, HRESULT hr)
{
    if (ConnectionIsGone(hr)) {
        std::fprintf(stderr, "sensorctl: %.*s: the connection to the host was lost (%s)\n",
                     static_cast<int>(what.size()), what.data(), apps::HresultText(hr).c_str());
        return kExitUnreachable;
    }
    std::fprintf(stderr, "sensorctl: %.*s failed: %s\n", static_cast<int>(what.size()), what.data(),
                 apps::HresultText(hr).c_str());
    return kExitFailed;
}

}  // namespace sensorctl
