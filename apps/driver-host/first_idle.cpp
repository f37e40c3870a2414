#include "driver-host/first_idle.h"

#include <chrono>
#include <thread>

namespace driver_host {

bool WaitForFirstIdle(const platform::host::DriverHost& host, HostLog& log, const apps::SignalWatch* signals)
{
    using platform::host::DeviceState;
    if (!host.UserIdleEnabled()) {
        log.Step("the device stays in D0 (idle off): its acquisition starts only when it returns from low power "
                 "(sensorctl sim sleep, then sim resume)");
        return false;
    }
    // The host tells no one when the device idles; its state is looked at until it does. The
    // driver's idle timeout is 100 ms, the host's default 5 s: 10 s covers both.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host.State() == DeviceState::kWorking && std::chrono::steady_clock::now() < deadline) {
        if (signals != nullptr && signals->Received() != 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (host.State() != DeviceState::kIdle) {
        log.Step(std::string("the device did not idle (") + platform::host::ToString(host.State()) +
                 "); its acquisition starts only when it returns from low power");
        return false;
    }
    return true;
}

}  // namespace driver_host
