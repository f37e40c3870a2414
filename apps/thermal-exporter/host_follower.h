// The exporter's one connection to the host: it lists the sensors, reads what it shows of them,
// connects to each and subscribes once, and from then on only listens, so that what it knows
// (HostFollower::Snapshot) is the last event and a scrape never sends the host anything. When the
// host ends or restarts, or the device is removed, it connects again with a growing pause
// (Backoff), and follows the same way once the sensor is back.
//
//   apps::SignalWatch signals;
//   exporter::HostFollower follower(socketPath, false, signals, [](const exporter::HostSnapshot& now) {...});
//   std::thread thread([&] { follower.Run(); });          // until SIGINT or SIGTERM
//   exporter::HostSnapshot now = follower.Snapshot();      // from any thread
//
// Ownership: owns its link to the host; refers to the signal watch, which outlives it. Thread
// safety: Run runs on one thread; Snapshot may be called from any thread (the snapshot is guarded
// by m_mutex); `onChange` runs on Run's thread, without the mutex, with the snapshot as it became,
// after each change (not when a retry finds everything as it was).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "client/host_session.h"
#include "common/signal_watch.h"
#include "thermal-exporter/metrics.h"

namespace exporter {

// The pauses between attempts to reach the host: 100 ms, doubling up to 1 s, so that a host that
// serves again is found within about a second. Reset after a success.
class Backoff {
public:
    static constexpr std::chrono::milliseconds kFirst{100};
    static constexpr std::chrono::milliseconds kLongest{1000};

    std::chrono::milliseconds Next();
    void Reset() { m_next = kFirst; }

private:
    std::chrono::milliseconds m_next = kFirst;
};

class HostFollower {
public:
    // `onlyOwnHost`: see client::HostSession::Connect.
    HostFollower(std::string socketPath, bool onlyOwnHost, apps::SignalWatch& signals,
                 std::function<void(const HostSnapshot&)> onChange);

    // Follows the host until a signal comes.
    void Run();
    HostSnapshot Snapshot() const;

private:
    enum class End { kHostLost, kReconnect, kInterrupted };

    // One connection: finds the sensors, registers with them, then takes their events.
    End Follow(client::HostSession& session);
    // Lists the sensors and registers with each; S_OK, or the failure that ended it.
    HRESULT Register(client::HostSession& session);
    void TakeEvent(client::HostSession& session, const transport::SensorEvent& event);

    template <class Change>
    void Update(Change change);
    void Note(const std::string& text);

    client::HostLink m_link;
    const std::function<void(const HostSnapshot&)> m_onChange;
    Backoff m_backoff;                                // used by Run's thread only
    std::string m_lastNote;                           // Run's thread only: a note is printed once until another comes
    std::map<std::string, std::uint64_t> m_readings;  // Run's thread only: readings per sensor ID

    mutable std::mutex m_mutex;
    HostSnapshot m_snapshot;  // guarded by m_mutex
};

}  // namespace exporter
