#include "common/signal_watch.h"

#include <csignal>

namespace apps {
namespace {

sigset_t WatchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

SignalWatch::SignalWatch()
{
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_thread = std::thread([this] { Run(); });
}

SignalWatch::~SignalWatch()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    // A signal aimed at the watch thread wakes its sigwait; it sees m_stopping and returns.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}

void SignalWatch::SetHandler(std::function<void(int)> handler)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_inHandler; });
    m_handler = std::move(handler);
}

int SignalWatch::Received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

int SignalWatch::Wait() const
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_received != 0; });
    return m_received;
}

int SignalWatch::WaitFor(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return m_received != 0; });
    return m_received;
}

void SignalWatch::Run()
{
    const sigset_t set = WatchedSignals();
    for (;;) {
        int number = 0;
        if (sigwait(&set, &number) != 0) continue;
        std::function<void(int)> handler;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) return;
            if (m_received == 0) m_received = number;
            handler = m_handler;
            m_inHandler = static_cast<bool>(handler);
        }
        m_changed.notify_all();
        if (handler) {
            handler(number);
            {
                std::lock_guard lock(m_mutex);
                m_inHandler = false;
            }
            m_changed.notify_all();
        }
    }
}

}  // namespace apps
