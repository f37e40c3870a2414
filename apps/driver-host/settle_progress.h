// Shows that a long step is under way: while it lives, a line a second in the host's log,
//
//   [   2.004] loading: 2 s of about 5 (the thermal map settles)
//
// so that the driver's 5-second settling wait at load does not look like a hang; onLine (may be
// empty) hears each line too, on the object's thread.
//
//   { SettleProgress progress(log, "loading", 5, "the thermal map settles");  host.Load(path); }
//
// Ownership: owns its thread, which ends when the object goes. Thread safety: made and destroyed
// by one thread; the log is thread-safe.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "driver-host/host_log.h"

namespace driver_host {

class SettleProgress {
public:
    SettleProgress(HostLog& log, std::string what, int expectedSeconds, std::string why,
                   std::function<void(const std::string&)> onLine = {});
    ~SettleProgress();
    SettleProgress(const SettleProgress&) = delete;
    SettleProgress& operator=(const SettleProgress&) = delete;

private:
    void Run();

    HostLog& m_log;
    const std::string m_what;
    const int m_expectedSeconds;
    const std::string m_why;
    const std::function<void(const std::string&)> m_onLine;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;  // guarded by m_mutex
    std::thread m_thread;
};

}  // namespace driver_host
