// A host, the exporter and a real Prometheus server on private ports and directories: the server
// sees the probe's temperature and its change, scrapes never reach the host, the output (served
// and written as a textfile) and the rules pass promtool, and a host restart shows as
// thermal_driver_up 0, then 1 and the temperature again.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "e2e/e2e_host.h"
#include "support/temp_dir.h"

namespace {

using e2e::HostProcess;
using Clock = std::chrono::steady_clock;

constexpr double kMapStep = 0.25;  // the default map's keys are this far apart
// How long Prometheus may take to scrape a change (its interval is 1 s) and the sensor to report it.
constexpr std::chrono::seconds kMetricTimeout{60};
// Between two looks at a server that has nothing to announce on a stream.
constexpr std::chrono::milliseconds kPoll{100};

const std::filesystem::path kSourceDir = THERMAL_SOURCE_DIR;
const std::filesystem::path kRulesFile = kSourceDir / "packaging/monitoring/thermal-driver-rules.yml";
const std::filesystem::path kDashboardFile = kSourceDir / "packaging/monitoring/thermal-driver-dashboard.json";

// The program's path when it is installed (the PATH is searched), else empty.
std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return {};
}

// A port nobody listens on now (the kernel's choice for a socket bound to port 0).
int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Asks `probe` again until it answers a value, or the time-out passes.
template <class Probe>
auto Until(std::chrono::milliseconds timeout, Probe probe) -> decltype(probe())
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto answer = probe()) return answer;
        if (Clock::now() >= deadline) return {};
        std::this_thread::sleep_for(kPoll);
    }
}

// The value of the first sample of the metric `name` in an exposition text.
std::optional<double> SampleValue(const std::string& text, std::string_view name)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(name) && line.size() > name.size() &&
            (line[name.size()] == ' ' || line[name.size()] == '{')) {
            return std::stod(line.substr(line.rfind(' ') + 1));
        }
    }
    return std::nullopt;
}

class MonitoringTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_prometheus = FindProgram("prometheus");
        s_promtool = FindProgram("promtool");
        if (s_prometheus.empty() || s_promtool.empty()) return;  // each test says so
        s_dir = new test_support::TempDir();
        s_host = HostProcess::Start(s_dir->path()).release();
        ASSERT_NE(s_host, nullptr);

        s_exporter =
            e2e::ChildProcess::Start({THERMAL_EXPORTER_PATH, "--socket", s_host->Socket(), "--listen", "127.0.0.1:0"})
                .release();
        ASSERT_NE(s_exporter, nullptr);
        const std::optional<std::string> serving = s_exporter->ReadUntil("serving metrics on", e2e::kCommandTimeout);
        ASSERT_TRUE(serving) << s_exporter->Stderr();
        std::smatch port;
        ASSERT_TRUE(std::regex_search(*serving, port, std::regex(":([0-9]+)/metrics"))) << *serving;
        s_exporterPort = std::stoi(port[1]);

        const std::filesystem::path config = s_dir->path() / "prometheus.yml";
        std::ofstream(config) << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                              << "rule_files: [\"" << kRulesFile.string() << "\"]\n"
                              << "scrape_configs:\n  - job_name: thermal-driver\n    static_configs:\n"
                              << "      - targets: [\"127.0.0.1:" << s_exporterPort << "\"]\n";
        s_prometheusPort = FreePort();
        s_server = e2e::ChildProcess::Start({s_prometheus, "--config.file=" + config.string(),
                                             "--storage.tsdb.path=" + (s_dir->path() / "tsdb").string(),
                                             "--web.listen-address=127.0.0.1:" + std::to_string(s_prometheusPort),
                                             "--log.level=warn"})
                       .release();
        ASSERT_NE(s_server, nullptr);
        const bool ready = Until(e2e::kStartTimeout, [] {
            httplib::Client server("127.0.0.1", s_prometheusPort);
            const httplib::Result result = server.Get("/-/ready");
            return result && result->status == 200;
        });
        ASSERT_TRUE(ready) << "Prometheus did not become ready; stderr: " << s_server->Stderr();
    }

    static void TearDownTestSuite()
    {
        for (e2e::ChildProcess* child : {s_server, s_exporter}) {
            if (child == nullptr) continue;
            child->Signal(SIGTERM);
            EXPECT_EQ(child->Wait(e2e::kCommandTimeout), 0) << child->Stderr();
            delete child;
        }
        if (s_host != nullptr) {
            EXPECT_EQ(s_host->Stop(), 0);
        }
        delete s_host;
        delete s_dir;
        s_server = s_exporter = nullptr;
        s_host = nullptr;
        s_dir = nullptr;
    }

    void SetUp() override
    {
        if (s_prometheus.empty() || s_promtool.empty()) {
            GTEST_SKIP() << "prometheus and promtool are not installed (scripts/install-deps.sh installs them)";
        }
        if (s_host == nullptr || s_server == nullptr) GTEST_SKIP() << "the suite's processes did not start";
    }

    static std::string Scrape()
    {
        httplib::Client exporter("127.0.0.1", s_exporterPort);
        const httplib::Result result = exporter.Get("/metrics");
        return result && result->status == 200 ? result->body : std::string();
    }

    // The value of `query` at Prometheus now, when it has one.
    static std::optional<double> Query(const std::string& query)
    {
        httplib::Client server("127.0.0.1", s_prometheusPort);
        const httplib::Result result = server.Get("/api/v1/query", httplib::Params{{"query", query}}, {});
        if (!result || result->status != 200) return std::nullopt;
        const nlohmann::json answer = nlohmann::json::parse(result->body, nullptr, false);
        if (answer.is_discarded() || answer["status"] != "success" || answer["data"]["result"].empty()) {
            return std::nullopt;
        }
        return std::stod(answer["data"]["result"][0]["value"][1].get<std::string>());
    }

    // Runs promtool with `args`, standard input from `input` when given.
    static e2e::RunResult Promtool(const std::string& args, const std::filesystem::path& input = {})
    {
        std::string command = "'" + s_promtool + "' " + args;
        if (!input.empty()) command += " < '" + input.string() + "'";
        return e2e::Run({"/bin/sh", "-c", command});
    }

    static inline std::string s_prometheus;
    static inline std::string s_promtool;
    static inline test_support::TempDir* s_dir = nullptr;
    static inline HostProcess* s_host = nullptr;
    static inline e2e::ChildProcess* s_exporter = nullptr;
    static inline e2e::ChildProcess* s_server = nullptr;
    static inline int s_exporterPort = 0;
    static inline int s_prometheusPort = 0;
};

TEST_F(MonitoringTest, Prometheus_SeesTheProbesTemperatureAndItsChange)
{
    const auto near = [](double wanted) {
        return [wanted]() -> std::optional<double> {
            const std::optional<double> value = Query("thermal_driver_temperature_celsius");
            return value && std::abs(*value - wanted) <= kMapStep ? value : std::nullopt;
        };
    };
    EXPECT_TRUE(Until(kMetricTimeout, near(25.0)))
        << "last: " << Query("thermal_driver_temperature_celsius").value_or(-1);
    ASSERT_EQ(s_host->Ctl({"sim", "probe", "interface", "temperature", "31.5"}).exitCode, 0);
    EXPECT_TRUE(Until(kMetricTimeout, near(31.5)))
        << "last: " << Query("thermal_driver_temperature_celsius").value_or(-1);
    EXPECT_EQ(s_host->Ctl({"sim", "probe", "interface", "temperature", "25.0"}).exitCode, 0);

    // The server took the shipped rules, and none of them fires for a healthy host.
    httplib::Client server("127.0.0.1", s_prometheusPort);
    const httplib::Result rules = server.Get("/api/v1/rules");
    ASSERT_TRUE(rules && rules->status == 200);
    const nlohmann::json answer = nlohmann::json::parse(rules->body, nullptr, false);
    ASSERT_FALSE(answer.is_discarded());
    std::size_t loaded = 0;
    for (const nlohmann::json& group : answer["data"]["groups"]) {
        for (const nlohmann::json& rule : group["rules"]) {
            ++loaded;
            EXPECT_NE(rule["state"], "firing") << rule.dump();
        }
    }
    EXPECT_GE(loaded, 3u) << rules->body;
}

TEST_F(MonitoringTest, Scrapes_NeverReachTheHostAndPassPromtool)
{
    ASSERT_TRUE(Until(kMetricTimeout, [] { return SampleValue(Scrape(), "thermal_driver_temperature_celsius"); }));
    const auto connects = [] {
        s_host->ReadPendingLog();
        return std::count_if(s_host->Log().begin(), s_host->Log().end(), [](const std::string& line) {
            return line.find("client connected") != std::string::npos;
        });
    };
    const auto before = connects();
    std::string text;
    for (int i = 0; i < 200; ++i) text = Scrape();
    EXPECT_EQ(connects(), before) << "a scrape connected to the host";

    const std::filesystem::path scraped = s_dir->path() / "scraped.prom";
    std::ofstream(scraped) << text;
    const e2e::RunResult metrics = Promtool("check metrics", scraped);
    EXPECT_EQ(metrics.exitCode, 0) << metrics.out << metrics.err << text;
    const e2e::RunResult rules = Promtool("check rules '" + kRulesFile.string() + "'");
    EXPECT_EQ(rules.exitCode, 0) << rules.out << rules.err;

    // The rules and the dashboard name only metrics the exporter has.
    std::set<std::string> exported;
    const std::regex family("# TYPE (thermal_driver_[a-z_]+) ");
    for (std::sregex_iterator it(text.begin(), text.end(), family), end; it != end; ++it) exported.insert((*it)[1]);
    for (const std::filesystem::path& file : {kRulesFile, kDashboardFile}) {
        std::ifstream in(file);
        const std::string content((std::istreambuf_iterator<char>(in)), {});
        ASSERT_FALSE(content.empty()) << file;
        const std::regex name("thermal_driver_[a-z_]+");
        for (std::sregex_iterator it(content.begin(), content.end(), name), end; it != end; ++it) {
            EXPECT_TRUE(exported.contains(it->str())) << file << " names " << it->str();
        }
    }
    std::ifstream dashboard(kDashboardFile);
    EXPECT_FALSE(nlohmann::json::parse(dashboard, nullptr, false).is_discarded()) << "the dashboard is not JSON";
}

TEST_F(MonitoringTest, Textfile_HoldsTheMetricsWithTheTemperatureAndPassesPromtool)
{
    const std::filesystem::path file = s_dir->path() / "thermal-driver.prom";
    const std::unique_ptr<e2e::ChildProcess> writer =
        e2e::ChildProcess::Start({THERMAL_EXPORTER_PATH, "--socket", s_host->Socket(), "--textfile", file.string()});
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(writer->ReadUntil("writing metrics to", e2e::kCommandTimeout)) << writer->Stderr();
    const auto contents = [&file] {
        std::ifstream in(file);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    EXPECT_TRUE(Until(kMetricTimeout, [&] { return SampleValue(contents(), "thermal_driver_temperature_celsius"); }))
        << contents();
    writer->Signal(SIGTERM);
    EXPECT_EQ(writer->Wait(e2e::kCommandTimeout), 0) << writer->Stderr();
    const e2e::RunResult check = Promtool("check metrics", file);
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
}

TEST_F(MonitoringTest, HostRestart_UpFallsToZeroThenComesBackWithTheTemperature)
{
    const std::string temperature = "thermal_driver_temperature_celsius";
    ASSERT_TRUE(Until(kMetricTimeout, [&] { return SampleValue(Scrape(), temperature); }));
    ASSERT_EQ(s_host->Stop(), 0);
    const auto up = [](double wanted) {
        return [wanted] {
            const std::optional<double> value = SampleValue(Scrape(), "thermal_driver_up");
            return value == wanted;
        };
    };
    ASSERT_TRUE(Until(e2e::kCommandTimeout, up(0)));
    EXPECT_FALSE(SampleValue(Scrape(), temperature)) << "a temperature while the host is down";

    delete s_host;
    s_host = HostProcess::Start(s_dir->path()).release();
    ASSERT_NE(s_host, nullptr);
    const auto serving = Clock::now();
    ASSERT_TRUE(Until(e2e::kCommandTimeout, up(1)));
    // Reported, not asserted: the machine's load decides it (docs/performance.md has the figure).
    RecordProperty(
        "up_again_ms",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - serving).count()));
    EXPECT_TRUE(Until(kMetricTimeout, [&] { return SampleValue(Scrape(), temperature); }))
        << "no temperature after the device's wake; exporter stderr: " << s_exporter->Stderr();
}

}  // namespace
