// Runs one call on a platform thread of its own, so that a test can watch it wait.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "platform/kernel/synch.h"

namespace test_support {

class CallThread {
public:
    explicit CallThread(std::function<int()> call) : m_call(std::move(call))
    {
        m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        EXPECT_NE(m_thread, nullptr);
    }
    ~CallThread() { Join(); }
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    bool Done() const { return m_done.load(); }
    int Result() const { return m_result.load(); }
    void Join()
    {
        if (m_thread == nullptr) return;
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        m_thread = nullptr;
    }

private:
    static DWORD WINAPI Run(LPVOID parameter)
    {
        auto* self = static_cast<CallThread*>(parameter);
        self->m_result.store(self->m_call());
        self->m_done.store(true);
        return 0;
    }

    std::function<int()> m_call;
    HANDLE m_thread = nullptr;
    std::atomic<bool> m_done{false};
    std::atomic<int> m_result{-1};
};

}  // namespace test_support
