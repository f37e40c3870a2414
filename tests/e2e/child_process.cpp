#include "e2e/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int PidFdOpen(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Appends what can be read now; false at end of file (the descriptor is then closed and -1).
void Drain(int* fd, std::string* into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(*fd, buffer, sizeof(buffer));
        if (got > 0) {
            into->append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return;
        ::close(*fd);  // end of file, or an error that ends the stream
        *fd = -1;
        return;
    }
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv, const ChildOptions& options)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return nullptr;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment = options.environment;
    if (options.listenFd >= 0) {
        environment.push_back("LISTEN_FDS=1");
        // The child writes its pid over the padding (fork cannot tell it beforehand).
        environment.push_back("LISTEN_PID=" + std::string(20, '\0'));
    }
    const auto named = [&](std::string_view entry) {
        const std::string_view name = entry.substr(0, entry.find('='));
        for (const std::string& added : environment) {
            if (added.compare(0, name.size() + 1, std::string(name) + "=") == 0) return true;
        }
        return false;
    };
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!named(*entry)) envp.push_back(*entry);
    }
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char* const listenPid = options.listenFd >= 0 ? environment.back().data() + std::strlen("LISTEN_PID=") : nullptr;

    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return nullptr;
    }
    if (pid == 0) {
        // Only async-signal-safe calls until exec. Signals blocked by the test runner stay blocked
        // in the child otherwise; the programs expect them open.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        if (options.runAs) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(*options.runAs) != 0 || ::setuid(*options.runAs) != 0) {
                ::_exit(126);
            }
        }
        if (options.listenFd >= 0) {
            char digits[20];
            int count = 0;
            for (pid_t self = ::getpid(); self > 0; self /= 10) digits[count++] = static_cast<char>('0' + self % 10);
            for (int i = 0; i < count; ++i) listenPid[i] = digits[count - 1 - i];
            // dup2 clears close-on-exec on the copy; a descriptor that is 3 already keeps its own.
            if (options.listenFd == 3 ? ::fcntl(3, F_SETFD, 0) != 0 : ::dup2(options.listenFd, 3) != 3) ::_exit(126);
        }
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    std::unique_ptr<ChildProcess> child(new ChildProcess());
    child->m_pid = pid;
    child->m_stdout = out[0];
    child->m_stderr_fd = err[0];
    ::fcntl(child->m_stdout, F_SETFL, O_NONBLOCK);
    ::fcntl(child->m_stderr_fd, F_SETFL, O_NONBLOCK);
    child->m_pidFd = PidFdOpen(pid);
    if (child->m_pidFd < 0) ADD_FAILURE() << "pidfd_open: " << std::strerror(errno);
    return child;
}

ChildProcess::~ChildProcess()
{
    if (!m_exitCode && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    for (int fd : {m_pidFd, m_stdout, m_stderr_fd}) {
        if (fd >= 0) ::close(fd);
    }
}

bool ChildProcess::Pump(Clock::time_point deadline)
{
    pollfd fds[3];
    nfds_t count = 0;
    for (int fd : {m_stdout, m_stderr_fd}) {
        if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
    }
    const bool watchExit = !m_exitCode && m_pidFd >= 0;
    if (watchExit) fds[count++] = {m_pidFd, POLLIN, 0};
    if (count == 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    const int ready = ::poll(fds, count, static_cast<int>(left));
    if (ready <= 0) return ready < 0 && errno == EINTR;
    if (m_stdout >= 0) Drain(&m_stdout, &m_stdoutBuffer);
    if (m_stderr_fd >= 0) Drain(&m_stderr_fd, &m_stderr);
    if (watchExit && (fds[count - 1].revents & POLLIN) != 0) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    return true;
}

bool ChildProcess::PopLine(std::string* line)
{
    const std::size_t end = m_stdoutBuffer.find('\n');
    if (end == std::string::npos) {
        // The last line of a stream that ended without a newline.
        if (m_stdout < 0 && !m_stdoutBuffer.empty()) {
            *line = std::move(m_stdoutBuffer);
            m_stdoutBuffer.clear();
            return true;
        }
        return false;
    }
    *line = m_stdoutBuffer.substr(0, end);
    m_stdoutBuffer.erase(0, end + 1);
    return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::string line;
        if (PopLine(&line)) return line;
        if (m_stdout < 0) return std::nullopt;
        if (!Pump(deadline)) return std::nullopt;
    }
}

std::optional<std::string> ChildProcess::ReadUntil(std::string_view text, std::chrono::milliseconds timeout,
                                                   std::vector<std::string>* seen)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::optional<std::string> line = ReadLine(std::max(left, std::chrono::milliseconds(0)));
        if (!line) return std::nullopt;
        if (seen != nullptr) seen->push_back(*line);
        if (line->find(text) != std::string::npos) return line;
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!m_exitCode || m_stdout >= 0 || m_stderr_fd >= 0) {
        if (!Pump(deadline)) {
            if (Clock::now() >= deadline) return std::nullopt;
            if (m_pidFd < 0) break;
        }
    }
    return m_exitCode;
}

void ChildProcess::Signal(int signalNumber)
{
    if (!m_exitCode && m_pid > 0) ::kill(m_pid, signalNumber);
}

std::vector<std::string> ChildProcess::TakeRemainingLines()
{
    std::vector<std::string> lines;
    std::string line;
    while (PopLine(&line)) lines.push_back(std::move(line));
    return lines;
}

RunResult Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout, const ChildOptions& options)
{
    RunResult result;
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(argv, options);
    if (!child) return result;
    const std::optional<int> exitCode = child->Wait(timeout);
    if (!exitCode) ADD_FAILURE() << argv[0] << " did not finish in time and was killed";
    result.exitCode = exitCode.value_or(-1);
    result.lines = child->TakeRemainingLines();
    for (const std::string& line : result.lines) result.out += line + "\n";
    result.err = child->Stderr();
    return result;
}

}  // namespace e2e
