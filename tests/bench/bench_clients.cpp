#include "bench_clients.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "bench_stats.h"
#include "client/aborted_requests.h"
#include "platform/com/propvariant.h"
#include "platform/sensorcx/sensors.h"
#include "transport/sensor_protocol.h"
#include "transport/socket_client.h"

namespace bench {

// ---- Raw connections. ----

std::unique_ptr<RawClient> RawClient::Connect(const std::string& socketPath, std::string* error)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        *error = "connect " + socketPath + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<RawClient> client(new RawClient(fd));
    std::vector<std::uint8_t> hello;
    transport::AppendHelloFrame(&hello, client->m_nextId++, {});
    if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
        *error = "the hello could not be sent";
        return nullptr;
    }
    transport::FrameHeader header;
    std::vector<std::uint8_t> payload;
    if (!client->Next(&header, &payload) || header.type != static_cast<std::uint16_t>(transport::FrameType::kHelloReply)) {
        *error = "the host did not answer the hello";
        return nullptr;
    }
    return client;
}

RawClient::~RawClient()
{
    ::close(m_fd);
}

bool RawClient::Next(transport::FrameHeader* header, std::vector<std::uint8_t>* payload)
{
    for (;;) {
        std::span<const std::uint8_t> input(m_buffered);
        const transport::ReadStatus status = m_reader.Read(&input);
        m_buffered.erase(m_buffered.begin(), m_buffered.end() - static_cast<std::ptrdiff_t>(input.size()));
        if (status == transport::ReadStatus::kFrame) {
            *header = m_reader.Header();
            payload->assign(m_reader.Payload().begin(), m_reader.Payload().end());
            return true;
        }
        if (status == transport::ReadStatus::kFramingError) return false;
        std::uint8_t chunk[16384];
        const ssize_t received = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) return false;
        m_buffered.insert(m_buffered.end(), chunk, chunk + received);
    }
}

transport::TransportReply RawClient::Request(ULONG controlCode, std::span<const std::uint8_t> input, std::size_t capacity)
{
    const std::uint32_t id = m_nextId++;
    std::vector<std::uint8_t> frame;
    transport::AppendIoControlFrame(&frame, id, {controlCode, static_cast<std::uint32_t>(capacity), input});
    if (::send(m_fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
        return {transport::kConnectionClosed, 0, {}};
    }
    transport::FrameHeader header;
    std::vector<std::uint8_t> payload;
    while (Next(&header, &payload)) {
        if (header.id != id) continue;  // events (id 0) before the reply
        transport::IoReplyPayload reply;
        if (header.type != static_cast<std::uint16_t>(transport::FrameType::kIoReply) ||
            FAILED(transport::DecodeIoReply(payload, &reply))) {
            return {transport::kMalformedFrame, 0, {}};
        }
        return {reply.status, reply.information, {reply.output.begin(), reply.output.end()}};
    }
    return {transport::kConnectionClosed, 0, {}};
}

transport::SensorTransport RawClient::Transport()
{
    // A request that meets the device going to low power (the last subscriber just left) is sent
    // again, as sensorctl does.
    return [this](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
        return client::SendAgainWhileAborted([&] { return Request(code, input, capacity); });
    };
}

// ---- The event reader. ----

namespace {
char g_wakeTag;
}

EventReader::EventReader(StampReader* stamps)
    : m_stamps(stamps), m_epollFd(::epoll_create1(EPOLL_CLOEXEC)), m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_epollFd < 0 || m_wakeFd < 0) throw std::runtime_error("cannot make the reader's epoll set");
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = &g_wakeTag;
    ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &wake);
    m_thread = std::thread([this] { Run(); });
}

EventReader::~EventReader()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    m_thread.join();
    ::close(m_epollFd);
    ::close(m_wakeFd);
}

void EventReader::Add(RawClient* client, std::uint32_t index)
{
    ::fcntl(client->Fd(), F_SETFL, ::fcntl(client->Fd(), F_GETFL) | O_NONBLOCK);
    auto peer = std::make_unique<Peer>();
    peer->client = client;
    peer->index = index;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = peer.get();
    {
        std::lock_guard guard(m_mutex);
        m_peers.push_back(std::move(peer));
    }
    ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, client->Fd(), &event);
}

void EventReader::BeginWindow()
{
    std::lock_guard guard(m_mutex);
    m_records.clear();
    m_recording = true;
}

std::vector<EventRecord> EventReader::EndWindow()
{
    std::lock_guard guard(m_mutex);
    m_recording = false;
    return std::move(m_records);
}

std::size_t EventReader::RecordCount()
{
    std::lock_guard guard(m_mutex);
    return m_records.size();
}

void EventReader::Run()
{
    epoll_event events[256];
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        const int count = ::epoll_wait(m_epollFd, events, 256, -1);
        if (count < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < count; ++i) {
            if (events[i].data.ptr == &g_wakeTag) return;
            auto* peer = static_cast<Peer*>(events[i].data.ptr);
            for (;;) {
                const ssize_t received = ::recv(peer->client->Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
                const std::uint64_t now = MonotonicNs();
                if (received < 0 && errno == EINTR) continue;
                if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                if (received <= 0) {
                    ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, peer->client->Fd(), nullptr);
                    m_closed.fetch_add(1);
                    break;
                }
                std::span<const std::uint8_t> input(buffer.data(), static_cast<std::size_t>(received));
                while (!input.empty()) {
                    const transport::ReadStatus status = peer->reader.Read(&input);
                    if (status != transport::ReadStatus::kFrame) break;
                    const auto type = static_cast<transport::FrameType>(peer->reader.Header().type);
                    if (type == transport::FrameType::kEvent) {
                        OnEvent(*peer, now, peer->reader.Payload());
                    } else if (type == transport::FrameType::kEventsDropped) {
                        std::uint32_t dropped = 0;
                        if (SUCCEEDED(transport::DecodeEventsDropped(peer->reader.Payload(), &dropped))) {
                            m_dropped.fetch_add(dropped);
                        }
                    }
                }
            }
        }
    }
}

std::uint64_t EventReader::FileTimeOf(std::span<const std::uint8_t> message)
{
    std::string key(reinterpret_cast<const char*>(message.data()), message.size());
    if (const auto found = m_fileTimes.find(key); found != m_fileTimes.end()) return found->second;
    std::uint64_t fileTime = 0;  // 0: not a data-updated event with a timestamp
    transport::SensorEvent event;
    if (SUCCEEDED(transport::DecodeSensorEvent(message, &event)) &&
        event.kind == transport::SensorEventKind::kDataUpdated && event.values) {
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(event.values->GetValue(SENSOR_DATA_TYPE_TIMESTAMP, &value)) && value.vt == VT_FILETIME) {
            fileTime = (static_cast<std::uint64_t>(value.filetime.dwHighDateTime) << 32) | value.filetime.dwLowDateTime;
        }
        PropVariantClear(&value);
    }
    if (m_fileTimes.size() > 4096) m_fileTimes.clear();
    m_fileTimes.emplace(std::move(key), fileTime);
    return fileTime;
}

void EventReader::OnEvent(const Peer& peer, std::uint64_t receivedNs, std::span<const std::uint8_t> message)
{
    {
        std::lock_guard guard(m_mutex);
        if (!m_recording) return;
    }
    EventRecord record;
    record.client = peer.index;
    record.receivedNs = receivedNs;
    // Every subscriber gets the same bytes for one hand-over: the last answer is usually the one.
    if (message.size() == m_lastMessage.size() && std::equal(message.begin(), message.end(), m_lastMessage.begin())) {
        record.fileTime = m_lastFileTime;
        record.handOverNs = m_lastHandOverNs;
    } else {
        record.fileTime = FileTimeOf(message);
        if (record.fileTime != 0 && m_stamps != nullptr) {
            record.handOverNs = m_stamps->HandOver(record.fileTime, receivedNs);
        }
        m_lastMessage.assign(message.begin(), message.end());
        m_lastFileTime = record.fileTime;
        m_lastHandOverNs = record.handOverNs;
    }
    if (record.fileTime == 0) return;
    std::lock_guard guard(m_mutex);
    if (m_recording) m_records.push_back(record);
}

// ---- Throughput. ----

Throughput MeasureThroughput(const std::string& socketPath, const std::u16string& sensorId, int clients,
                             int threadsPerClient, double seconds, const RequestFunction& request)
{
    struct Connection {
        std::unique_ptr<transport::SocketClient> socket;
        std::unique_ptr<transport::SensorClient> sensors;
    };
    struct Worker {
        const transport::SensorClient* sensors = nullptr;
        std::vector<double> samples;
        std::uint64_t failures = 0;
        std::thread thread;
    };
    std::vector<Connection> connections(static_cast<std::size_t>(clients));
    for (auto& connection : connections) {
        std::string why;
        if (FAILED(transport::SocketClient::Connect(socketPath, {}, {}, &connection.socket, &why))) {
            throw std::runtime_error("a throughput client cannot connect: " + why);
        }
        connection.sensors = std::make_unique<transport::SensorClient>(connection.socket->AsSensorTransport());
        HRESULT connected = E_FAIL;
        if (FAILED(connection.sensors->Connect(sensorId, &connected)) || FAILED(connected)) {
            throw std::runtime_error("a throughput client cannot connect to the sensor");
        }
    }
    std::vector<Worker> workers(connections.size() * static_cast<std::size_t>(threadsPerClient));
    for (std::size_t i = 0; i < workers.size(); ++i) workers[i].sensors = connections[i % connections.size()].sensors.get();
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    for (auto& worker : workers) {
        worker.thread = std::thread([&worker, &go, &stop, &request] {
            while (!go.load()) std::this_thread::yield();
            while (!stop.load(std::memory_order_relaxed)) {
                const std::uint64_t start = MonotonicNs();
                const HRESULT hr = request(*worker.sensors);
                const std::uint64_t end = MonotonicNs();
                if (FAILED(hr)) ++worker.failures;
                worker.samples.push_back(static_cast<double>(end - start) / 1000.0);
            }
        });
    }
    const std::uint64_t start = MonotonicNs();
    go.store(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (auto& worker : workers) worker.thread.join();
    const std::uint64_t end = MonotonicNs();

    Throughput result;
    for (auto& worker : workers) {
        result.failures += worker.failures;
        result.roundTripsUs.insert(result.roundTripsUs.end(), worker.samples.begin(), worker.samples.end());
    }
    for (auto& connection : connections) {
        HRESULT disconnected = E_FAIL;
        connection.sensors->Disconnect(sensorId, &disconnected);
        connection.socket->Close();
    }
    result.perSecond = static_cast<double>(result.roundTripsUs.size()) / (static_cast<double>(end - start) / 1e9);
    return result;
}

}  // namespace bench
