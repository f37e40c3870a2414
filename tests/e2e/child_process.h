// A program started by an end-to-end test: its standard output is read line by line as it comes,
// its standard error is kept, and every wait has a time-out that only guards against a hang (the
// tests wait for what the programs print, never for the clock).
//
//   auto host = ChildProcess::Start({DRIVER_HOST_PATH, "--socket", path});
//   ASSERT_TRUE(host->ReadUntil("ready", std::chrono::seconds(60)));
//   host->Signal(SIGTERM);
//   EXPECT_EQ(host->Wait(std::chrono::seconds(30)), 0);
//
// Ownership: the object owns the process; its destructor kills it (SIGKILL) and reaps it if it
// still runs. Thread safety: one test thread uses an object at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

struct ChildOptions {
    std::optional<uid_t> runAs{};  // set the user and group (to the same number) before exec; needs root
    // "NAME=VALUE" entries added to the program's environment (replacing a variable of that name).
    std::vector<std::string> environment{};
    // A socket handed over as a service manager's socket activation does: as descriptor 3, with
    // LISTEN_FDS=1 and LISTEN_PID set to the program's pid.
    int listenFd = -1;
};

class ChildProcess {
public:
    // Null (with a test failure) when the process cannot be started.
    static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv, const ChildOptions& options = {});

    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output (without its newline); nothing at end of output or when
    // none came within `timeout`.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // Reads lines until one contains `text` and returns that line; nothing at end of output or
    // time-out. Every line read (the match included) is appended to *seen when given.
    std::optional<std::string> ReadUntil(std::string_view text, std::chrono::milliseconds timeout,
                                         std::vector<std::string>* seen = nullptr);
    // Reads the rest of standard output and standard error and waits for the exit: the exit code,
    // 128 + the signal for a process killed by one, nothing on time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

    void Signal(int signalNumber);
    pid_t Pid() const { return m_pid; }
    // Standard error read so far.
    const std::string& Stderr() const { return m_stderr; }
    // Standard output read but not yet returned as lines, after Wait: the whole rest.
    std::vector<std::string> TakeRemainingLines();

private:
    ChildProcess() = default;
    // Waits up to the deadline for output or the exit; false on time-out.
    bool Pump(std::chrono::steady_clock::time_point deadline);
    bool PopLine(std::string* line);

    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_stdout = -1;
    int m_stderr_fd = -1;
    std::string m_stdoutBuffer;
    std::string m_stderr;
    std::optional<int> m_exitCode;
};

struct RunResult {
    int exitCode = -1;  // -1 when the program hung and was killed
    std::string out;
    std::string err;
    std::vector<std::string> lines;  // standard output, line by line
};

// Runs a program to its end (killing it after `timeout`).
RunResult Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(60),
              const ChildOptions& options = {});

}  // namespace e2e
