#include "e2e/e2e_host.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

namespace e2e {

std::unique_ptr<HostProcess> HostProcess::Start(const std::filesystem::path& dir, std::vector<std::string> extraArgs)
{
    std::unique_ptr<HostProcess> host(new HostProcess());
    host->m_socket = (dir / "host.sock").string();
    host->m_state = dir / "state";
    std::vector<std::string> argv{DRIVER_HOST_PATH, "--socket", host->m_socket, "--state-dir", host->m_state.string()};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    host->m_process = ChildProcess::Start(argv);
    if (!host->m_process) return nullptr;
    if (!host->WaitForLog("ready;", kStartTimeout)) {
        const std::optional<int> exitCode = host->m_process->Wait(std::chrono::seconds(5));
        ADD_FAILURE() << "driver-host did not become ready (exit " << exitCode.value_or(-1) << ")\nlog:\n"
                      << ::testing::PrintToString(host->m_log) << "\nstderr:\n"
                      << host->m_process->Stderr();
        return nullptr;
    }
    return host;
}

std::optional<std::string> HostProcess::WaitForLog(std::string_view text, std::chrono::milliseconds timeout)
{
    return m_process->ReadUntil(text, timeout, &m_log);
}

void HostProcess::ReadPendingLog()
{
    while (std::optional<std::string> line = m_process->ReadLine(std::chrono::milliseconds(0))) {
        m_log.push_back(std::move(*line));
    }
}

RunResult HostProcess::Ctl(const std::vector<std::string>& args, const ChildOptions& options) const
{
    std::vector<std::string> argv{SENSORCTL_PATH, "--socket", m_socket};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, kCommandTimeout, options);
}

std::unique_ptr<ChildProcess> HostProcess::StartCtl(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv{SENSORCTL_PATH, "--socket", m_socket};
    argv.insert(argv.end(), args.begin(), args.end());
    return ChildProcess::Start(argv);
}

std::optional<int> HostProcess::Stop()
{
    m_process->Signal(SIGTERM);
    const std::optional<int> exitCode = m_process->Wait(kCommandTimeout);
    for (std::string& line : m_process->TakeRemainingLines()) m_log.push_back(std::move(line));
    return exitCode;
}

std::unique_ptr<AwakeHost> AwakeHost::Start(const std::filesystem::path& dir, std::vector<std::string> extraArgs)
{
    std::unique_ptr<AwakeHost> awake(new AwakeHost());
    awake->m_host = HostProcess::Start(dir, std::move(extraArgs));
    if (!awake->m_host) return nullptr;
    awake->m_keeper = awake->m_host->StartCtl({"--json", "watch"});
    if (!awake->m_keeper) return nullptr;
    if (!NextReading(*awake->m_keeper)) {
        ADD_FAILURE() << "the keeper saw no reading; stderr: " << awake->m_keeper->Stderr();
        return nullptr;
    }
    return awake;
}

AwakeHost::~AwakeHost()
{
    if (m_keeper) {
        m_keeper->Signal(SIGINT);
        EXPECT_EQ(m_keeper->Wait(kCommandTimeout), 0) << m_keeper->Stderr();
    }
    if (m_host) {
        EXPECT_EQ(m_host->Stop(), 0);
    }
}

void SkipPrinted(ChildProcess& watcher)
{
    while (watcher.ReadLine(std::chrono::milliseconds(0))) {
    }
}

RunResult CtlAsNobody(const HostProcess& host, const std::filesystem::path& dir, const std::vector<std::string>& args)
{
    const std::filesystem::path bin = dir / "bin";
    const std::filesystem::path lib = dir / "lib";
    const std::filesystem::path sensorctl = bin / "sensorctl";
    if (!std::filesystem::exists(sensorctl)) {
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(lib);
        std::filesystem::copy_file(SENSORCTL_PATH, sensorctl);
        std::filesystem::copy_file(PLATFORM_LIBRARY_PATH,
                                   lib / std::filesystem::path(PLATFORM_LIBRARY_PATH).filename());
        for (const auto& path : {dir, bin, lib}) ::chmod(path.c_str(), 0755);
    }
    ::chmod(host.Socket().c_str(), 0666);
    std::vector<std::string> argv{sensorctl.string(), "--socket", host.Socket()};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, kCommandTimeout, ChildOptions{.runAs = 65534});
}

std::optional<nlohmann::json> ParseJson(const std::string& line)
{
    nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        ADD_FAILURE() << "not a JSON object: " << line;
        return std::nullopt;
    }
    return parsed;
}

std::vector<nlohmann::json> JsonLines(const RunResult& result)
{
    std::vector<nlohmann::json> objects;
    for (const std::string& line : result.lines) {
        if (std::optional<nlohmann::json> parsed = ParseJson(line)) objects.push_back(std::move(*parsed));
    }
    return objects;
}

namespace {

// Reads a watcher's JSON lines up to the first that `wanted` accepts.
template <class Wanted>
std::optional<nlohmann::json> NextLine(ChildProcess& watcher, std::chrono::milliseconds timeout, Wanted wanted)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        std::optional<std::string> line = watcher.ReadLine(left);
        if (!line) return std::nullopt;
        std::optional<nlohmann::json> event = ParseJson(*line);
        if (event && wanted(*event)) return event;
    }
}

}  // namespace

std::optional<nlohmann::json> NextReading(ChildProcess& watcher, std::chrono::milliseconds timeout)
{
    return NextLine(watcher, timeout, [](const nlohmann::json& event) {
        return event["event"] == "data-updated" && event["temperature_celsius"].is_number();
    });
}

std::optional<nlohmann::json> NextEvent(ChildProcess& watcher, std::string_view kind, std::chrono::milliseconds timeout)
{
    return NextLine(watcher, timeout, [kind](const nlohmann::json& event) { return event["event"] == kind; });
}

}  // namespace e2e
