// One client connection of the socket server: writing frames without waiting for the peer, the
// bounded buffer of frames the host starts, and pausing reads while the connection is busy.
#include "socket_connection.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>

namespace platform::host::detail {

namespace {

// The most frames one write hands to the socket.
constexpr std::size_t kMaxIovecs = 32;

// Writes without waiting; the bytes written, 0 when the socket is full, -1 when it is broken.
ssize_t WriteSome(int fd, iovec* iov, std::size_t count)
{
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    for (;;) {
        const ssize_t written = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written >= 0) return written;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

iovec Iov(std::span<const std::uint8_t> bytes)
{
    return iovec{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
}

}  // namespace

SocketLoop::~SocketLoop()
{
    ::close(epollFd);
    ::close(wakeFd);
}

void SocketLoop::Post(std::shared_ptr<SocketConnection> connection)
{
    {
        std::lock_guard guard(mutex);
        if (stopping) return;
        posted.push_back(std::move(connection));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof(one));
}

void SocketLoop::RequestStop()
{
    {
        std::lock_guard guard(mutex);
        stopping = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof(one));
}

bool SocketLoop::Take(std::vector<std::shared_ptr<SocketConnection>>* taken)
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(wakeFd, &count, sizeof(count));
    std::lock_guard guard(mutex);
    taken->swap(posted);
    posted.clear();
    return stopping;
}

void SocketLoop::Clear()
{
    std::vector<std::shared_ptr<SocketConnection>> dropped;
    std::lock_guard guard(mutex);
    dropped.swap(posted);
}

SocketConnection::SocketConnection(int fd, PeerCredentials peer, FileAccess access, bool maySimulate,
                                   std::uint32_t hostFrameLimit, std::shared_ptr<SocketLoop> loop,
                                   std::shared_ptr<std::atomic<std::uint64_t>> droppedTotal)
    : m_peer(std::move(peer)),
      m_access(access),
      m_maySimulate(maySimulate),
      m_hostFrameLimit(hostFrameLimit),
      m_loop(std::move(loop)),
      m_droppedTotal(std::move(droppedTotal)),
      m_fdForLookup(fd),
      m_fd(fd)
{
}

SocketConnection::~SocketConnection()
{
    if (m_fd >= 0) ::close(m_fd);
}

bool SocketConnection::Register()
{
    std::lock_guard guard(m_mutex);
    m_interest = EPOLLIN | EPOLLRDHUP;
    epoll_event event{};
    event.events = m_interest;
    event.data.ptr = this;
    return ::epoll_ctl(m_loop->epollFd, EPOLL_CTL_ADD, m_fd, &event) == 0;
}

void SocketConnection::SendReply(std::span<const std::uint8_t> prefix, std::span<const std::uint8_t> body)
{
    std::lock_guard guard(m_mutex);
    SendLocked(prefix, body, false);
}

void SocketConnection::SendRequestReply(std::span<const std::uint8_t> prefix, std::span<const std::uint8_t> body)
{
    std::lock_guard guard(m_mutex);
    if (m_requestsInFlight > 0) --m_requestsInFlight;
    SendLocked(prefix, body, false);
    MaybeResumeLocked();
}

void SocketConnection::SendHostFrame(transport::FrameType type, std::span<const std::uint8_t> payload)
{
    const auto header = transport::MakeFrameHeader(type, 0, payload.size());
    std::lock_guard guard(m_mutex);
    if (m_closed || m_closeAfterFlush) return;
    ReportDropsLocked();
    if (m_queuedHostFrames >= m_hostFrameLimit || m_queuedBytes >= SocketServer::kReadPauseBytes) {
        if (m_pendingDrops < std::numeric_limits<std::uint32_t>::max()) ++m_pendingDrops;
        m_droppedTotal->fetch_add(1);
        return;
    }
    SendLocked(header, payload, true);
}

void SocketConnection::SendErrorAndClose(std::span<const std::uint8_t> errorFrame)
{
    std::lock_guard guard(m_mutex);
    m_closeAfterFlush = true;  // first: a frame written at once then posts the close
    m_readPaused = true;
    SendLocked(errorFrame, {}, false);
    UpdateInterestLocked();
}

void SocketConnection::Flush()
{
    std::lock_guard guard(m_mutex);
    FlushLocked();
    ReportDropsLocked();
    MaybeResumeLocked();
    UpdateInterestLocked();
}

void SocketConnection::BeginRequest()
{
    std::lock_guard guard(m_mutex);
    ++m_requestsInFlight;
}

bool SocketConnection::MayRead()
{
    std::lock_guard guard(m_mutex);
    if (m_closed || m_closeAfterFlush) return false;
    const bool busy = BusyLocked();
    if (busy != m_readPaused) {
        m_readPaused = busy;
        UpdateInterestLocked();
    }
    return !busy;
}

bool SocketConnection::ShouldClose() const
{
    std::lock_guard guard(m_mutex);
    return !m_closed && (m_broken || (m_closeAfterFlush && m_queue.empty()));
}

bool SocketConnection::Close(platform::ComPtr<CHostFile>* fileToClose)
{
    {
        std::lock_guard guard(m_mutex);
        if (m_closed) return false;
        m_closed = true;
        ::epoll_ctl(m_loop->epollFd, EPOLL_CTL_DEL, m_fd, nullptr);
        ::close(m_fd);
        m_fd = -1;
        m_queue.clear();
        m_queuedBytes = 0;
        m_queuedHostFrames = 0;
    }
    *fileToClose = std::move(file);
    return true;
}

bool SocketConnection::IsClosed() const
{
    std::lock_guard guard(m_mutex);
    return m_closed;
}

void SocketConnection::SendLocked(std::span<const std::uint8_t> prefix, std::span<const std::uint8_t> body,
                                  bool hostStarted)
{
    if (m_closed || m_broken) return;
    try {
        SendOrQueueLocked(prefix, body, hostStarted);
    } catch (const std::bad_alloc&) {
        // A frame that cannot be kept cannot be skipped either (the peer would wait for it): the
        // connection ends.
        BreakLocked();
    }
}

void SocketConnection::SendOrQueueLocked(std::span<const std::uint8_t> prefix, std::span<const std::uint8_t> body,
                                         bool hostStarted)
{
    const std::size_t total = prefix.size() + body.size();
    std::size_t written = 0;
    if (m_queue.empty()) {
        iovec iov[2] = {Iov(prefix), Iov(body)};
        const ssize_t result = WriteSome(m_fd, iov, body.empty() ? 1 : 2);
        if (result < 0) return BreakLocked();
        written = static_cast<std::size_t>(result);
        if (written == total) {
            if (m_closeAfterFlush) PostSelf();
            return;
        }
    }
    Outgoing outgoing;
    outgoing.hostStarted = hostStarted;
    outgoing.bytes.reserve(total - written);
    const auto append = [&outgoing, &written](std::span<const std::uint8_t> part) {
        const std::size_t skip = std::min(written, part.size());
        outgoing.bytes.insert(outgoing.bytes.end(), part.begin() + static_cast<std::ptrdiff_t>(skip), part.end());
        written -= skip;
    };
    append(prefix);
    append(body);
    m_queuedBytes += outgoing.bytes.size();
    if (hostStarted) ++m_queuedHostFrames;
    m_queue.push_back(std::move(outgoing));
    UpdateInterestLocked();
}

void SocketConnection::FlushLocked()
{
    while (!m_queue.empty() && !m_closed && !m_broken) {
        iovec iov[kMaxIovecs];
        std::size_t count = 0;
        for (const Outgoing& outgoing : m_queue) {
            if (count == kMaxIovecs) break;
            std::span<const std::uint8_t> bytes(outgoing.bytes);
            if (count == 0) bytes = bytes.subspan(m_frontWritten);
            iov[count++] = Iov(bytes);
        }
        const ssize_t result = WriteSome(m_fd, iov, count);
        if (result < 0) return BreakLocked();
        if (result == 0) return;
        auto written = static_cast<std::size_t>(result);
        while (written > 0) {
            Outgoing& front = m_queue.front();
            const std::size_t left = front.bytes.size() - m_frontWritten;
            if (written < left) {
                m_frontWritten += written;
                break;
            }
            written -= left;
            m_queuedBytes -= front.bytes.size();
            if (front.hostStarted) --m_queuedHostFrames;
            m_frontWritten = 0;
            m_queue.pop_front();
        }
    }
    if (m_queue.empty() && m_closeAfterFlush) PostSelf();
}

void SocketConnection::ReportDropsLocked()
{
    if (m_pendingDrops == 0 || m_queuedHostFrames >= m_hostFrameLimit || m_closed || m_broken) return;
    std::uint8_t payload[4];
    for (int i = 0; i < 4; ++i) payload[i] = static_cast<std::uint8_t>(m_pendingDrops >> (8 * i));
    m_pendingDrops = 0;
    const auto header = transport::MakeFrameHeader(transport::FrameType::kEventsDropped, 0, sizeof(payload));
    SendLocked(header, payload, true);
}

bool SocketConnection::BusyLocked() const
{
    return m_requestsInFlight >= SocketServer::kMaxRequestsInFlight || m_queuedBytes >= SocketServer::kReadPauseBytes;
}

void SocketConnection::MaybeResumeLocked()
{
    if (!m_readPaused || m_closed || m_closeAfterFlush || BusyLocked()) return;
    m_readPaused = false;
    UpdateInterestLocked();
    PostSelf();  // bytes received before the pause are read by the leader
}

void SocketConnection::UpdateInterestLocked()
{
    if (m_closed) return;
    std::uint32_t wanted = m_readPaused ? 0u : static_cast<std::uint32_t>(EPOLLIN | EPOLLRDHUP);
    if (!m_queue.empty()) wanted |= EPOLLOUT;
    if (wanted == m_interest) return;
    epoll_event event{};
    event.events = wanted;
    event.data.ptr = this;
    if (::epoll_ctl(m_loop->epollFd, EPOLL_CTL_MOD, m_fd, &event) == 0) m_interest = wanted;
}

void SocketConnection::BreakLocked()
{
    m_broken = true;
    m_queue.clear();
    m_queuedBytes = 0;
    m_queuedHostFrames = 0;
    PostSelf();
}

void SocketConnection::PostSelf()
{
    // Called with m_mutex held: the loop's lock is a leaf and never held around a connection's.
    m_loop->Post(shared_from_this());
}

}  // namespace platform::host::detail
