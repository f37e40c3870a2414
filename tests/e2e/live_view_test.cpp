// One host whose interface probe follows a temporary file standing in for a thermal zone: a change
// of the file shows in watch, an unreadable file gives no reading (and one log line), and
// watch --plot, driven through a pseudo-terminal, shows the sparkline, the gap and the stale mark.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "e2e/e2e_host.h"
#include "support/temp_dir.h"

namespace {

using e2e::HostProcess;
using e2e::NextReading;
using e2e::SkipPrinted;

constexpr double kMapStep = 0.25;  // the default map's keys come this close to a temperature

// sensorctl on a pseudo-terminal of 100 columns: everything it writes is kept, escapes and all.
class TerminalCtl {
public:
    TerminalCtl(const HostProcess& host, const std::vector<std::string>& args)
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) return;
        winsize size{};
        size.ws_row = 40;
        size.ws_col = 100;
        ::ioctl(m_master, TIOCSWINSZ, &size);
        const std::string terminal = ::ptsname(m_master);
        std::vector<std::string> argv{SENSORCTL_PATH, "--socket", host.Socket()};
        argv.insert(argv.end(), args.begin(), args.end());
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setsid();
            const int slave = ::open(terminal.c_str(), O_RDWR);
            if (slave < 0) ::_exit(127);
            ::dup2(slave, STDIN_FILENO);
            ::dup2(slave, STDOUT_FILENO);
            ::dup2(slave, STDERR_FILENO);
            std::vector<char*> pointers;
            for (std::string& word : argv) pointers.push_back(word.data());
            pointers.push_back(nullptr);
            ::execv(pointers[0], pointers.data());
            ::_exit(127);
        }
    }
    ~TerminalCtl()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_master >= 0) ::close(m_master);
    }

    bool Started() const { return m_pid > 0; }
    const std::string& Output() const { return m_output; }

    // Reads until `done` accepts what was written; false at the time-out or the end of output.
    template <class Done>
    bool ReadUntil(Done done, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done(m_output)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // SIGINT, then the exit code (nothing on a hang).
    std::optional<int> Interrupt()
    {
        ::kill(m_pid, SIGINT);
        while (ReadSome(static_cast<int>(e2e::kCommandTimeout.count() * 1000))) {
        }
        int status = 0;
        const pid_t pid = std::exchange(m_pid, -1);
        if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return std::nullopt;
        return WEXITSTATUS(status);
    }

private:
    bool ReadSome(int timeoutMs)
    {
        pollfd ready{m_master, POLLIN, 0};
        if (::poll(&ready, 1, timeoutMs) <= 0) return false;
        char buffer[4096];
        const ssize_t size = ::read(m_master, buffer, sizeof(buffer));
        if (size <= 0) return false;  // EIO: the terminal's last user closed it
        m_output.append(buffer, static_cast<std::size_t>(size));
        return true;
    }

    int m_master = -1;
    pid_t m_pid = -1;
    std::string m_output;
};

// Whether a drawing shows bars, then a blank gap, then bars again, on one line.
bool ShowsBarsAroundAGap(const std::string& output)
{
    static const std::regex kEscape("\x1b\\[[0-9;?]*[A-Za-z]");
    static const std::regex kGap("(▁|▂|▃|▄|▅|▆|▇|█) +(▁|▂|▃|▄|▅|▆|▇|█)");
    const std::string plain = std::regex_replace(output, kEscape, "\n");
    return std::regex_search(plain, kGap);
}

bool ShowsABar(const std::string& output) { return output.find("▅") != std::string::npos; }

class LiveViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new test_support::TempDir();
        s_zone = new std::filesystem::path(s_dir->path() / "temp");
        SetZone("25000\n");
        const std::filesystem::path machine = s_dir->path() / "zone.machine";
        // Only the interface probe, so that a zone that cannot be read gives no reading.
        std::ofstream(machine) << "[interface-probe]\nsource = temp\n";
        s_awake = e2e::AwakeHost::Start(s_dir->path(), {"--machine", machine.string()}).release();
        ASSERT_NE(s_awake, nullptr);
        s_host = &s_awake->Host();
        s_keeper = &s_awake->Keeper();
    }

    static void TearDownTestSuite()
    {
        delete s_awake;
        delete s_zone;
        delete s_dir;
    }

    void SetUp() override
    {
        if (s_awake == nullptr) GTEST_SKIP() << "the suite's host did not start";
    }

    static void SetZone(const std::string& text) { std::ofstream(*s_zone, std::ios::trunc) << text; }

    static test_support::TempDir* s_dir;
    static std::filesystem::path* s_zone;
    static e2e::AwakeHost* s_awake;
    static HostProcess* s_host;
    static e2e::ChildProcess* s_keeper;
};

test_support::TempDir* LiveViewTest::s_dir = nullptr;
std::filesystem::path* LiveViewTest::s_zone = nullptr;
e2e::AwakeHost* LiveViewTest::s_awake = nullptr;
HostProcess* LiveViewTest::s_host = nullptr;
e2e::ChildProcess* LiveViewTest::s_keeper = nullptr;

TEST_F(LiveViewTest, ThermalZoneChange_ShowsInWatchWithinTwoReportIntervals)
{
    SetZone("41500\n");
    SkipPrinted(*s_keeper);
    // One reading may have been taken before the change; the next is taken after it.
    bool followed = false;
    for (int i = 0; i < 2 && !followed; ++i) {
        const std::optional<nlohmann::json> reading = NextReading(*s_keeper);
        ASSERT_TRUE(reading);
        followed = std::abs((*reading)["temperature_celsius"].get<double>() - 41.5) <= kMapStep;
        EXPECT_TRUE((*reading)["age_ms"].is_number()) << reading->dump();
        EXPECT_EQ((*reading)["stale"], false) << reading->dump();
    }
    EXPECT_TRUE(followed) << "no reading of 41.5 degrees within two readings of the change";
}

TEST_F(LiveViewTest, Outputs_ValueFormatPrintsNumbersAndGetTheReadingsAge)
{
    const e2e::RunResult values = s_host->Ctl({"watch", "--count", "2", "--format", "value"});
    ASSERT_EQ(values.exitCode, 0) << values.err;
    ASSERT_EQ(values.lines.size(), 2u) << values.out;
    for (const std::string& line : values.lines) EXPECT_TRUE(std::regex_match(line, std::regex("-?[0-9]+\\.[0-9]+"))) << line;

    const e2e::RunResult get = s_host->Ctl({"--json", "get"});
    ASSERT_EQ(get.exitCode, 0) << get.err;
    const std::vector<nlohmann::json> lines = e2e::JsonLines(get);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0]["age_ms"].is_number()) << get.out;
    EXPECT_EQ(lines[0]["stale"], false) << get.out;
}

TEST_F(LiveViewTest, PlotOnATerminal_ShowsTheSparklineTheGapAndTheStaleMark)
{
    SetZone("25000\n");
    TerminalCtl plot(*s_host, {"watch", "--plot", "--min", "20", "--max", "30"});
    ASSERT_TRUE(plot.Started());
    ASSERT_TRUE(plot.ReadUntil(ShowsABar, e2e::kEventTimeout)) << plot.Output();

    // The zone cannot be read: the probe's request fails, the reading is missing (the sensor's
    // state says why), and the last reading grows stale.
    SetZone("warm\n");
    EXPECT_TRUE(s_host->WaitForLog("cannot be read (it holds no number of millidegrees)"));
    // Readings taken before the change may still be queued; the missing one follows them, and
    // no event comes after it until the zone reads again.
    bool said = false;
    while (!said) {
        const std::optional<std::string> line = s_keeper->ReadUntil("\"data-updated\"", e2e::kEventTimeout);
        if (!line) break;
        const std::optional<nlohmann::json> event = e2e::ParseJson(*line);
        said = event && (*event)["temperature_celsius"].is_null() && (*event)["state"] == "not-available";
    }
    EXPECT_TRUE(said) << "no data-updated event without a reading that names the state";
    EXPECT_TRUE(plot.ReadUntil([](const std::string& out) { return out.find("STALE") != std::string::npos; },
                               e2e::kEventTimeout))
        << plot.Output();

    SetZone("25000\n");
    EXPECT_TRUE(plot.ReadUntil(ShowsBarsAroundAGap, e2e::kEventTimeout)) << plot.Output();
    EXPECT_EQ(plot.Interrupt(), 0);
    EXPECT_TRUE(NextReading(*s_keeper));
}

}  // namespace
