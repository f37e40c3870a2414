// The simulation channel's command thread: runs the commands of every connection one at a time, in
// the order they came, and sends each reply on its connection.
//
// Thread safety: Post may be called from any thread; Start and Stop by the owner, not concurrently.
// The queue and the stop flag are guarded by m_mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/com/hresult.h"
#include "socket_connection.h"

namespace platform::host::detail {

class CommandRunner {
public:
    using Run = std::function<std::pair<HRESULT, std::string>(std::string_view commandLine)>;

    // `run` must outlive the runner (or at least Stop).
    explicit CommandRunner(const Run& run) : m_run(run) {}
    ~CommandRunner() { Stop(); }
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    // Starts the thread; throws std::system_error when it cannot.
    void Start();
    // Queues a command; its reply goes to `connection` with `id`.
    void Post(std::shared_ptr<SocketConnection> connection, std::uint32_t id, std::string line);
    // Ends the thread after the command it runs, and drops the commands not run. Idempotent.
    void Stop();

private:
    struct Command {
        std::shared_ptr<SocketConnection> connection;
        std::uint32_t id = 0;
        std::string line;
    };

    void RunCommands();

    const Run& m_run;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Command> m_commands;  // guarded by m_mutex
    bool m_stopping = false;         // guarded by m_mutex
    std::thread m_thread;
};

}  // namespace platform::host::detail
