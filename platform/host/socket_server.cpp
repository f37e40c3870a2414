// The host's client socket: binding the path, accepting and closing connections, reading frames
// and turning them into device I/O, simulation commands and trace requests.
#include "host/socket_server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "socket_connection.h"
#include "transport/frame.h"

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

namespace platform::host {

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

std::string ErrnoText(int error)
{
    return std::system_category().message(error);
}

HRESULT FromErrno(int error)
{
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return E_ACCESSDENIED;
        case ENOENT:
        case ENOTDIR:
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        case ENOMEM:
        case ENOBUFS:
            return E_OUTOFMEMORY;
        case ENAMETOOLONG:
            return E_INVALIDARG;
        case EADDRINUSE:
        case EEXIST:
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        default:
            return E_FAIL;
    }
}

HRESULT Fail(std::string* error, HRESULT hr, std::string text)
{
    if (error != nullptr) *error = std::move(text);
    return hr;
}

bool ReadPeer(int fd, PeerCredentials* peer)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    peer->pid = credentials.pid;
    peer->uid = credentials.uid;
    peer->gid = credentials.gid;
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
            groups.resize(bytes / sizeof(gid_t));
            peer->groups = std::move(groups);
            return true;
        }
        if (errno != ERANGE) break;
        groups.resize(bytes / sizeof(gid_t) + 1);
    }
    return true;  // the primary group alone then
}

std::vector<std::uint8_t> ErrorFrame(std::uint32_t id, HRESULT status, std::string_view text)
{
    std::vector<std::uint8_t> frame;
    transport::AppendErrorFrame(&frame, id, {status, text});
    return frame;
}

std::string_view Bounded(std::string_view text, std::size_t fixedBytes)
{
    return text.substr(0, transport::kMaxFramePayload - fixedBytes);
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

sockaddr_un AddressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

HRESULT CheckLength(const std::string& path, std::string* error)
{
    if (!path.empty() && path.size() < sizeof(sockaddr_un{}.sun_path)) return S_OK;
    return Fail(
        error, E_INVALIDARG,
        "the socket path must have 1 to " + std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes: " + path);
}

// What stands at `path` for a new socket: nothing (S_OK), a stale socket that may be replaced
// (S_FALSE), or a live socket or another file, refused with ERROR_ALREADY_EXISTS.
HRESULT ExistingFileAt(const std::string& path, std::string* error)
{
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) != 0) return S_OK;
    if (!S_ISSOCK(existing.st_mode)) {
        return Fail(error, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
                    path + " exists and is not a socket; it was left as it is");
    }
    // A socket file: live when something accepts connections on it, stale otherwise.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) return Fail(error, FromErrno(errno), "cannot make a socket: " + ErrnoText(errno));
    const sockaddr_un address = AddressOf(path);
    const int connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int probeError = connected == 0 ? 0 : errno;
    ::close(probe);
    if (probeError != ECONNREFUSED) {
        return Fail(error, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
                    "another process is listening on " + path + "; a second host cannot use it");
    }
    return S_FALSE;
}

}  // namespace

HRESULT SocketServer::CheckPath(const std::string& path, std::string* error)
{
    RETURN_IF_FAILED(CheckLength(path, error));
    const std::string parent = std::filesystem::path(path).parent_path().string();
    const std::string directory = parent.empty() ? "." : parent;
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
        return Fail(error, FromErrno(errno),
                    "cannot make the socket " + path + ": its directory " + directory + " cannot be used (" +
                        ErrnoText(errno) + ")");
    }
    if (!S_ISDIR(status.st_mode)) {
        return Fail(error, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                    "cannot make the socket " + path + ": " + directory + " is not a directory");
    }
    if (::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return Fail(error, FromErrno(errno),
                    "cannot make the socket " + path + ": its directory " + directory + " is not writable (" +
                        ErrnoText(errno) + ")");
    }
    const HRESULT existing = ExistingFileAt(path, error);
    return FAILED(existing) ? existing : S_OK;
}

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
    // File closes that have not finished their cleanup yet; Stop waits for them.
    struct FileCloses {
        std::mutex mutex;
        std::condition_variable done;
        int pending = 0;  // guarded by mutex
    };

    struct Command {
        std::shared_ptr<SocketConnection> connection;
        std::uint32_t id = 0;
        std::string line;
    };

    using ConnectionPtr = std::shared_ptr<SocketConnection>;

    HRESULT Bind(int fd, std::string* error);
    void RunLoop();
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
    // How long the socket thread may wait for its next event, in milliseconds (-1: no limit).
    int WaitTimeout() const;
    void CloseConnection(const ConnectionPtr& connection);
    // Closes the file (when there is one) and then tells onConnection, for a connection that said
    // hello.
    void CloseFile(const ConnectionPtr& connection, platform::ComPtr<CHostFile> file);
    void UpdateTraceLevel();
    void RunCommands();

    DriverHost& m_host;
    const SocketServerOptions m_options;
    const std::shared_ptr<std::atomic<std::uint64_t>> m_dropped;
    const std::shared_ptr<FileCloses> m_closes = std::make_shared<FileCloses>();

    // Written by Start and Stop; between them used by the socket thread.
    std::shared_ptr<SocketLoop> m_loop;
    int m_listenFd = -1;
    struct stat m_socketFile {};  // what Start made, so that Stop removes only that
    std::thread m_socketThread;

    // Socket thread only (and Stop once it has ended).
    bool m_listenPaused = false;
    std::uint8_t m_traceLevel = transport::kTraceOff;  // what onTraceLevel last heard
    std::vector<std::uint8_t> m_scratch;
    std::vector<ConnectionPtr> m_closedThisRound;  // kept alive while the epoll batch may name them
    // When the earliest incomplete frame is due; none while no frame is incomplete.
    std::optional<std::chrono::steady_clock::time_point> m_nextStallCheck;

    mutable std::mutex m_connectionsMutex;
    // Guarded by m_connectionsMutex; changed by the socket thread only (and by Stop after it ended).
    std::map<int, ConnectionPtr> m_connections;

    std::mutex m_commandMutex;
    std::condition_variable m_commandReady;
    // Guarded by m_commandMutex.
    std::deque<Command> m_commands;
    bool m_commandsStopping = false;
    std::thread m_commandThread;
};

// ---- Start and stop. ----

HRESULT SocketServer::Impl::Start(std::string* error)
{
    if (m_loop) return Fail(error, E_UNEXPECTED, "the server is already started");
    const std::string& path = m_options.socketPath;
    RETURN_IF_FAILED(CheckLength(path, error));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(error, FromErrno(errno), "cannot make a socket: " + ErrnoText(errno));
    const HRESULT bound = Bind(fd, error);
    if (FAILED(bound)) {
        ::close(fd);
        return bound;
    }
    const auto undo = [&](const char* what) {
        const int saved = errno;
        ::unlink(path.c_str());
        ::close(fd);
        return Fail(error, FromErrno(saved), std::string(what) + ErrnoText(saved));
    };
    if (::listen(fd, SOMAXCONN) != 0) return undo("cannot listen on the socket: ");
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

    m_listenFd = fd;
    m_listenPaused = false;
    m_loop = std::move(loop);
    m_scratch.resize(kReadChunk);
    {
        std::lock_guard guard(m_commandMutex);
        m_commandsStopping = false;
    }
    try {
        m_socketThread = std::thread([this] { RunLoop(); });
        m_commandThread = std::thread([this] { RunCommands(); });
    } catch (const std::system_error& failure) {
        Stop();
        return Fail(error, E_OUTOFMEMORY, std::string("cannot start the server's threads: ") + failure.what());
    }
    return S_OK;
}

HRESULT SocketServer::Impl::Bind(int fd, std::string* error)
{
    const std::string& path = m_options.socketPath;
    const sockaddr_un address = AddressOf(path);
    const auto* generic = reinterpret_cast<const sockaddr*>(&address);

    // The socket file takes the socket's mode, less the umask, when bind makes it; chmod after bind
    // makes it exactly 0660 whatever the umask.
    ::fchmod(fd, 0660);
    if (::bind(fd, generic, sizeof(address)) != 0) {
        if (errno != EADDRINUSE) {
            return Fail(error, FromErrno(errno), "cannot make the socket " + path + ": " + ErrnoText(errno));
        }
        RETURN_IF_FAILED(ExistingFileAt(path, error));
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return Fail(error, FromErrno(errno),
                        "cannot remove the stale socket " + path + ": " + ErrnoText(errno));
        }
        if (::bind(fd, generic, sizeof(address)) != 0) {
            return Fail(error, FromErrno(errno), "cannot make the socket " + path + ": " + ErrnoText(errno));
        }
    }
    if (::chmod(path.c_str(), 0660) != 0 || ::stat(path.c_str(), &m_socketFile) != 0) {
        const int saved = errno;
        ::unlink(path.c_str());
        return Fail(error, FromErrno(saved), "cannot set the mode of the socket " + path + ": " + ErrnoText(saved));
    }
    return S_OK;
}

void SocketServer::Impl::Stop()
{
    if (!m_loop) return;
    m_loop->RequestStop();
    if (m_socketThread.joinable()) m_socketThread.join();
    {
        std::lock_guard guard(m_commandMutex);
        m_commandsStopping = true;
    }
    m_commandReady.notify_all();
    if (m_commandThread.joinable()) m_commandThread.join();
    std::deque<Command> unrun;
    {
        std::lock_guard guard(m_commandMutex);
        unrun.swap(m_commands);
    }
    unrun.clear();

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

    ::close(m_listenFd);
    m_listenFd = -1;
    struct stat current {};
    const std::string& path = m_options.socketPath;
    if (::stat(path.c_str(), &current) == 0 && current.st_dev == m_socketFile.st_dev &&
        current.st_ino == m_socketFile.st_ino) {
        ::unlink(path.c_str());
    }
    m_loop->Clear();
    m_loop.reset();
    std::vector<std::uint8_t>().swap(m_scratch);
}

// ---- The socket thread. ----

void SocketServer::Impl::RunLoop()
{
    epoll_event events[kEventsPerWait];
    std::vector<ConnectionPtr> posted;
    bool stopping = false;
    while (!stopping) {
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
        m_closedThisRound.clear();
    }
}

int SocketServer::Impl::WaitTimeout() const
{
    if (!m_nextStallCheck) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*m_nextStallCheck - std::chrono::steady_clock::now());
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
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
            if (!ReadPeer(fd, &peer)) {
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
    if (::epoll_ctl(m_loop->epollFd, EPOLL_CTL_MOD, m_listenFd, &event) == 0) m_listenPaused = !listening;
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
            if (static_cast<std::size_t>(received) < m_scratch.size()) return;
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
                           });
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
    {
        std::lock_guard guard(m_commandMutex);
        m_commands.push_back(
            Command{connection, id, std::string(reinterpret_cast<const char*>(payload.data()), payload.size())});
    }
    m_commandReady.notify_one();
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

// ---- The command thread. ----

void SocketServer::Impl::RunCommands()
{
    for (;;) {
        Command command;
        {
            std::unique_lock guard(m_commandMutex);
            m_commandReady.wait(guard, [this] { return m_commandsStopping || !m_commands.empty(); });
            if (m_commandsStopping) return;
            command = std::move(m_commands.front());
            m_commands.pop_front();
        }
        std::pair<HRESULT, std::string> result;
        try {
            result = m_options.onSimulate(command.line);
        } catch (const std::bad_alloc&) {
            result = {E_OUTOFMEMORY, "memory ran out while the command ran"};
        } catch (const std::exception& failure) {
            result = {E_FAIL, failure.what()};
        }
        try {
            std::vector<std::uint8_t> frame;
            transport::AppendSimulateReplyFrame(&frame, command.id, {result.first, Bounded(result.second, 4)});
            command.connection->SendRequestReply(frame);
        } catch (const std::bad_alloc&) {
            // The status alone, without the text.
            const auto header = transport::MakeFrameHeader(FrameType::kSimulateReply, command.id, 4);
            const auto status = static_cast<std::uint32_t>(E_OUTOFMEMORY);
            const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(status), static_cast<std::uint8_t>(status >> 8),
                                           static_cast<std::uint8_t>(status >> 16),
                                           static_cast<std::uint8_t>(status >> 24)};
            command.connection->SendRequestReply(header, bytes);
        }
    }
}

// ---- The public face. ----

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
