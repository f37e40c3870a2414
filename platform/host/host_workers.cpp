#include "host_workers.h"

#include <new>
#include <utility>

#include "platform_support/wait.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/synch.h"

namespace platform::host {
namespace {

struct Job {
    std::shared_ptr<HostWorkers> owner;
    std::function<void()> work;
};

}  // namespace

std::shared_ptr<HostWorkers> HostWorkers::Create()
{
    return std::shared_ptr<HostWorkers>(new HostWorkers);
}

HostWorkers::StartResult HostWorkers::Start(std::function<void()> work)
{
    {
        std::lock_guard kernel(support::KernelLock());
        if (m_closed) return StartResult::kClosed;
        ++m_running;
    }
    auto* job = new (std::nothrow) Job{shared_from_this(), std::move(work)};
    HANDLE thread = job != nullptr ? CreateThread(nullptr, 0, &HostWorkers::Run, job, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        delete job;
        std::lock_guard kernel(support::KernelLock());
        --m_running;
        support::WakeWaitersLocked();
        return StartResult::kFailed;
    }
    CloseHandle(thread);  // the thread runs on; it reports its end through m_running
    return StartResult::kStarted;
}

HostWorkers::StartResult HostWorkers::Post(const std::function<void()>& work)
{
    std::list<std::function<void()>>::iterator mine;
    {
        std::lock_guard kernel(support::KernelLock());
        if (m_closed) return StartResult::kClosed;
        mine = m_posted.insert(m_posted.end(), work);
        if (m_idlePostThreads > 0) {
            support::WakeWaitersLocked();
            return StartResult::kStarted;
        }
        if (m_postThreads >= kMaxPostThreads) return StartResult::kStarted;  // the first free one takes it
        ++m_postThreads;
    }
    const StartResult started = Start([self = shared_from_this()] { self->RunPosted(); });
    if (started == StartResult::kStarted) return started;
    // Without the new thread the work waits for one that runs; with none, it goes back.
    std::lock_guard kernel(support::KernelLock());
    if (--m_postThreads > 0) return StartResult::kStarted;
    m_posted.erase(mine);
    return started;
}

void HostWorkers::RunPosted()
{
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock kernel(support::KernelLock());
            ++m_idlePostThreads;
            support::BlockUntil(
                kernel, [this] { return !m_posted.empty() || m_closed; }, support::kNever);
            --m_idlePostThreads;
            if (m_posted.empty()) {
                --m_postThreads;
                return;
            }
            work = std::move(m_posted.front());
            m_posted.pop_front();
        }
        work();
    }
}

bool HostWorkers::EnterHere()
{
    std::lock_guard kernel(support::KernelLock());
    if (m_closed) return false;
    ++m_running;
    return true;
}

void HostWorkers::LeaveHere()
{
    std::lock_guard kernel(support::KernelLock());
    --m_running;
    support::WakeWaitersLocked();
}

void HostWorkers::Close()
{
    std::lock_guard kernel(support::KernelLock());
    m_closed = true;
    support::WakeWaitersLocked();
}

void HostWorkers::WaitForAll()
{
    std::unique_lock kernel(support::KernelLock());
    support::BlockUntil(
        kernel, [this] { return m_running == 0; }, support::kNever);
}

DWORD WINAPI HostWorkers::Run(LPVOID parameter)
{
    auto* job = static_cast<Job*>(parameter);
    job->work();
    // Whatever the work held (driver objects among them) is released before the thread counts as
    // ended, so that WaitForAll means no host thread touches the driver any more.
    job->work = nullptr;
    std::shared_ptr<HostWorkers> owner = std::move(job->owner);
    delete job;
    {
        std::lock_guard kernel(support::KernelLock());
        --owner->m_running;
        support::WakeWaitersLocked();
    }
    return 0;
}

}  // namespace platform::host
