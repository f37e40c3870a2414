// One connection of a client program to the driver host: the socket client, the sensor protocol client on
// top of it, and a queue of what the host sends on its own (sensor events, drop counts, the end of
// the connection), so that commands can wait for events with a time-out.
//
//   std::unique_ptr<HostSession> session;
//   std::string why;
//   if (FAILED(HostSession::Connect(socketPath, &session, nullptr, &why))) ...   // or a HostLink, below
//   session->Sensors().Connect(sensorId, &hr);
//   HostNotice notice;
//   while (session->WaitNotice(std::chrono::seconds(5), &notice)) ...
//
// Ownership: owns its socket client. Thread safety: the queue is guarded by m_mutex and filled on
// the client's reader thread; everything else is used by the command's thread. Trace lines are
// handed to the trace sink on the reader thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/signal_watch.h"
#include "transport/sensor_protocol.h"
#include "transport/socket_client.h"

namespace client {

struct HostNotice {
    enum class Kind { kEvent, kDropped, kDisconnected, kInterrupted };
    Kind kind = Kind::kEvent;
    transport::SensorEvent event;  // kEvent
    std::uint32_t dropped = 0;     // kDropped
    HRESULT why = S_OK;            // kDisconnected
};

class HostSession {
public:
    // Connects and says hello: S_OK, or what SocketClient::Connect answers with why in *why.
    // `traceSink` receives trace lines when the command asks for them. With `onlyOwnHost`, a socket
    // served by neither this user nor root is refused.
    static HRESULT Connect(const std::string& socketPath, std::unique_ptr<HostSession>* session,
                           std::function<void(std::string_view)> traceSink, std::string* why,
                           bool onlyOwnHost = false);
    // Prints why a connection to the host could not be made, with what to do; kExitUnreachable.
    static int ReportUnreachable(const std::string& socketPath, HRESULT hr, const std::string& why);
    // Whether nobody serves the path yet (no socket, or nobody listening): a host may be starting.
    static bool NobodyServes(HRESULT connectResult);
    // Whether something other than a socket is at the path: no host will ever serve it.
    static bool IsNotASocket(const std::string& socketPath);

    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    transport::SocketClient& Client() { return *m_client; }
    const transport::SensorClient& Sensors() const { return *m_sensors; }
    // One device I/O control request. A request the host aborted before the driver saw it (its
    // device was changing power state) is sent again; the sensor requests go through here too.
    transport::TransportReply IoControl(ULONG controlCode, std::span<const std::uint8_t> input,
                                        std::size_t outputCapacity);

    // The next notice, waiting up to `timeout`; false when none came in time.
    bool WaitNotice(std::chrono::milliseconds timeout, HostNotice* notice);
    // Wakes a waiter with kInterrupted (from a signal handler's thread).
    void Interrupt();

private:
    HostSession() = default;
    void Push(HostNotice notice);

    std::unique_ptr<transport::SocketClient> m_client;
    std::unique_ptr<transport::SensorClient> m_sensors;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<HostNotice> m_notices;  // guarded by m_mutex
};

// The command's connection to the host: one session at a time, which watch --follow replaces after
// the host was lost or the device removed. A signal (SIGINT, SIGTERM) interrupts whatever waits on
// the current session, and cuts short the pauses between attempts to connect.
//
//   HostLink link(socketPath, signals);
//   if (int code = link.Open(); code != kExitOk) return code;
//   link.Session().Sensors()...
//
// Ownership: owns the session; refers to the signal watch, which outlives it. Thread safety: used by
// the command's thread; the signal handler (on the watch's thread) and Interrupt reach the current
// session under m_mutex.
class HostLink {
public:
    // `onlyOwnHost`: see HostSession::Connect.
    HostLink(std::string socketPath, apps::SignalWatch& signals,
             std::function<void(std::string_view)> traceSink = nullptr, bool onlyOwnHost = false);
    ~HostLink();
    HostLink(const HostLink&) = delete;
    HostLink& operator=(const HostLink&) = delete;

    // Connects, printing why not: kExitOk or kExitUnreachable.
    int Open();
    // Connects, waiting while nobody serves the socket yet (a host that is starting) until
    // `deadline` (none: for ever); `note`, when not empty, is printed on standard error once the
    // wait begins. kExitOk; kExitUnreachable with why printed; kExitInterrupted on a signal.
    int OpenWhenServed(std::optional<std::chrono::steady_clock::time_point> deadline, std::string_view note);
    // One attempt, printing nothing: S_OK or what HostSession::Connect answered.
    HRESULT TryOpen();

    bool HasSession() const { return m_session != nullptr; }
    HostSession& Session() { return *m_session; }
    const std::string& SocketPath() const { return m_socketPath; }
    // Ends the current session.
    void Close();
    // Wakes a wait on the current session with kInterrupted (from any thread).
    void Interrupt();
    bool Interrupted() const { return m_signals.Received() != 0; }
    // Waits `pause`, or less when a signal comes; false when one came.
    bool Pause(std::chrono::milliseconds pause) const { return m_signals.WaitFor(pause) == 0; }

private:
    // Connects and makes the new session the current one.
    HRESULT Connect(std::string* why);

    const std::string m_socketPath;
    apps::SignalWatch& m_signals;
    const std::function<void(std::string_view)> m_traceSink;
    const bool m_onlyOwnHost;
    mutable std::mutex m_mutex;
    // Written by the command's thread under m_mutex; read there without it.
    std::unique_ptr<HostSession> m_session;
};

// The object IDs of the sensors the host lists, appended to *ids: the exchange's or the callback's
// failure, else S_OK.
HRESULT ListSensorIds(HostSession& session, std::vector<std::u16string>* ids);

// Whether a request's result says the connection to the host is gone, or the host's device is
// removed (or being removed).
bool ConnectionIsGone(HRESULT hr);
bool DeviceIsGone(HRESULT hr);

// Prints a failed exchange or callback result on standard error: "PROGRAM: WHAT: TEXT".
// Returns the exit code that goes with it (kExitUnreachable when the connection or the device is
// gone).
int ReportFailure(std::string_view what, HRESULT hr);

}  // namespace client
