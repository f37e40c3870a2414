// The end-to-end tests' view of the two programs: a driver-host started on a socket and state
// directory of the test's own, and sensorctl runs against it.
//
//   test_support::TempDir dir;
//   auto host = e2e::HostProcess::Start(dir.path());     // waits for its "ready" line
//   e2e::RunResult props = host->Ctl({"--json", "props"});
//   for (const nlohmann::json& line : e2e::JsonLines(props)) ...
//   EXPECT_EQ(host->Stop(), 0);                          // SIGTERM, then the exit code
//
// Every wait has a generous time-out that only guards against a hang: the host's start takes about
// 5 s (the driver's thermal map settles) and a woken device settles another 5 s.
//
// Ownership: a HostProcess owns its process (killed when the object goes while it still runs).
// Thread safety: one test thread at a time.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e/child_process.h"

namespace e2e {

inline constexpr std::chrono::seconds kStartTimeout{90};
inline constexpr std::chrono::seconds kCommandTimeout{60};
// How long a client waits for an event that should come within a few report intervals, including
// a wake's settle.
inline constexpr std::chrono::seconds kEventTimeout{45};

class HostProcess {
public:
    // Starts driver-host with --socket DIR/host.sock --state-dir DIR/state and `extraArgs`, and
    // reads its log up to the "ready" line. Null (with a test failure) when it does not get there.
    static std::unique_ptr<HostProcess> Start(const std::filesystem::path& dir, std::vector<std::string> extraArgs = {});

    const std::string& Socket() const { return m_socket; }
    const std::filesystem::path& StateDirectory() const { return m_state; }
    ChildProcess& Process() { return *m_process; }
    // Every log line read so far.
    const std::vector<std::string>& Log() const { return m_log; }
    // Reads the log lines that have come so far, waiting for none.
    void ReadPendingLog();
    // Reads the log until a line contains `text`.
    std::optional<std::string> WaitForLog(std::string_view text, std::chrono::milliseconds timeout = kEventTimeout);

    // sensorctl --socket SOCKET ARGS..., run to its end.
    RunResult Ctl(const std::vector<std::string>& args, const ChildOptions& options = {}) const;
    // sensorctl --socket SOCKET ARGS..., left running.
    std::unique_ptr<ChildProcess> StartCtl(const std::vector<std::string>& args) const;

    // SIGTERM, then the exit code (nothing on a hang); the rest of the log is read.
    std::optional<int> Stop();

private:
    std::unique_ptr<ChildProcess> m_process;
    std::string m_socket;
    std::filesystem::path m_state;
    std::vector<std::string> m_log;
};

// A suite's host with a watching client, the keeper, that wakes its device and keeps it awake, so
// that the suite's tests find the sensor ready.
//
//   static AwakeHost* s_awake = AwakeHost::Start(dir).release();   // SetUpTestSuite
//   s_awake->Host().Ctl({"get"});  ...  delete s_awake;             // TearDownTestSuite
class AwakeHost {
public:
    // Starts the host with `extraArgs` and a keeper (sensorctl --json watch), and waits for the
    // keeper's first reading. Null (with a test failure) when either does not get there.
    static std::unique_ptr<AwakeHost> Start(const std::filesystem::path& dir, std::vector<std::string> extraArgs = {});
    // Interrupts the keeper and stops the host, expecting each to end with 0.
    ~AwakeHost();

    HostProcess& Host() { return *m_host; }
    ChildProcess& Keeper() { return *m_keeper; }

private:
    AwakeHost() = default;
    std::unique_ptr<HostProcess> m_host;
    std::unique_ptr<ChildProcess> m_keeper;
};

// Forgets the lines a watcher printed so far, so that the next reading is a fresh one.
void SkipPrinted(ChildProcess& watcher);

// sensorctl --socket SOCKET ARGS... run as the user nobody (65534), whom the host gives read access
// only. Needs root (callers check geteuid()): that user gets a copy of sensorctl and the platform
// library in DIR, where it may run them, and the socket is opened to everyone.
RunResult CtlAsNobody(const HostProcess& host, const std::filesystem::path& dir, const std::vector<std::string>& args);

// The JSON objects of a run's output, one per line (a line that is not JSON fails the test).
std::vector<nlohmann::json> JsonLines(const RunResult& result);
// One line as JSON; nothing (and a test failure) when it is not.
std::optional<nlohmann::json> ParseJson(const std::string& line);

// Reads a watching sensorctl --json's output up to the next data-updated event with a temperature.
std::optional<nlohmann::json> NextReading(ChildProcess& watcher, std::chrono::milliseconds timeout = kEventTimeout);
// The same up to the next event of that kind ("removed", "host-lost", ...).
std::optional<nlohmann::json> NextEvent(ChildProcess& watcher, std::string_view kind,
                                        std::chrono::milliseconds timeout = kEventTimeout);

}  // namespace e2e
