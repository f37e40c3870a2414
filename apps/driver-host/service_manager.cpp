#include "driver-host/service_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <cstdint>
#include <string>

#include "host/socket_server.h"

namespace driver_host {
namespace {

void Notify(const std::string& message)
{
    // No notification socket, or one that is gone: the host goes on as it is.
    (void)sd_notify(0, message.c_str());
}

}  // namespace

ServiceManager::ServiceManager()
{
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        m_watchdogInterval = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(usec / 2));
        if (m_watchdogInterval.count() == 0) m_watchdogInterval = std::chrono::milliseconds(1);
    }
}

void ServiceManager::Status(std::string_view text) const
{
    Notify("STATUS=" + std::string(text));
}

void ServiceManager::Ready(std::string_view status) const
{
    Notify("READY=1\nSTATUS=" + std::string(status));
}

void ServiceManager::Stopping(std::string_view status) const
{
    Notify("STOPPING=1\nSTATUS=" + std::string(status));
}

void ServiceManager::Alive() const
{
    if (m_watchdogInterval.count() > 0) Notify("WATCHDOG=1");
}

PassedSocket TakePassedSocket()
{
    PassedSocket passed;
    const int count = sd_listen_fds(1);
    if (count <= 0) return passed;  // none (or LISTEN_PID names another process)
    passed.fd = SD_LISTEN_FDS_START;
    if (count > 1) {
        passed.problem = std::to_string(count) + " sockets were passed; the host serves one (ListenStream= once)";
        return passed;
    }
    std::string why;
    if (FAILED(platform::host::SocketServer::CheckListeningSocket(passed.fd, &why))) {
        passed.problem = "the passed socket cannot be served: " + why + " (the socket unit needs ListenStream=)";
        return passed;
    }
    sockaddr_un address{};
    socklen_t length = sizeof(address);
    const bool named = ::getsockname(passed.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
                       length > sizeof(address.sun_family) && address.sun_path[0] != '\0';
    passed.path = named ? std::string(address.sun_path) : std::string("an unnamed socket");
    return passed;
}

}  // namespace driver_host
