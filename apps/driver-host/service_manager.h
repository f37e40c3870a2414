// What driver-host tells the service manager that started it, and takes from it, through libsystemd:
//
//   ServiceManager manager;                        // reads the environment the manager set
//   manager.Status("loading: 3 s of about 5");     // STATUS=...
//   manager.Ready("serving clients on ...");       // READY=1
//   if (manager.WatchdogInterval().count() > 0) ...  // ping with Alive() that often
//   manager.Stopping("SIGTERM: shutting down");    // STOPPING=1
//
// Without a notification socket (NOTIFY_SOCKET) every message is dropped and the host runs as from a
// terminal. TakePassedSocket takes the listening socket of a socket activation (LISTEN_FDS).
//
// Thread safety: every member may be called from any thread (each message is a datagram of its own).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace driver_host {

class ServiceManager {
public:
    ServiceManager();

    void Status(std::string_view text) const;
    void Ready(std::string_view status) const;
    void Stopping(std::string_view status) const;
    // How often to say Alive: half the watchdog time-out the unit asks for (WATCHDOG_USEC for this
    // process); zero without a watchdog.
    std::chrono::milliseconds WatchdogInterval() const { return m_watchdogInterval; }
    // WATCHDOG=1, when there is a watchdog.
    void Alive() const;

private:
    std::chrono::milliseconds m_watchdogInterval{0};
};

// A listening socket passed by socket activation.
struct PassedSocket {
    int fd = -1;          // -1: none passed
    std::string path;     // the socket's path, for the log
    std::string problem;  // why it cannot be served; empty when it can (or none was passed)
};

// Takes the sockets passed to this process (and clears LISTEN_FDS, so nothing the host starts sees
// them): one listening Unix-domain stream socket is served; more than one, or another kind, is
// refused with the reason.
PassedSocket TakePassedSocket();

}  // namespace driver_host
