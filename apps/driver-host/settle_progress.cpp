#include "driver-host/settle_progress.h"

#include <chrono>

namespace driver_host {

SettleProgress::SettleProgress(HostLog& log, std::string what, int expectedSeconds, std::string why,
                               std::function<void(const std::string&)> onLine)
    : m_log(log),
      m_what(std::move(what)),
      m_expectedSeconds(expectedSeconds),
      m_why(std::move(why)),
      m_onLine(std::move(onLine))
{
    m_thread = std::thread([this] { Run(); });
}

SettleProgress::~SettleProgress()
{
    {
        std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_done.notify_all();
    m_thread.join();
}

void SettleProgress::Run()
{
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(m_mutex);
    for (int second = 1;; ++second) {
        if (m_done.wait_until(lock, start + std::chrono::seconds(second), [this] { return m_finished; })) return;
        std::string line = m_what + ": " + std::to_string(second) + " s";
        if (second <= m_expectedSeconds) {
            line += " of about " + std::to_string(m_expectedSeconds) + " (" + m_why + ")";
        }
        m_log.Step(line);
        if (m_onLine) m_onLine(line);
    }
}

}  // namespace driver_host
