#include "sensorcx/send_helper.h"

#include <system_error>

namespace platform::detail {

SendHelper::~SendHelper()
{
    {
        std::lock_guard guard(m_mutex);
        m_stop = true;
    }
    m_posted.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void SendHelper::Run(const std::function<void()>& theirs, const std::function<void()>& mine)
{
    std::unique_lock turn(m_turn, std::try_to_lock);
    if (turn && !m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Serve(); });
        } catch (const std::system_error&) {
        }
    }
    if (!turn || !m_thread.joinable()) {
        theirs();
        mine();
        return;
    }
    {
        std::lock_guard guard(m_mutex);
        m_work = &theirs;
    }
    m_posted.notify_one();
    mine();
    std::unique_lock guard(m_mutex);
    m_done.wait(guard, [this] { return m_work == nullptr; });
}

void SendHelper::Serve()
{
    std::unique_lock guard(m_mutex);
    for (;;) {
        m_posted.wait(guard, [this] { return m_stop || m_work != nullptr; });
        if (m_stop) return;
        const std::function<void()>* work = m_work;
        guard.unlock();
        (*work)();
        guard.lock();
        m_work = nullptr;
        m_done.notify_one();
    }
}

}  // namespace platform::detail
