// The host's client socket: a Unix-domain stream socket on which every connection is one open file
// of the hosted device. docs/protocol.md describes the conversation.
//
//   platform::host::SocketServerOptions options;
//   options.socketPath = "/run/user/1000/thermal-host.sock";
//   options.access = platform::host::AccessPolicy::ForThisProcess(allowedGroups);
//   options.onSimulate = [&](std::string_view line) { return RunCommand(line); };
//   options.onTraceLevel = [&](std::uint8_t level) { EnableTraces(level); };   // then BroadcastTrace
//   platform::host::SocketServer server(host, std::move(options));
//   std::string why;
//   if (FAILED(server.Start(&why))) { print(why); ... }
//   ...
//   server.Stop();   // before the host removes the device
//
// What it does:
//  - Start binds the path with mode 0660. A socket file that nobody listens on any more is
//    replaced; one with a listener, or a file that is not a socket, is refused with a sentence
//    that says so. Stop removes the socket file if it is still the one Start made.
//  - A connection's access comes from the peer's credentials (SO_PEERCRED and its supplementary
//    groups) through the AccessPolicy. After the hello the connection opens its file of the device
//    with that access and receives the device's event messages through it; when no device is
//    there, the file is opened by the first request that finds one, and until then requests are
//    answered with the host's error. Closing the connection (or the host closing it) closes the
//    file, so the driver's cleanup runs.
//  - kIoControl goes to the device as an asynchronous device I/O control request; its kIoReply is
//    sent when it completes, in completion order. Control codes whose access bits ask for more
//    than the file has are refused by the host before the driver sees them.
//  - What the host sends on its own (events, trace lines) waits in a bounded buffer of
//    eventBufferFrames frames per connection while the peer does not read; beyond it (or while
//    kReadPauseBytes wait) they are dropped and counted, and the count is sent (kEventsDropped) as soon as there is room again.
//    Replies are never dropped: a connection stops being read while kMaxRequestsInFlight of its
//    requests are unanswered or its unsent bytes pass kReadPauseBytes, so its memory stays bounded.
//  - A framing error (a length above the maximum, non-zero flags) is answered with kError and the
//    connection is closed; other bad frames get kError and the connection stays. A frame that stays
//    incomplete for partialFrameTimeout (30 s) closes its connection the same way, so a peer that
//    stalls in the middle of a frame does not hold its connection for ever; a connection that
//    waits between frames stays open.
//  - kSimulate runs onSimulate (E_NOTIMPL without one) for the host's own user only, on the
//    server's command thread, one command at a time; a command longer than kMaxSimulateBytes is
//    refused with E_INVALIDARG. kTrace sets the connection's trace level; onTraceLevel hears the
//    highest level any connection asked for whenever it changes.
//  - onConnection hears of each connection after its hello, and again once its file is cleaned up;
//    onClosedByHost of each connection the host ends on its own, and why; onControlDone of each
//    completed request with a code in reportedControlCodes. They are for logs.
//
// Threads: up to four server threads take turns; the one whose turn it is (the leader) waits on
// every socket (epoll) and reads, accepts and closes connections. A request that the device's
// queue leaves to it, the leader hands to the driver itself once it has passed the turn on, so
// the thread that read a request runs it; when every other thread is in the driver, requests go
// to the queue's own threads. Replies and events are written by the thread that produces them
// when the socket takes them at once (so the event and reply paths do not hop threads), otherwise
// by the leader when the socket has room. A command thread runs onSimulate. onTraceLevel runs on
// the leader, or on the thread that calls Stop. Stop does not wait for a thread that is in the
// driver: its request completes as any late completion does.
// Callbacks of the server must not call Stop.
//
// The process needs a file descriptor per connection: a host that serves many clients raises its
// RLIMIT_NOFILE soft limit. While no descriptor is left, new connections wait in the backlog.
//
// Ownership: the server refers to the DriverHost, which must outlive it (or at least Stop). Work
// that finishes after Stop (a late completion) finds its connection closed and is dropped.
//
// Thread safety: Start and Stop are called by the owner, not concurrently with each other;
// BroadcastTrace and the accessors may be called from any thread. Each connection's state has its
// own mutex; the table of connections has a mutex of the server (see socket_server.cpp).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/driver_host.h"
#include "host/host_file.h"

namespace platform::host {

// Who connected, as the socket says.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
};

// Who gets which file access and the simulation channel.
struct AccessPolicy {
    uid_t hostUid = 0;                  // the host's own user: read-write and the simulation channel
    std::vector<uid_t> writerUids;      // further users with read-write access
    std::vector<gid_t> writerGroups;    // members (primary or supplementary) get read-write access

    // The host's effective user, root as a writer, and the given groups.
    static AccessPolicy ForThisProcess(std::vector<gid_t> writerGroups = {});

    FileAccess AccessFor(const PeerCredentials& peer) const;
    bool MaySimulate(const PeerCredentials& peer) const { return peer.uid == hostUid; }
};

struct SocketServerOptions {
    std::string socketPath;
    // A listening socket the process was handed (socket activation by a service manager), served
    // instead of binding socketPath, which then only names it; -1 for none. CheckListeningSocket
    // must have accepted it. The server takes it: Stop closes it, and leaves its file to its maker.
    int listeningFd = -1;
    AccessPolicy access = AccessPolicy::ForThisProcess();
    // Frames the host starts (events, trace lines) that may wait per connection.
    std::uint32_t eventBufferFrames = 256;
    // Runs one command line of the simulation channel: its status and its output (or the reason it
    // failed). Runs on the server's command thread.
    std::function<std::pair<HRESULT, std::string>(std::string_view commandLine)> onSimulate;
    // The highest trace level any connection asked for (kTraceOff when none), on each change.
    std::function<void(std::uint8_t level)> onTraceLevel;
    // A client said hello (connected) and, later, its connection ended and its file's cleanup has
    // run (not connected). For logs; runs on a server or host thread and must not block.
    std::function<void(const PeerCredentials& peer, FileAccess access, bool connected)> onConnection;
    // The host ends a connection on its own (a framing error, a bad hello, a stalled frame): the
    // peer and why. For logs; runs on the leading server thread and must not block.
    std::function<void(const PeerCredentials& peer, std::string_view why)> onClosedByHost;
    // A request with one of these control codes completed: the peer, the code, the request's input
    // and its status. For logs; runs on the thread that completed it and must not block.
    std::vector<ULONG> reportedControlCodes;
    std::function<void(const PeerCredentials& peer, ULONG controlCode, std::span<const std::uint8_t> input,
                       HRESULT status)>
        onControlDone;
    // The clients fell from a peak of at least SocketServer::kPeakClients to a quarter of it or
    // fewer (a client counts until its file's cleanup has run): the moment to give the memory of
    // the peak back to the system (the host trims its heap), with no timer in an idle host. Runs
    // on a host thread; called again only after a new peak.
    std::function<void()> onClientsFell;
    // How long a frame may stay incomplete before its connection is closed.
    std::chrono::milliseconds partialFrameTimeout{30000};
    // Runs on the leading server thread once per aliveInterval while the server serves (a
    // watchdog's ping that proves the serving loop turns); a zero interval: never. Must not block.
    std::chrono::milliseconds aliveInterval{0};
    std::function<void()> onAlive;
};

class SocketServer {
public:
    // A connection is not read while this many of its requests are unanswered, or while this many
    // bytes wait to be written to it (host-started frames are then dropped too).
    static constexpr std::uint32_t kMaxRequestsInFlight = 32;
    // The fewest clients (connections that said hello) that count as a peak for onClientsFell.
    static constexpr std::size_t kPeakClients = 64;
    static constexpr std::size_t kReadPauseBytes = 4u << 20;
    // Longer trace lines are cut.
    static constexpr std::size_t kMaxTraceLineBytes = 4096;
    // Longer simulation commands are refused.
    static constexpr std::size_t kMaxSimulateBytes = 4096;

    SocketServer(DriverHost& host, SocketServerOptions options);
    ~SocketServer();  // Stop
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Binds, listens and starts the threads. On failure nothing is left behind and *error (may be
    // null) says why: E_ACCESSDENIED, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) for a live socket or
    // a file that is not a socket, E_INVALIDARG for a path too long, another errno as an HRESULT.
    HRESULT Start(std::string* error = nullptr);
    // Whether Start could bind `path` now, without binding it: the results and sentences of Start
    // for a path too long, a live socket or a file that is not a socket, and for a directory that
    // is missing or not writable. So a host can check its socket before it loads its driver.
    static HRESULT CheckPath(const std::string& path, std::string* error = nullptr);
    // Whether `fd` is a socket the server can serve as listeningFd: a listening Unix-domain stream
    // socket. E_INVALIDARG with a sentence that names what it is otherwise.
    static HRESULT CheckListeningSocket(int fd, std::string* error = nullptr);
    // Closes every connection (their files are closed and cleaned up before it returns), joins the
    // threads and removes the socket file. Idempotent.
    void Stop();

    // Sends a trace line to every connection that asked for `level` or more.
    void BroadcastTrace(std::uint8_t level, std::string_view line);

    const std::string& SocketPath() const;
    std::size_t ConnectionCount() const;
    // Events and trace lines dropped over all connections since the server was made.
    std::uint64_t DroppedFrames() const;

private:
    class Impl;
    const std::unique_ptr<Impl> m_impl;
};

}  // namespace platform::host
