// The product as a service manager runs it: installed under a prefix of its own, telling the
// manager its status, readiness, stop and watchdog pings, and serving a socket it was passed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_host.h"
#include "support/temp_dir.h"

namespace {

using e2e::ChildOptions;
using e2e::ChildProcess;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

// A Unix-domain socket of the test, bound at `path` when given; closed with the object.
class TestSocket {
public:
    TestSocket(int type, const std::filesystem::path& path, bool listen = false)
        : m_fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0) << path;
        if (listen) {
            EXPECT_EQ(::listen(m_fd, 4), 0);
        }
    }
    ~TestSocket() { ::close(m_fd); }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    int fd() const { return m_fd; }

    // The next datagram; nothing when none came within `timeout`.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout) const
    {
        pollfd ready{m_fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t got = ::recv(m_fd, buffer, sizeof(buffer), 0);
        if (got < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(got));
    }

private:
    int m_fd;
};

// Reads the notifications sent to a socket of the test's own as they come, as the service manager
// does: a sender blocks while the socket's queue is full.
class NotifyReceiver {
public:
    explicit NotifyReceiver(const std::filesystem::path& path)
        : m_socket(SOCK_DGRAM, path), m_thread([this] { Run(); })
    {
    }
    ~NotifyReceiver()
    {
        m_stopping = true;
        m_thread.join();
    }
    NotifyReceiver(const NotifyReceiver&) = delete;
    NotifyReceiver& operator=(const NotifyReceiver&) = delete;

    // Waits for a message after the first `from` ones that has the line `line`; its index, or
    // nothing on time-out.
    std::optional<std::size_t> WaitFor(std::string_view line, std::size_t from = 0)
    {
        std::unique_lock lock(m_mutex);
        std::optional<std::size_t> found;
        m_received.wait_for(lock, e2e::kStartTimeout, [&] {
            for (std::size_t i = from; i < m_messages.size() && !found; ++i) {
                std::istringstream lines(m_messages[i]);
                for (std::string each; std::getline(lines, each);) {
                    if (each == line) found = i;
                }
            }
            return found.has_value();
        });
        return found;
    }
    std::vector<std::string> Messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

private:
    void Run()
    {
        while (!m_stopping) {
            if (std::optional<std::string> message = m_socket.Receive(std::chrono::milliseconds(100))) {
                std::lock_guard lock(m_mutex);
                m_messages.push_back(std::move(*message));
                m_received.notify_all();
            }
        }
    }

    const TestSocket m_socket;
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_received;
    std::vector<std::string> m_messages;  // guarded by m_mutex
    std::thread m_thread;
};

// The program's path found through PATH; empty when it is not there.
std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(directory) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(InstalledTest, InstalledPair_ReadsATemperatureAndTellsTheServiceManagerEachStep)
{
    test_support::TempDir dir;
    const std::filesystem::path prefix = dir.path() / "prefix";
    const e2e::RunResult install =
        e2e::Run({CMAKE_COMMAND, "--install", THERMAL_BINARY_DIR, "--prefix", prefix.string()}, e2e::kStartTimeout);
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    for (const char* file : {"bin/driver-host", "bin/sensorctl", "lib/thermal-driver/libplatform.so",
                             "lib/thermal-driver/thermal_driver.so", "share/thermal-driver/trace_formats/sensor.txt",
                             "share/man/man1/sensorctl.1", "share/man/man8/driver-host.8",
                             "lib/systemd/system/thermal-driver.service", "lib/systemd/system/thermal-driver.socket",
                             "lib/systemd/user/thermal-driver.service", "lib/systemd/user/thermal-driver.socket",
                             "lib/sysusers.d/thermal-driver.conf"}) {
        EXPECT_TRUE(std::filesystem::exists(prefix / file)) << file;
    }
    EXPECT_THAT(ReadFile(prefix / "lib/systemd/system/thermal-driver.service"),
                HasSubstr("ExecStart=" + (prefix / "bin/driver-host").string() + " "));

    if (const std::string analyze = FindProgram("systemd-analyze"); !analyze.empty()) {
        std::filesystem::create_directories(dir.path() / "runtime");
        const ChildOptions userManager{.environment = {"XDG_RUNTIME_DIR=" + (dir.path() / "runtime").string()}};
        for (const char* scope : {"system", "user"}) {
            const std::filesystem::path units = prefix / "lib/systemd" / scope;
            const e2e::RunResult verify = e2e::Run({analyze, std::string("--") + scope, "verify", "--man=no",
                                                    (units / "thermal-driver.socket").string(),
                                                    (units / "thermal-driver.service").string()},
                                                   e2e::kCommandTimeout, userManager);
            EXPECT_EQ(verify.exitCode, 0) << scope << ": " << verify.out << verify.err;
            EXPECT_EQ(verify.err, "") << scope;
        }
    }

    // The installed host, under a service manager that asks for a watchdog.
    NotifyReceiver notify(dir.path() / "notify.sock");
    const std::string socket = (dir.path() / "host.sock").string();
    const ChildOptions managed{.environment = {"NOTIFY_SOCKET=" + (dir.path() / "notify.sock").string(),
                                               "WATCHDOG_USEC=1000000"}};
    const auto host = ChildProcess::Start({(prefix / "bin/driver-host").string(), "--socket", socket, "--state-dir",
                                           (dir.path() / "state").string(), "--trace", "error"},
                                          managed);
    ASSERT_NE(host, nullptr);
    const std::optional<std::size_t> ready = notify.WaitFor("READY=1");
    ASSERT_TRUE(ready) << ::testing::PrintToString(notify.Messages());
    std::vector<std::string> messages = notify.Messages();
    messages.resize(*ready + 1);
    EXPECT_THAT(messages, Contains(HasSubstr("STATUS=loading: 3 s of about 5")));
    EXPECT_THAT(messages.back(), HasSubstr("STATUS=serving clients on " + socket));
    ASSERT_TRUE(host->ReadUntil("ready;", e2e::kStartTimeout)) << host->Stderr();

    // Both programs run from the prefix: their libraries and the module are the installed ones.
    const std::string maps = ReadFile("/proc/" + std::to_string(host->Pid()) + "/maps");
    EXPECT_THAT(maps, HasSubstr((prefix / "lib/thermal-driver/libplatform.so").string()));
    EXPECT_THAT(maps, HasSubstr((prefix / "lib/thermal-driver/thermal_driver.so").string()));
    const e2e::RunResult get = e2e::Run({(prefix / "bin/sensorctl").string(), "--socket", socket, "--json", "get"},
                                        e2e::kCommandTimeout);
    ASSERT_EQ(get.exitCode, 0) << get.err;
    const std::vector<nlohmann::json> reading = e2e::JsonLines(get);
    ASSERT_EQ(reading.size(), 1u);
    EXPECT_EQ(reading[0]["temperature_celsius"], 25.0);
    EXPECT_THAT(host->Stderr(), Not(HasSubstr("trace formats")));

    // The serving loop's pings, then the stop.
    EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", *ready + 1));
    host->Signal(SIGTERM);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1", *ready + 1));
    EXPECT_EQ(host->Wait(e2e::kCommandTimeout), 0);
}

TEST(SocketActivationTest, PassedSocket_IsServedAndItsFirstClientWaitsForTheLoad)
{
    const std::string activate = FindProgram("systemd-socket-activate");
    if (activate.empty()) GTEST_SKIP() << "systemd-socket-activate is not installed";
    test_support::TempDir dir;
    const std::string socket = (dir.path() / "activated.sock").string();
    // It listens on the socket and starts the host on the first connection, handing the socket over.
    const auto host = ChildProcess::Start(
        {activate, "--listen", socket, DRIVER_HOST_PATH, "--state-dir", (dir.path() / "state").string()});
    ASSERT_NE(host, nullptr);

    const e2e::RunResult get =
        e2e::Run({SENSORCTL_PATH, "--socket", socket, "--json", "get", "--timeout", "60"}, e2e::kStartTimeout);
    ASSERT_EQ(get.exitCode, 0) << get.err << host->Stderr();
    const std::vector<nlohmann::json> reading = e2e::JsonLines(get);
    ASSERT_EQ(reading.size(), 1u);
    EXPECT_EQ(reading[0]["temperature_celsius"], 25.0);
    EXPECT_TRUE(host->ReadUntil("serving the socket the service manager passed: " + socket, e2e::kCommandTimeout));

    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(e2e::kCommandTimeout), 0) << host->Stderr();
    EXPECT_TRUE(std::filesystem::exists(socket)) << "the socket's file belongs to whoever made it";
}

TEST(SocketActivationTest, PassedSocketOfAnotherKind_IsRefusedBeforeTheLoad)
{
    test_support::TempDir dir;
    const TestSocket datagram(SOCK_DGRAM, dir.path() / "datagram.sock");
    const TestSocket notListening(SOCK_STREAM, dir.path() / "stream.sock");
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const struct {
        int fd;
        std::string reason;
    } cases[] = {
        {datagram.fd(), "it is a Unix-domain datagram socket; the host serves a Unix-domain stream socket only"},
        {notListening.fd(), "it is a Unix-domain stream socket that is not listening"},
        {pipe[0], "descriptor 3 is not a socket"},
    };
    for (const auto& c : cases) {
        const e2e::RunResult run = e2e::Run({DRIVER_HOST_PATH, "--state-dir", (dir.path() / "state").string()},
                                            e2e::kCommandTimeout, ChildOptions{.listenFd = c.fd});
        EXPECT_EQ(run.exitCode, 4) << run.err;
        EXPECT_THAT(run.err, HasSubstr("the passed socket cannot be served: " + c.reason)) << c.reason;
        EXPECT_THAT(run.lines, Not(Contains(HasSubstr("loading "))));
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
}

}  // namespace
