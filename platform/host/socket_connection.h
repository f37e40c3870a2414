// One client connection of the socket server: its socket, its peer, its file of the device, and
// the frames waiting to be written.
//
// Writing: any thread may send. A frame is written at once when nothing waits before it and the
// socket takes it; what the socket does not take waits in the outbound queue, and the socket
// thread writes it when the socket has room (EPOLLOUT). Frames the host starts (events, trace
// lines, drop reports) may wait at most `hostFrameLimit` at a time, and only while the queue holds
// less than SocketServer::kReadPauseBytes; beyond that they are dropped and counted, and the count
// goes out in a kEventsDropped frame as soon as there is room. Replies always wait.
//
// Reading: only the server's leading thread reads, and it stops while the connection is busy: while
// SocketServer::kMaxRequestsInFlight requests are unanswered or the outbound queue holds
// SocketServer::kReadPauseBytes. Bytes already received when that happens wait in `unread`.
//
// Closing: Close (the leader) marks the connection closed, takes it out of the epoll set and
// closes the socket; sends that come later are dropped. A send that finds the socket broken, or
// a frame queue that empties after a kError that ends the connection, posts the connection to the
// leader, which closes it.
//
// Thread safety: the outbound state, the socket descriptor and the epoll interest are guarded by
// `m_mutex`. The frame reader, the unread bytes, the hello flag and the file belong to the socket
// thread (and to Stop once that thread has ended). The trace level is atomic. The peer and access
// never change.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "host/host_file.h"
#include "host/socket_server.h"
#include "platform/com/com_ptr.h"
#include "transport/frame.h"

namespace platform::host::detail {

class SocketConnection;

// What the server's threads and the connections share: the epoll set and the wake-up of the
// leader. It lives while any connection does, so a late completion never touches a closed
// descriptor.
//
// Thread safety: the descriptors never change after construction; `posted` and `stopping` are
// guarded by `mutex`.
struct SocketLoop {
    SocketLoop(int epollFd, int wakeFd) : epollFd(epollFd), wakeFd(wakeFd) {}
    ~SocketLoop();
    SocketLoop(const SocketLoop&) = delete;
    SocketLoop& operator=(const SocketLoop&) = delete;

    // Hands a connection to the leader (to close it or to go on reading it) and wakes it.
    void Post(std::shared_ptr<SocketConnection> connection);
    // Wakes the leader to end.
    void RequestStop();
    // The leader takes what was posted; true when it should end.
    bool Take(std::vector<std::shared_ptr<SocketConnection>>* posted);
    void Clear();

    const int epollFd;
    const int wakeFd;
    std::mutex mutex;
    std::vector<std::shared_ptr<SocketConnection>> posted;  // guarded by mutex
    bool stopping = false;                                  // guarded by mutex
};

class SocketConnection : public std::enable_shared_from_this<SocketConnection> {
public:
    SocketConnection(int fd, PeerCredentials peer, FileAccess access, bool maySimulate, std::uint32_t hostFrameLimit,
                     std::shared_ptr<SocketLoop> loop, std::shared_ptr<std::atomic<std::uint64_t>> droppedTotal);
    ~SocketConnection();
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    // Adds the socket to the epoll set, for reading.
    bool Register();

    // A frame that answers the client: header and fixed part, then `body`. Never dropped.
    void SendReply(std::span<const std::uint8_t> prefix, std::span<const std::uint8_t> body = {});
    // A reply that also ends a request: the connection may be read again.
    void SendRequestReply(std::span<const std::uint8_t> prefix, std::span<const std::uint8_t> body = {});
    // A frame the host starts (kEvent, kTraceLine): dropped and counted when the buffer is full.
    void SendHostFrame(transport::FrameType type, std::span<const std::uint8_t> payload);
    // Sends a kError and closes the connection once everything before it is written; no more
    // frames are read.
    void SendErrorAndClose(std::span<const std::uint8_t> errorFrame);

    // Leader: writes what waits, on EPOLLOUT.
    void Flush();
    // Leader: counts a request that waits for its reply.
    void BeginRequest();
    // Leader: whether frames may be read now; pauses or resumes reading as the connection
    // is busy or not.
    bool MayRead();
    // Whether the connection should be closed: its socket broke, or a kError that ends it is out.
    bool ShouldClose() const;
    // Leader: closes the socket and hands back the file to be closed (null when none);
    // false when the connection was closed already.
    bool Close(platform::ComPtr<CHostFile>* fileToClose);
    bool IsClosed() const;

    const PeerCredentials& Peer() const { return m_peer; }
    FileAccess Access() const { return m_access; }
    bool MaySimulate() const { return m_maySimulate; }
    std::uint8_t TraceLevel() const { return m_traceLevel.load(); }
    void SetTraceLevel(std::uint8_t level) { m_traceLevel.store(level); }
    int Fd() const { return m_fdForLookup; }

    // ---- The leader's only. ----
    transport::FrameReader reader;
    std::vector<std::uint8_t> unread;  // received while reading was paused
    bool helloDone = false;
    platform::ComPtr<CHostFile> file;
    // When what was read last left `reader` in the middle of a frame; none between frames.
    std::optional<std::chrono::steady_clock::time_point> partialSince;

private:
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        bool hostStarted = false;
    };

    // Writes the frame, or what of it the socket does not take, after what waits.
    void SendLocked(std::span<const std::uint8_t> prefix, std::span<const std::uint8_t> body, bool hostStarted);
    void SendOrQueueLocked(std::span<const std::uint8_t> prefix, std::span<const std::uint8_t> body,
                           bool hostStarted);
    void FlushLocked();
    // Queues a drop report when drops are pending and there is room.
    void ReportDropsLocked();
    bool BusyLocked() const;
    // Resumes reading when it was paused and the connection is no longer busy.
    void MaybeResumeLocked();
    void UpdateInterestLocked();
    void BreakLocked();
    void PostSelf();

    const PeerCredentials m_peer;
    const FileAccess m_access;
    const bool m_maySimulate;
    const std::uint32_t m_hostFrameLimit;
    const std::shared_ptr<SocketLoop> m_loop;
    const std::shared_ptr<std::atomic<std::uint64_t>> m_droppedTotal;
    const int m_fdForLookup;  // the descriptor's number, a key of the server's table
    std::atomic<std::uint8_t> m_traceLevel{0};

    mutable std::mutex m_mutex;
    // Guarded by m_mutex.
    int m_fd;
    bool m_closed = false;
    bool m_broken = false;        // a write failed: the peer is gone
    bool m_closeAfterFlush = false;
    bool m_readPaused = false;
    std::uint32_t m_interest = 0;  // the epoll events asked for
    std::list<Outgoing> m_queue;  // a list: an empty one holds no memory, and most stay empty
    std::size_t m_frontWritten = 0;  // bytes of the queue's first frame already written
    std::size_t m_queuedBytes = 0;
    std::uint32_t m_queuedHostFrames = 0;
    std::uint32_t m_pendingDrops = 0;
    std::uint32_t m_requestsInFlight = 0;
};

}  // namespace platform::host::detail
