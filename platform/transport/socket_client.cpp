// A client of the driver host's socket: requests matched to replies by id; frames are received by a
// reader thread when the client has callbacks, else by the threads that wait for replies.
#include "transport/socket_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace transport {

namespace {

// What one receive takes. Events and replies are mostly a few hundred bytes; a larger frame is put
// together by the frame reader over several receives.
constexpr std::size_t kReadChunk = 8 * 1024;

std::string ErrnoText(int error)
{
    return std::system_category().message(error);
}

HRESULT Fail(std::string* error, HRESULT hr, std::string text)
{
    if (error != nullptr) *error = std::move(text);
    return hr;
}

}  // namespace

// Thread safety: m_fd never changes; writes to it are serialised by m_sendMutex. The waiting
// requests and the connection's state are guarded by m_mutex. The callbacks, the frame reader and
// the receive buffer belong to the thread that receives: the reader thread when there is one, else
// the waiting thread that holds m_receiving (taken and given back under m_mutex).
class SocketClient::Impl {
public:
    struct Reply {
        bool done = false;
        FrameType type = FrameType::kError;
        std::vector<std::uint8_t> payload;
    };

    Impl(int fd, SocketClientCallbacks callbacks, const SocketClientOptions& options)
        : m_fd(fd),
          m_callbacks(std::move(callbacks)),
          m_options(options),
          m_hasReader(m_callbacks.onEvent || m_callbacks.onEventsDropped || m_callbacks.onTraceLine ||
                      m_callbacks.onDisconnected),
          m_buffer(kReadChunk)
    {
    }

    ~Impl()
    {
        Close();
        ::close(m_fd);
    }

    // Only a client with callbacks has a reader thread: without one, nobody waits for what the host
    // sends on its own, and a reply wakes the thread that waits for it directly, not through a
    // thread in between.
    void StartReader()
    {
        if (m_hasReader) m_reader = std::thread([this] { ReaderLoop(); });
    }

    std::uint32_t NextId()
    {
        std::lock_guard guard(m_mutex);
        const std::uint32_t id = m_nextId++;
        if (m_nextId == 0) m_nextId = 1;
        return id;
    }

    // Sends `frame` (whose id is `id`) and waits for the frame that answers it.
    HRESULT Request(const std::vector<std::uint8_t>& frame, std::uint32_t id, Reply* reply)
    {
        auto waiting = std::make_shared<Reply>();
        {
            std::lock_guard guard(m_mutex);
            if (!m_connected) return kConnectionClosed;
            m_pending[id] = waiting;
        }
        if (FAILED(SendAll(frame))) {
            std::lock_guard guard(m_mutex);
            m_pending.erase(id);
            return kConnectionClosed;
        }
        std::optional<std::chrono::steady_clock::time_point> deadline;
        if (m_options.replyTimeout.count() > 0) deadline = std::chrono::steady_clock::now() + m_options.replyTimeout;
        std::unique_lock guard(m_mutex);
        bool timedOut = false;
        while (!waiting->done && m_connected && !timedOut) {
            if (m_hasReader || m_receiving) {
                // Another thread receives; it hands the reply over.
                if (!deadline) {
                    m_replied.wait(guard);
                } else {
                    timedOut = m_replied.wait_until(guard, *deadline) == std::cv_status::timeout;
                }
                continue;
            }
            m_receiving = true;
            guard.unlock();
            HRESULT why = kConnectionClosed;
            const Received received = Receive(deadline, &why);
            guard.lock();
            m_receiving = false;
            if (received == Received::kEnded) m_connected = false;
            timedOut = received == Received::kTimedOut;
            m_replied.notify_all();  // the next waiting thread receives, or finds its reply
        }
        m_pending.erase(id);
        if (waiting->done) {
            *reply = std::move(*waiting);
            return S_OK;
        }
        return m_connected ? kReplyTimedOut : kConnectionClosed;
    }

    HRESULT SendAll(std::span<const std::uint8_t> bytes)
    {
        std::lock_guard guard(m_sendMutex);
        while (!bytes.empty()) {
            const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EINTR) continue;
                return kConnectionClosed;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
        }
        return S_OK;
    }

    void Close()
    {
        {
            std::lock_guard guard(m_mutex);
            m_closing = true;
        }
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_reader.joinable() && m_reader.get_id() != std::this_thread::get_id()) m_reader.join();
    }

    bool IsConnected() const
    {
        std::lock_guard guard(m_mutex);
        return m_connected;
    }

    HelloReplyPayload hello;  // written by Connect before the client is handed out

private:
    void ReaderLoop()
    {
        HRESULT why = kConnectionClosed;
        while (Receive(std::nullopt, &why) == Received::kFrames) {
        }
        EndConnection(why);
    }

    enum class Received { kFrames, kTimedOut, kEnded };

    // Receives what the socket has (waiting for it until `deadline`, if any) and dispatches the
    // frames it completes. kEnded: the connection is gone, *why says how.
    Received Receive(std::optional<std::chrono::steady_clock::time_point> deadline, HRESULT* why)
    {
        if (deadline) {
            pollfd readable{m_fd, POLLIN, 0};
            for (;;) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
                const auto waitMs = std::clamp<std::int64_t>(left.count(), 0, std::numeric_limits<int>::max());
                const int ready = ::poll(&readable, 1, static_cast<int>(waitMs));
                if (ready < 0 && errno == EINTR) continue;
                if (ready == 0) return Received::kTimedOut;
                break;  // readable, or a failure that the receive below reports
            }
        }
        ssize_t received = 0;
        do {
            received = ::recv(m_fd, m_buffer.data(), m_buffer.size(), 0);
        } while (received < 0 && errno == EINTR);
        if (received <= 0) return Received::kEnded;
        std::span<const std::uint8_t> input(m_buffer.data(), static_cast<std::size_t>(received));
        while (!input.empty()) {
            const ReadStatus status = m_frames.Read(&input);
            if (status == ReadStatus::kNeedMore) break;
            if (status == ReadStatus::kFramingError) {
                *why = m_frames.Error();
                return Received::kEnded;
            }
            Dispatch(m_frames.Header(), m_frames.Payload(), why);
        }
        return Received::kFrames;
    }

    void Dispatch(const FrameHeader& header, std::span<const std::uint8_t> payload, HRESULT* why)
    {
        const auto type = static_cast<FrameType>(header.type);
        switch (type) {
            case FrameType::kEvent:
                if (m_callbacks.onEvent) m_callbacks.onEvent(payload);
                return;
            case FrameType::kEventsDropped: {
                std::uint32_t dropped = 0;
                if (SUCCEEDED(DecodeEventsDropped(payload, &dropped)) && m_callbacks.onEventsDropped) {
                    m_callbacks.onEventsDropped(dropped);
                }
                return;
            }
            case FrameType::kTraceLine:
                if (m_callbacks.onTraceLine) {
                    m_callbacks.onTraceLine(
                        std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
                }
                return;
            case FrameType::kHelloReply:
            case FrameType::kIoReply:
            case FrameType::kSimulateReply:
            case FrameType::kTraceReply:
            case FrameType::kError: {
                std::lock_guard guard(m_mutex);
                const auto waiting = m_pending.find(header.id);
                if (waiting == m_pending.end()) {
                    // An error that answers no request is about the connection: the host ends it.
                    StatusTextPayload error;
                    if (type == FrameType::kError && header.id == 0 && SUCCEEDED(DecodeStatusText(payload, &error))) {
                        *why = error.status;
                    }
                    return;
                }
                waiting->second->type = type;
                waiting->second->payload.assign(payload.begin(), payload.end());
                waiting->second->done = true;
                m_replied.notify_all();
                return;
            }
            default:
                return;  // frames a host does not send are ignored
        }
    }

    void EndConnection(HRESULT why)
    {
        bool tell = false;
        {
            std::lock_guard guard(m_mutex);
            m_connected = false;
            tell = !m_closing;
        }
        m_replied.notify_all();
        if (tell && m_callbacks.onDisconnected) m_callbacks.onDisconnected(why);
    }

    const int m_fd;
    const SocketClientCallbacks m_callbacks;
    const SocketClientOptions m_options;
    const bool m_hasReader;

    // The receiving thread's (see above).
    FrameReader m_frames;
    std::vector<std::uint8_t> m_buffer;

    std::mutex m_sendMutex;

    mutable std::mutex m_mutex;
    std::condition_variable m_replied;
    // Guarded by m_mutex.
    std::map<std::uint32_t, std::shared_ptr<Reply>> m_pending;
    std::uint32_t m_nextId = 1;
    bool m_connected = true;
    bool m_closing = false;
    bool m_receiving = false;  // a waiting thread receives (only without a reader thread)

    std::thread m_reader;  // started by Connect, joined by Close
};

HRESULT SocketClient::Connect(const std::string& socketPath, SocketClientCallbacks callbacks,
                              const SocketClientOptions& options, std::unique_ptr<SocketClient>* client,
                              std::string* error)
{
    if (client == nullptr) return E_POINTER;
    *client = nullptr;
    sockaddr_un address{};
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) {
        return Fail(
            error, E_INVALIDARG,
            "the socket path must have 1 to " + std::to_string(sizeof(address.sun_path) - 1) + " bytes: " + socketPath);
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(error, E_FAIL, "cannot make a socket: " + ErrnoText(errno));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int saved = errno;
        ::close(fd);
        switch (saved) {
            case ENOENT:
                return Fail(error, kHostNotFound, "no driver host socket at " + socketPath);
            case ECONNREFUSED:
                return Fail(error, kHostRefused, "nobody listens on " + socketPath + " (the host has ended)");
            case EACCES:
            case EPERM:
                return Fail(error, E_ACCESSDENIED, "no permission to connect to " + socketPath);
            default:
                return Fail(error, E_FAIL, "cannot connect to " + socketPath + ": " + ErrnoText(saved));
        }
    }
    if (!options.hostUids.empty()) {
        ucred host{};
        socklen_t length = sizeof(host);
        const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &host, &length) == 0;
        if (!known || std::find(options.hostUids.begin(), options.hostUids.end(), host.uid) == options.hostUids.end()) {
            ::close(fd);
            return Fail(error, E_ACCESSDENIED,
                        "the socket " + socketPath + " is served by " +
                            (known ? "user " + std::to_string(host.uid) + " (pid " + std::to_string(host.pid) + ")"
                                   : std::string("a process whose user cannot be read")) +
                            ", neither this user nor root; it was not used");
        }
    }

    std::unique_ptr<Impl> impl;
    try {
        impl = std::make_unique<Impl>(fd, std::move(callbacks), options);
        impl->StartReader();
    } catch (const std::bad_alloc&) {
        if (!impl) ::close(fd);
        return Fail(error, E_OUTOFMEMORY, "memory ran out");
    } catch (const std::system_error& failure) {
        return Fail(error, E_OUTOFMEMORY, std::string("cannot start the reader thread: ") + failure.what());
    }

    const std::uint32_t id = impl->NextId();
    std::vector<std::uint8_t> frame;
    AppendHelloFrame(&frame, id, {});
    Impl::Reply reply;
    const HRESULT hr = impl->Request(frame, id, &reply);
    if (FAILED(hr)) {
        return Fail(error, hr,
                    hr == kReplyTimedOut ? "the host at " + socketPath + " did not answer the hello"
                                         : "the host at " + socketPath + " closed the connection during the hello");
    }
    if (reply.type == FrameType::kError) {
        StatusTextPayload refusal;
        if (FAILED(DecodeStatusText(reply.payload, &refusal))) return Fail(error, kMalformedFrame, "a malformed error");
        return Fail(error, refusal.status, "the host refused the hello: " + std::string(refusal.text));
    }
    if (reply.type != FrameType::kHelloReply || FAILED(DecodeHelloReply(reply.payload, &impl->hello))) {
        return Fail(error, kMalformedFrame, "the host's hello reply is malformed");
    }
    if (impl->hello.version != kProtocolVersion) {
        return Fail(error, kVersionMismatch,
                    "the host answered with protocol version " + std::to_string(impl->hello.version));
    }
    client->reset(new SocketClient(std::move(impl)));
    return S_OK;
}

SocketClient::SocketClient(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

SocketClient::~SocketClient() = default;

const HelloReplyPayload& SocketClient::Hello() const
{
    return m_impl->hello;
}

TransportReply SocketClient::IoControl(ULONG controlCode, std::span<const std::uint8_t> input,
                                       std::size_t outputCapacity)
{
    TransportReply result;
    if (input.size() > kMaxIoBytes || outputCapacity > kMaxIoBytes) {
        result.status = kFrameTooLarge;
        return result;
    }
    const std::uint32_t id = m_impl->NextId();
    Impl::Reply reply;
    std::vector<std::uint8_t> frame;
    AppendIoControlFrame(&frame, id, {controlCode, static_cast<std::uint32_t>(outputCapacity), input});
    result.status = m_impl->Request(frame, id, &reply);
    if (FAILED(result.status)) return result;
    if (reply.type == FrameType::kError) {
        StatusTextPayload error;
        result.status = SUCCEEDED(DecodeStatusText(reply.payload, &error)) ? error.status : kMalformedFrame;
        return result;
    }
    IoReplyPayload decoded;
    if (reply.type != FrameType::kIoReply || FAILED(DecodeIoReply(reply.payload, &decoded))) {
        result.status = kMalformedFrame;
        return result;
    }
    result.status = decoded.status;
    result.information = decoded.information;
    result.output.assign(decoded.output.begin(), decoded.output.end());
    return result;
}

SensorTransport SocketClient::AsSensorTransport()
{
    return [this](ULONG controlCode, std::span<const std::uint8_t> input, std::size_t outputCapacity) {
        return IoControl(controlCode, input, outputCapacity);
    };
}

HRESULT SocketClient::Simulate(std::string_view commandLine, std::string* output)
{
    if (output != nullptr) output->clear();
    if (commandLine.size() > kMaxFramePayload) return kFrameTooLarge;
    const std::uint32_t id = m_impl->NextId();
    std::vector<std::uint8_t> frame;
    AppendSimulateFrame(&frame, id, commandLine);
    Impl::Reply reply;
    RETURN_IF_FAILED(m_impl->Request(frame, id, &reply));
    StatusTextPayload decoded;
    if ((reply.type != FrameType::kSimulateReply && reply.type != FrameType::kError) ||
        FAILED(DecodeStatusText(reply.payload, &decoded))) {
        return kMalformedFrame;
    }
    if (output != nullptr) output->assign(decoded.text);
    return decoded.status;
}

HRESULT SocketClient::Trace(std::uint8_t level)
{
    const std::uint32_t id = m_impl->NextId();
    std::vector<std::uint8_t> frame;
    AppendTraceFrame(&frame, id, level);
    Impl::Reply reply;
    RETURN_IF_FAILED(m_impl->Request(frame, id, &reply));
    if (reply.type == FrameType::kError) {
        StatusTextPayload error;
        return SUCCEEDED(DecodeStatusText(reply.payload, &error)) ? error.status : kMalformedFrame;
    }
    HRESULT status = E_FAIL;
    if (reply.type != FrameType::kTraceReply || FAILED(DecodeTraceReply(reply.payload, &status))) {
        return kMalformedFrame;
    }
    return status;
}

void SocketClient::Close()
{
    m_impl->Close();
}

bool SocketClient::IsConnected() const
{
    return m_impl->IsConnected();
}

}  // namespace transport
