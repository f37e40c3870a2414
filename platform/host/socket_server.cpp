// The host's client socket, its dispatcher: the server's threads take turns waiting on the
// listening socket and every connection (epoll); the one whose turn it is, the leader, accepts and
// closes connections, reads frames and turns them into device I/O, trace requests and simulation
// commands. A request that the device's queue lets it hand to the driver itself, it runs after
// passing the leader's role on: the thread that read the request runs it and writes the reply,
// with no thread woken in between, while the next leader goes on reading the other connections
// (the driver may block in a request: a fresh reading waits 15 ms and more). The socket file and
// peer credentials are the listener's (socket_listener.h); the commands run on the command
// runner's thread (command_runner.h).
#include "host/socket_server.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "command_runner.h"
#include "socket_connection.h"
#include "socket_listener.h"
#include "transport/frame.h"

namespace platform::host {

using detail::ErrnoText;
using detail::Fail;
using detail::FromErrno;
using detail::SocketConnection;
using detail::SocketLoop;
using transport::FrameType;

namespace {

// Marks the listening socket and the wake-up descriptor in the epoll set; connections are marked
// by their own address.
char g_listenTag;
char g_wakeTag;

constexpr std::size_t kReadChunk = 64 * 1024;
// Reads of one connection per wake-up, so one busy peer cannot starve the others.
constexpr int kReadsPerWakeup = 4;
constexpr int kEventsPerWait = 64;
// The most threads that take turns. When all of them but the leader are in the driver, the leader
// leaves requests to the device queue's own threads rather than stop reading.
constexpr int kMaxSocketThreads = 4;

std::vector<std::uint8_t> ErrorFrame(std::uint32_t id, HRESULT status, std::string_view text)
{
    std::vector<std::uint8_t> frame;
    transport::AppendErrorFrame(&frame, id, {status, text});
    return frame;
}

std::string TypeText(std::uint16_t type)
{
    return "frame type " + std::to_string(type) + " is not one a client sends";
}

std::string DurationText(std::chrono::milliseconds duration)
{
    if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
    return std::to_string(duration.count()) + " ms";
}

}  // namespace

class SocketServer::Impl {
public:
    Impl(DriverHost& host, SocketServerOptions options)
        : m_host(host), m_options(std::move(options)), m_dropped(std::make_shared<std::atomic<std::uint64_t>>(0))
    {
    }

    HRESULT Start(std::string* error);
    void Stop();
    void BroadcastTrace(std::uint8_t level, std::string_view line);
    std::size_t ConnectionCount() const
    {
        std::lock_guard guard(m_connectionsMutex);
        return m_connections.size();
    }
    const SocketServerOptions& Options() const { return m_options; }
    std::uint64_t Dropped() const { return m_dropped->load(); }

private:
    // The threads that take turns, shared with them: a thread in the driver may outlive Stop, and
    // touches nothing else once it is back.
    struct Crew {
        std::mutex leader;  // held by the thread whose turn it is
        std::mutex mutex;
        std::condition_variable changed;
        // Guarded by mutex.
        int running = 0;
        int waiting = 0;      // of those, waiting for their turn
        int dispatching = 0;  // of those, handing a request to the driver
        bool stopping = false;
    };

    // The connections that said hello, until their file's cleanup has run; Stop waits for the
    // closes under way.
    struct FileCloses {
        std::mutex mutex;
        std::condition_variable done;
        // Guarded by mutex.
        int pending = 0;
        std::size_t clients = 0;
        std::size_t peak = 0;  // the most clients since the last fall from a peak
    };

    using ConnectionPtr = std::shared_ptr<SocketConnection>;

    // A server thread: waits for its turn, leads, and runs the request it claimed, until the stop.
    void TakeTurns(const std::shared_ptr<Crew>& crew);
    // Waits on the epoll set and handles what it reports until a request was claimed into `claim`;
    // false when the server stops.
    bool Lead(ClaimedIoRequest* claim);
    // Whether another thread will take the leader's role when this one leaves it: one waits, or one
    // is started for it.
    bool CanPassLead();
    bool StartThread();
    void Accept();
    void SetListening(bool listening);
    void OnReadable(const ConnectionPtr& connection);
    void ReadUnread(const ConnectionPtr& connection);
    void ReadFrames(const ConnectionPtr& connection, std::span<const std::uint8_t>* input);
    void Dispatch(const ConnectionPtr& connection, const transport::FrameHeader& header,
                  std::span<const std::uint8_t> payload);
    void HandleHello(const ConnectionPtr& connection, std::uint32_t id, std::span<const std::uint8_t> payload);
    void HandleIoControl(const ConnectionPtr& connection, std::uint32_t id, std::span<const std::uint8_t> payload);
    void HandleSimulate(const ConnectionPtr& connection, std::uint32_t id, std::span<const std::uint8_t> payload);
    void HandleTrace(const ConnectionPtr& connection, std::uint32_t id, std::span<const std::uint8_t> payload);
    HRESULT OpenFile(const ConnectionPtr& connection);
    // Tells onClosedByHost, then sends the kError and closes the connection once it is written.
    void CloseWithError(const ConnectionPtr& connection, std::uint32_t id, HRESULT status, const std::string& why);
    // Notes when a connection's frame is left incomplete by what was read.
    void TrackPartialFrame(const ConnectionPtr& connection);
    // Closes the connections whose frame stayed incomplete too long; sets when to look again.
    void CloseStalledConnections();
    // How long the leader may wait for its next event, in milliseconds (-1: no limit).
    int WaitTimeout() const;
    void CloseConnection(const ConnectionPtr& connection);
    // Closes the file (when there is one) and then tells onConnection, for a connection that said
    // hello.
    void CloseFile(const ConnectionPtr& connection, platform::ComPtr<CHostFile> file);
    void UpdateTraceLevel();

    DriverHost& m_host;
    const SocketServerOptions m_options;
    const std::shared_ptr<std::atomic<std::uint64_t>> m_dropped;
    const std::shared_ptr<FileCloses> m_closes = std::make_shared<FileCloses>();

    // Written by Start and Stop; between them used by the leader.
    std::shared_ptr<SocketLoop> m_loop;
    detail::SocketListener m_listener;
    std::shared_ptr<Crew> m_crew;

    // The leader's only (and Stop's once no thread leads any more).
    // Where the leader may put a request for itself to run; null while it may not claim one. The
    // request is claimed only when it is the last frame read, so no later frame of its connection
    // waits for it.
    ClaimedIoRequest* m_claim = nullptr;
    bool m_lastFrameOfInput = false;
    bool m_listenPaused = false;
    std::uint8_t m_traceLevel = transport::kTraceOff;  // what onTraceLevel last heard
    std::vector<std::uint8_t> m_scratch;
    std::vector<ConnectionPtr> m_closedThisRound;  // kept alive while the epoll batch may name them
    // When the earliest incomplete frame is due; none while no frame is incomplete.
    std::optional<std::chrono::steady_clock::time_point> m_nextStallCheck;
    // When onAlive is next due; none without it.
    std::optional<std::chrono::steady_clock::time_point> m_nextAlive;

    mutable std::mutex m_connectionsMutex;
    // Guarded by m_connectionsMutex; changed by the leader only (and by Stop).
    std::map<int, ConnectionPtr> m_connections;

    detail::CommandRunner m_commands{m_options.onSimulate};
};

// ---- Start and stop. ----

HRESULT SocketServer::Impl::Start(std::string* error)
{
    if (m_loop) return Fail(error, E_UNEXPECTED, "the server is already started");
    RETURN_IF_FAILED(m_options.listeningFd >= 0 ? m_listener.Adopt(m_options.listeningFd, error)
                                                : m_listener.Open(m_options.socketPath, error));
    const int fd = m_listener.Fd();
    const auto undo = [&](const char* what) {
        const int saved = errno;
        m_listener.Close();
        return Fail(error, FromErrno(saved), std::string(what) + ErrnoText(saved));
    };
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) return undo("cannot make an epoll set: ");
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        ::close(epollFd);
        return undo("cannot make an event descriptor: ");
    }
    auto loop = std::make_shared<SocketLoop>(epollFd, wakeFd);
    epoll_event listenEvent{};
    listenEvent.events = EPOLLIN;
    listenEvent.data.ptr = &g_listenTag;
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.ptr = &g_wakeTag;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &listenEvent) != 0 ||
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wakeEvent) != 0) {
        return undo("cannot watch the socket: ");
    }

    m_listenPaused = false;
    m_nextAlive.reset();
    if (m_options.onAlive && m_options.aliveInterval.count() > 0) m_nextAlive = std::chrono::steady_clock::now();
    m_loop = std::move(loop);
    m_scratch.resize(kReadChunk);
    m_crew = std::make_shared<Crew>();
    // Two threads from the start, so the first request already finds the next leader waiting.
    bool started = false;
    {
        std::lock_guard guard(m_crew->mutex);
        started = StartThread() && StartThread();
    }
    if (!started) {
        Stop();
        return Fail(error, E_OUTOFMEMORY, "cannot start the server's threads");
    }
    try {
        m_commands.Start();
    } catch (const std::system_error& failure) {
        Stop();
        return Fail(error, E_OUTOFMEMORY, std::string("cannot start the server's threads: ") + failure.what());
    }
    return S_OK;
}

void SocketServer::Impl::Stop()
{
    if (!m_loop) return;
    m_loop->RequestStop();
    {
        // Threads in the driver finish their request on their own; the others end now.
        std::unique_lock guard(m_crew->mutex);
        m_crew->stopping = true;
        m_crew->changed.wait(guard, [this] { return m_crew->running == m_crew->dispatching; });
    }
    m_crew.reset();
    m_commands.Stop();

    std::vector<ConnectionPtr> open;
    {
        std::lock_guard guard(m_connectionsMutex);
        for (const auto& [fd, connection] : m_connections) open.push_back(connection);
    }
    for (const auto& connection : open) CloseConnection(connection);
    m_closedThisRound.clear();
    {
        std::unique_lock guard(m_closes->mutex);
        m_closes->done.wait(guard, [this] { return m_closes->pending == 0; });
    }

    m_listener.Close();
    m_loop->Clear();
    m_loop.reset();
    std::vector<std::uint8_t>().swap(m_scratch);
}

// ---- The server's threads. ----

bool SocketServer::Impl::StartThread()
{
    // With m_crew->mutex held. The thread counts as waiting from now: it will be.
    try {
        std::thread([this, crew = m_crew] { TakeTurns(crew); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    ++m_crew->running;
    ++m_crew->waiting;
    return true;
}

bool SocketServer::Impl::CanPassLead()
{
    std::lock_guard guard(m_crew->mutex);
    if (m_crew->waiting > 0) return true;
    return m_crew->running < kMaxSocketThreads && StartThread();
}

void SocketServer::Impl::TakeTurns(const std::shared_ptr<Crew>& crew)
{
    for (;;) {
        std::unique_lock turn(crew->leader);
        {
            std::lock_guard guard(crew->mutex);
            --crew->waiting;
            if (crew->stopping) {
                --crew->running;
                crew->changed.notify_all();
                return;
            }
        }
        ClaimedIoRequest claim;
        const bool stopping = !Lead(&claim);
        const bool claimed = static_cast<bool>(claim);
        {
            std::lock_guard guard(crew->mutex);
            if (stopping) crew->stopping = true;
            if (claimed) ++crew->dispatching;
        }
        turn.unlock();
        claim.Dispatch();
        // From here on the server may be gone: only the crew is touched.
        std::lock_guard guard(crew->mutex);
        if (!claimed) {
            --crew->running;
            crew->changed.notify_all();
            return;
        }
        --crew->dispatching;
        ++crew->waiting;
        crew->changed.notify_all();
    }
}

bool SocketServer::Impl::Lead(ClaimedIoRequest* claim)
{
    epoll_event events[kEventsPerWait];
    std::vector<ConnectionPtr> posted;
    bool stopping = false;
    m_claim = claim;
    while (!stopping && !*claim) {
        const int count = ::epoll_wait(m_loop->epollFd, events, kEventsPerWait, WaitTimeout());
        if (count < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < count; ++i) {
            void* const tag = events[i].data.ptr;
            if (tag == &g_listenTag) {
                Accept();
                continue;
            }
            if (tag == &g_wakeTag) {
                stopping = m_loop->Take(&posted);
                for (const auto& connection : posted) {
                    if (connection->IsClosed()) continue;
                    if (!connection->ShouldClose()) ReadUnread(connection);
                    if (!connection->IsClosed() && connection->ShouldClose()) CloseConnection(connection);
                }
                posted.clear();
                continue;
            }
            auto* raw = static_cast<SocketConnection*>(tag);
            if (raw->IsClosed()) continue;
            const ConnectionPtr connection = raw->shared_from_this();
            const std::uint32_t what = events[i].events;
            if ((what & (EPOLLERR | EPOLLHUP)) != 0) {
                // The peer is gone both ways: nothing it sent can be answered any more. (Reported
                // whatever the interest, so a paused connection must not be left to it.)
                CloseConnection(connection);
                continue;
            }
            if ((what & EPOLLOUT) != 0) connection->Flush();
            if ((what & (EPOLLIN | EPOLLRDHUP)) != 0) OnReadable(connection);
            if (!connection->IsClosed() && connection->ShouldClose()) CloseConnection(connection);
        }
        if (m_nextStallCheck && std::chrono::steady_clock::now() >= *m_nextStallCheck) CloseStalledConnections();
        if (m_nextAlive && std::chrono::steady_clock::now() >= *m_nextAlive) {
            m_options.onAlive();
            m_nextAlive = std::chrono::steady_clock::now() + m_options.aliveInterval;
        }
        m_closedThisRound.clear();
    }
    m_claim = nullptr;
    return !stopping;
}

int SocketServer::Impl::WaitTimeout() const
{
    if (!m_nextStallCheck && !m_nextAlive) return -1;
    const auto due = m_nextStallCheck && m_nextAlive ? std::min(*m_nextStallCheck, *m_nextAlive)
                     : m_nextStallCheck              ? *m_nextStallCheck
                                                     : *m_nextAlive;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, std::numeric_limits<int>::max()));
}

void SocketServer::Impl::TrackPartialFrame(const ConnectionPtr& connection)
{
    if (connection->IsClosed() || !connection->reader.InFrame()) {
        connection->partialSince.reset();
        return;
    }
    if (connection->partialSince) return;
    const auto now = std::chrono::steady_clock::now();
    connection->partialSince = now;
    const auto due = now + m_options.partialFrameTimeout;
    if (!m_nextStallCheck || due < *m_nextStallCheck) m_nextStallCheck = due;
}

void SocketServer::Impl::CloseStalledConnections()
{
    const auto now = std::chrono::steady_clock::now();
    m_nextStallCheck.reset();
    std::vector<ConnectionPtr> stalled;
    {
        std::lock_guard guard(m_connectionsMutex);
        for (const auto& [fd, connection] : m_connections) {
            if (!connection->partialSince) continue;
            const auto due = *connection->partialSince + m_options.partialFrameTimeout;
            if (due <= now) {
                stalled.push_back(connection);
            } else if (!m_nextStallCheck || due < *m_nextStallCheck) {
                m_nextStallCheck = due;
            }
        }
    }
    for (const auto& connection : stalled) {
        CloseWithError(connection, 0, HRESULT_FROM_WIN32(ERROR_TIMEOUT),
                       "a frame stayed incomplete for " + DurationText(m_options.partialFrameTimeout) +
                           "; the host closed the connection");
        // The peer may not be reading either: the connection goes now, not when the error is out.
        CloseConnection(connection);
    }
}

void SocketServer::Impl::Accept()
{
    for (;;) {
        const int fd = ::accept4(m_listener.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: new peers wait in the backlog until a connection closes.
                SetListening(false);
            }
            return;
        }
        try {
            PeerCredentials peer;
            if (!detail::SocketListener::ReadPeer(fd, &peer)) {
                ::close(fd);
                continue;
            }
            const FileAccess access = m_options.access.AccessFor(peer);
            const bool maySimulate = m_options.access.MaySimulate(peer);
            auto connection = std::make_shared<SocketConnection>(fd, std::move(peer), access, maySimulate,
                                                                 m_options.eventBufferFrames, m_loop, m_dropped);
            if (!connection->Register()) continue;  // the connection closes its socket as it goes
            std::lock_guard guard(m_connectionsMutex);
            m_connections[fd] = std::move(connection);
        } catch (const std::bad_alloc&) {
            // The connection goes; the socket was closed by whoever owned it by then.
        }
    }
}

void SocketServer::Impl::SetListening(bool listening)
{
    if (m_listenPaused == !listening) return;
    epoll_event event{};
    event.events = listening ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
    event.data.ptr = &g_listenTag;
    if (::epoll_ctl(m_loop->epollFd, EPOLL_CTL_MOD, m_listener.Fd(), &event) == 0) m_listenPaused = !listening;
}

void SocketServer::Impl::OnReadable(const ConnectionPtr& connection)
{
    try {
        if (!connection->unread.empty()) {
            ReadUnread(connection);
            if (!connection->unread.empty()) return;
        }
        for (int read = 0; read < kReadsPerWakeup; ++read) {
            if (!connection->MayRead()) return;
            const ssize_t received = ::recv(connection->Fd(), m_scratch.data(), m_scratch.size(), MSG_DONTWAIT);
            if (received == 0) return CloseConnection(connection);
            if (received < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                return CloseConnection(connection);
            }
            std::span<const std::uint8_t> input(m_scratch.data(), static_cast<std::size_t>(received));
            ReadFrames(connection, &input);
            TrackPartialFrame(connection);
            if (connection->IsClosed()) return;
            if (!input.empty()) {
                connection->unread.assign(input.begin(), input.end());
                return;
            }
            // What the socket still holds is read in a later turn, after the claimed request.
            if (*m_claim || static_cast<std::size_t>(received) < m_scratch.size()) return;
        }
    } catch (const std::bad_alloc&) {
        CloseConnection(connection);
    }
}

void SocketServer::Impl::ReadUnread(const ConnectionPtr& connection)
{
    if (connection->unread.empty() || !connection->MayRead()) return;
    std::vector<std::uint8_t> bytes;
    bytes.swap(connection->unread);
    std::span<const std::uint8_t> input(bytes);
    ReadFrames(connection, &input);
    TrackPartialFrame(connection);
    if (!connection->IsClosed() && !input.empty()) connection->unread.assign(input.begin(), input.end());
}

void SocketServer::Impl::ReadFrames(const ConnectionPtr& connection, std::span<const std::uint8_t>* input)
{
    while (!input->empty()) {
        if (!connection->MayRead()) return;
        switch (connection->reader.Read(input)) {
            case transport::ReadStatus::kNeedMore:
                return;
            case transport::ReadStatus::kFramingError: {
                const HRESULT why = connection->reader.Error();
                const std::string text =
                    why == transport::kFrameTooLarge
                        ? "a frame of " + std::to_string(connection->reader.Header().length) +
                              " bytes is longer than the largest, " + std::to_string(transport::kMaxFramePayload)
                        : "a frame header has flags set; flags must be 0";
                CloseWithError(connection, 0, why, text);
                *input = {};
                return;
            }
            case transport::ReadStatus::kFrame:
                connection->partialSince.reset();
                m_lastFrameOfInput = input->empty();
                Dispatch(connection, connection->reader.Header(), connection->reader.Payload());
                if (connection->IsClosed()) return;
                break;
        }
    }
}

void SocketServer::Impl::Dispatch(const ConnectionPtr& connection, const transport::FrameHeader& header,
                                  std::span<const std::uint8_t> payload)
{
    const auto type = static_cast<FrameType>(header.type);
    if (!connection->helloDone) {
        if (type != FrameType::kHello) {
            return CloseWithError(connection, header.id, E_UNEXPECTED, "the first frame must be a hello");
        }
        return HandleHello(connection, header.id, payload);
    }
    switch (type) {
        case FrameType::kHello:
            return connection->SendReply(ErrorFrame(header.id, E_UNEXPECTED, "the hello was already said"));
        case FrameType::kIoControl:
            return HandleIoControl(connection, header.id, payload);
        case FrameType::kSimulate:
            return HandleSimulate(connection, header.id, payload);
        case FrameType::kTrace:
            return HandleTrace(connection, header.id, payload);
        default:
            return connection->SendReply(ErrorFrame(header.id, transport::kUnsupportedFrame, TypeText(header.type)));
    }
}

void SocketServer::Impl::HandleHello(const ConnectionPtr& connection, std::uint32_t id,
                                     std::span<const std::uint8_t> payload)
{
    transport::HelloPayload hello;
    if (FAILED(transport::DecodeHello(payload, &hello)) || hello.magic != transport::kHelloMagic) {
        return CloseWithError(connection, id, transport::kMalformedFrame, "the hello is not one of this protocol");
    }
    if (hello.version != transport::kProtocolVersion) {
        return CloseWithError(connection, id, transport::kVersionMismatch,
                              "this host speaks protocol version " + std::to_string(transport::kProtocolVersion) +
                                  "; the client asked for version " + std::to_string(hello.version));
    }
    connection->helloDone = true;
    {
        std::lock_guard guard(m_closes->mutex);
        m_closes->peak = std::max(m_closes->peak, ++m_closes->clients);
    }
    // A device that is not there yet is opened by the first request that finds it.
    OpenFile(connection);

    if (m_options.onConnection) m_options.onConnection(connection->Peer(), connection->Access(), true);

    transport::HelloReplyPayload reply;
    reply.access = connection->Access() == FileAccess::kReadWrite ? transport::WireAccess::kReadWrite
                                                                   : transport::WireAccess::kRead;
    reply.eventBufferFrames = m_options.eventBufferFrames;
    reply.simulationAllowed = connection->MaySimulate() && static_cast<bool>(m_options.onSimulate);
    std::vector<std::uint8_t> frame;
    transport::AppendHelloReplyFrame(&frame, id, reply);
    connection->SendReply(frame);
}

HRESULT SocketServer::Impl::OpenFile(const ConnectionPtr& connection)
{
    // The handler holds the connection weakly: the file may outlive it (a request in flight holds
    // the file), and the connection holds the file.
    std::weak_ptr<SocketConnection> weak = connection;
    ClientEventHandler events = [weak](std::span<const std::uint8_t> message) {
        if (const auto alive = weak.lock()) alive->SendHostFrame(FrameType::kEvent, message);
    };
    platform::ComPtr<CHostFile> file;
    const HRESULT hr = m_host.OpenFile(connection->Access(), std::move(events), &file);
    if (SUCCEEDED(hr)) connection->file = std::move(file);
    return hr;
}

void SocketServer::Impl::HandleIoControl(const ConnectionPtr& connection, std::uint32_t id,
                                         std::span<const std::uint8_t> payload)
{
    transport::IoControlPayload request;
    if (FAILED(transport::DecodeIoControl(payload, &request))) {
        return connection->SendReply(ErrorFrame(
            id, transport::kMalformedFrame, "a control request has a code and an output capacity before its input"));
    }
    const auto refuse = [&](HRESULT status) {
        connection->SendReply(transport::MakeIoReplyPrefix(id, {status, 0, {}}));
    };
    if (request.outputCapacity > transport::kMaxIoBytes) return refuse(E_INVALIDARG);
    if (!connection->file) {
        const HRESULT opened = OpenFile(connection);
        if (FAILED(opened)) return refuse(opened);
    }
    // A request whose completion is reported carries its input and the callback (the completion
    // may come after Stop); the others carry nothing.
    struct Reported {
        std::vector<std::uint8_t> input;
        std::function<void(const PeerCredentials&, ULONG, std::span<const std::uint8_t>, HRESULT)> done;
    };
    std::shared_ptr<Reported> reported;
    const auto& codes = m_options.reportedControlCodes;
    if (m_options.onControlDone && std::find(codes.begin(), codes.end(), request.controlCode) != codes.end()) {
        reported =
            std::make_shared<Reported>(Reported{{request.input.begin(), request.input.end()}, m_options.onControlDone});
    }
    connection->BeginRequest();
    ClaimedIoRequest* const here = m_lastFrameOfInput && !*m_claim && CanPassLead() ? m_claim : nullptr;
    m_host.DeviceIoControl(connection->file.Get(), request.controlCode, request.input, request.outputCapacity,
                           [connection, id, code = request.controlCode, reported](IoResult result) {
                               if (reported) reported->done(connection->Peer(), code, reported->input, result.status);
                               transport::IoReplyPayload reply;
                               reply.status = result.status;
                               if (SUCCEEDED(result.status)) {
                                   reply.output = result.output;
                                   reply.information = static_cast<std::uint32_t>(result.output.size());
                               } else {
                                   reply.information = static_cast<std::uint32_t>(std::min<SIZE_T>(
                                       result.information, std::numeric_limits<std::uint32_t>::max()));
                               }
                               connection->SendRequestReply(transport::MakeIoReplyPrefix(id, reply), reply.output);
                           },
                           here);
}

void SocketServer::Impl::HandleSimulate(const ConnectionPtr& connection, std::uint32_t id,
                                        std::span<const std::uint8_t> payload)
{
    const auto reply = [&](HRESULT status, std::string_view text) {
        std::vector<std::uint8_t> frame;
        transport::AppendSimulateReplyFrame(&frame, id, {status, text});
        connection->SendReply(frame);
    };
    if (!connection->MaySimulate()) {
        return reply(E_ACCESSDENIED, "only the host's own user may change the simulated machine");
    }
    if (!m_options.onSimulate) return reply(E_NOTIMPL, "this host has no simulation channel");
    if (payload.size() > SocketServer::kMaxSimulateBytes) {
        return reply(E_INVALIDARG, "a simulation command has at most " +
                                       std::to_string(SocketServer::kMaxSimulateBytes) + " bytes; this one has " +
                                       std::to_string(payload.size()));
    }
    connection->BeginRequest();
    m_commands.Post(connection, id, std::string(reinterpret_cast<const char*>(payload.data()), payload.size()));
}

void SocketServer::Impl::HandleTrace(const ConnectionPtr& connection, std::uint32_t id,
                                     std::span<const std::uint8_t> payload)
{
    std::uint8_t level = 0;
    if (FAILED(transport::DecodeTrace(payload, &level))) {
        return connection->SendReply(
            ErrorFrame(id, transport::kMalformedFrame, "a trace request is one byte, a level from 0 to 4"));
    }
    connection->SetTraceLevel(level);
    UpdateTraceLevel();
    std::vector<std::uint8_t> frame;
    transport::AppendTraceReplyFrame(&frame, id, S_OK);
    connection->SendReply(frame);
}

void SocketServer::Impl::CloseWithError(const ConnectionPtr& connection, std::uint32_t id, HRESULT status,
                                        const std::string& why)
{
    if (m_options.onClosedByHost) m_options.onClosedByHost(connection->Peer(), why);
    connection->SendErrorAndClose(ErrorFrame(id, status, why));
}

void SocketServer::Impl::CloseConnection(const ConnectionPtr& connection)
{
    platform::ComPtr<CHostFile> file;
    if (!connection->Close(&file)) return;
    {
        std::lock_guard guard(m_connectionsMutex);
        m_connections.erase(connection->Fd());
    }
    m_closedThisRound.push_back(connection);
    if (connection->TraceLevel() != transport::kTraceOff) UpdateTraceLevel();
    if (connection->helloDone) CloseFile(connection, std::move(file));
    if (m_listenPaused) SetListening(true);
}

void SocketServer::Impl::CloseFile(const ConnectionPtr& connection, platform::ComPtr<CHostFile> file)
{
    // Stop waits for every close, so the options outlive the call.
    const auto closes = m_closes;
    const auto finished = [this, closes, peer = connection->Peer(), access = connection->Access()] {
        bool fell = false;
        {
            std::lock_guard guard(closes->mutex);
            --closes->clients;
            if (closes->peak >= SocketServer::kPeakClients && closes->clients <= closes->peak / 4) {
                closes->peak = closes->clients;
                fell = true;
            }
        }
        if (fell && m_options.onClientsFell) m_options.onClientsFell();
        if (m_options.onConnection) m_options.onConnection(peer, access, false);
        {
            std::lock_guard guard(closes->mutex);
            --closes->pending;
        }
        closes->done.notify_all();
    };
    {
        std::lock_guard guard(closes->mutex);
        ++closes->pending;
    }
    // A file of a device that has gone since is refused; there is nothing left to clean up then.
    if (!file || FAILED(m_host.CloseFile(file.Get(), finished))) finished();
}

void SocketServer::Impl::UpdateTraceLevel()
{
    std::uint8_t highest = transport::kTraceOff;
    {
        std::lock_guard guard(m_connectionsMutex);
        for (const auto& [fd, connection] : m_connections) highest = std::max(highest, connection->TraceLevel());
    }
    if (highest == m_traceLevel) return;
    m_traceLevel = highest;
    if (m_options.onTraceLevel) m_options.onTraceLevel(highest);
}

void SocketServer::Impl::BroadcastTrace(std::uint8_t level, std::string_view line)
{
    const auto bytes = line.substr(0, SocketServer::kMaxTraceLineBytes);
    const std::span<const std::uint8_t> payload(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::lock_guard guard(m_connectionsMutex);
    for (const auto& [fd, connection] : m_connections) {
        const std::uint8_t wanted = connection->TraceLevel();
        if (wanted != transport::kTraceOff && level <= wanted) {
            connection->SendHostFrame(FrameType::kTraceLine, payload);
        }
    }
}

// ---- The public face. ----

HRESULT SocketServer::CheckPath(const std::string& path, std::string* error)
{
    return detail::SocketListener::CheckPath(path, error);
}

HRESULT SocketServer::CheckListeningSocket(int fd, std::string* error)
{
    return detail::SocketListener::CheckListeningSocket(fd, error);
}

SocketServer::SocketServer(DriverHost& host, SocketServerOptions options)
    : m_impl(std::make_unique<Impl>(host, std::move(options)))
{
}

SocketServer::~SocketServer()
{
    m_impl->Stop();
}

HRESULT SocketServer::Start(std::string* error)
{
    return m_impl->Start(error);
}

void SocketServer::Stop()
{
    m_impl->Stop();
}

void SocketServer::BroadcastTrace(std::uint8_t level, std::string_view line)
{
    m_impl->BroadcastTrace(level, line);
}

const std::string& SocketServer::SocketPath() const
{
    return m_impl->Options().socketPath;
}

std::size_t SocketServer::ConnectionCount() const
{
    return m_impl->ConnectionCount();
}

std::uint64_t SocketServer::DroppedFrames() const
{
    return m_impl->Dropped();
}

}  // namespace platform::host
