// The simulation channel's command thread.
#include "command_runner.h"

#include <exception>
#include <new>

#include "transport/frame.h"

namespace platform::host::detail {
namespace {

std::string_view Bounded(std::string_view text, std::size_t fixedBytes)
{
    return text.substr(0, transport::kMaxFramePayload - fixedBytes);
}

}  // namespace

void CommandRunner::Start()
{
    {
        std::lock_guard guard(m_mutex);
        m_stopping = false;
    }
    m_thread = std::thread([this] { RunCommands(); });
}

void CommandRunner::Post(std::shared_ptr<SocketConnection> connection, std::uint32_t id, std::string line)
{
    {
        std::lock_guard guard(m_mutex);
        m_commands.push_back(Command{std::move(connection), id, std::move(line)});
    }
    m_ready.notify_one();
}

void CommandRunner::Stop()
{
    {
        std::lock_guard guard(m_mutex);
        m_stopping = true;
    }
    m_ready.notify_all();
    if (m_thread.joinable()) m_thread.join();
    std::deque<Command> unrun;
    {
        std::lock_guard guard(m_mutex);
        unrun.swap(m_commands);
    }
    unrun.clear();
}

void CommandRunner::RunCommands()
{
    for (;;) {
        Command command;
        {
            std::unique_lock guard(m_mutex);
            m_ready.wait(guard, [this] { return m_stopping || !m_commands.empty(); });
            if (m_stopping) return;
            command = std::move(m_commands.front());
            m_commands.pop_front();
        }
        std::pair<HRESULT, std::string> result;
        try {
            result = m_run(command.line);
        } catch (const std::bad_alloc&) {
            result = {E_OUTOFMEMORY, "memory ran out while the command ran"};
        } catch (const std::exception& failure) {
            result = {E_FAIL, failure.what()};
        }
        try {
            std::vector<std::uint8_t> frame;
            transport::AppendSimulateReplyFrame(&frame, command.id, {result.first, Bounded(result.second, 4)});
            command.connection->SendRequestReply(frame);
        } catch (const std::bad_alloc&) {
            // The status alone, without the text.
            const auto header = transport::MakeFrameHeader(transport::FrameType::kSimulateReply, command.id, 4);
            const auto status = static_cast<std::uint32_t>(E_OUTOFMEMORY);
            const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(status), static_cast<std::uint8_t>(status >> 8),
                                           static_cast<std::uint8_t>(status >> 16),
                                           static_cast<std::uint8_t>(status >> 24)};
            command.connection->SendRequestReply(header, bytes);
        }
    }
}

}  // namespace platform::host::detail
