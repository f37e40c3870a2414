// Turns SIGINT and SIGTERM into events a program can wait for, instead of handlers that run in
// the middle of whatever a thread was doing.
//
//   int main() {
//       apps::SignalWatch signals;           // first, before any other thread starts
//       ...start work...
//       int number = signals.Wait();         // SIGINT or SIGTERM
//       ...shut down in order...
//   }
//
// The constructor blocks both signals in the calling thread, so every thread started after it
// inherits the block, and starts one thread that takes them with sigwait. It also ignores SIGPIPE:
// a peer that goes away is seen as a failed write, not a signal.
//
// Ownership: one per process, owned by main. Thread safety: every member may be called from any
// thread; the handler runs on the watch thread, once per signal, and must not destroy the watch.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace apps {

class SignalWatch {
public:
    SignalWatch();
    // Ends the watch thread. Signals stay blocked: the process is ending.
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // Runs `handler` (on the watch thread) for each signal from now on. Returns once a call of the
    // previous handler that is under way has finished, so what it used may go afterwards; a
    // handler must therefore not call SetHandler itself.
    void SetHandler(std::function<void(int signalNumber)> handler);
    // The first signal received, or 0.
    int Received() const;
    // Blocks until a signal has been received; returns the first one.
    int Wait() const;
    // The same with a time-out; 0 when none came in time.
    int WaitFor(std::chrono::milliseconds timeout) const;

private:
    void Run();

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    // Guarded by m_mutex.
    int m_received = 0;
    bool m_stopping = false;
    bool m_inHandler = false;  // the watch thread runs the handler
    std::function<void(int)> m_handler;

    std::thread m_thread;  // written by the constructor only
};

}  // namespace apps
