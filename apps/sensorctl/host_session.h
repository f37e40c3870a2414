// One connection of sensorctl to the driver host: the socket client, the sensor protocol client on
// top of it, and a queue of what the host sends on its own (sensor events, drop counts, the end of
// the connection), so that commands can wait for events with a time-out.
//
//   std::unique_ptr<HostSession> session;
//   if (int code = HostSession::Open(socketPath, &session); code != kExitOk) return code;
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
#include <string>
#include <string_view>

#include "transport/sensor_protocol.h"
#include "transport/socket_client.h"

namespace sensorctl {

struct HostNotice {
    enum class Kind { kEvent, kDropped, kDisconnected, kInterrupted };
    Kind kind = Kind::kEvent;
    transport::SensorEvent event;  // kEvent
    std::uint32_t dropped = 0;     // kDropped
    HRESULT why = S_OK;            // kDisconnected
};

class HostSession {
public:
    // Connects and says hello. On failure prints why (on standard error) and returns
    // kExitUnreachable. `traceSink` receives trace lines when the command asks for them. With
    // `onlyOwnHost`, a socket served by neither this user nor root is refused.
    static int Open(const std::string& socketPath, std::unique_ptr<HostSession>* session,
                    std::function<void(std::string_view)> traceSink = nullptr, bool onlyOwnHost = false);

    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    transport::SocketClient& Client() { return *m_client; }
    const transport::SensorClient& Sensors() const { return *m_sensors; }

    // The next notice, waiting up to `timeout`; false when none came in time.
    bool WaitNotice(std::chrono::milliseconds timeout, HostNotice* notice);
    // Wakes a waiter with kInterrupted (from a signal handler's thread).
    void Interrupt();

    // The ID of the first sensor the host lists, or why there is none (prints it). kExitOk or the
    // exit code.
    int FirstSensorId(std::u16string* id);

private:
    HostSession() = default;
    void Push(HostNotice notice);

    std::unique_ptr<transport::SocketClient> m_client;
    std::unique_ptr<transport::SensorClient> m_sensors;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<HostNotice> m_notices;  // guarded by m_mutex
};

// Prints a failed exchange or callback result on standard error: "sensorctl: WHAT: TEXT".
// Returns the exit code that goes with it (kExitUnreachable when the connection is gone).
int ReportFailure(std::string_view what, HRESULT hr);

}  // namespace sensorctl
