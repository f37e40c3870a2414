// One host on the embedded machine, kept awake by a watching client for the whole suite, serves
// property reads, watches, a probe change, a faster report interval, a killed client, and bad
// frames.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <map>

#include "e2e/e2e_host.h"
#include "platform/probe/thermal_driver_contract.h"
#include "support/temp_dir.h"
#include "transport/frame.h"

namespace {

using e2e::HostProcess;
using e2e::JsonLines;
using e2e::NextReading;

// Forgets the lines a watcher printed so far, so that the next reading is a fresh one.
void SkipPrinted(e2e::ChildProcess& watcher)
{
    while (watcher.ReadLine(std::chrono::milliseconds(0))) {
    }
}

// The embedded machine's probes answer 25.0 degrees, as near as the default map's keys come.
constexpr double kDefaultTemperature = 25.0;
constexpr double kMapStep = 0.25;

class ReadingsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new test_support::TempDir();
        s_host = HostProcess::Start(s_dir->path()).release();
        ASSERT_NE(s_host, nullptr);
        // The keeper wakes the device and keeps it awake: the others find the sensor ready.
        s_keeper = s_host->StartCtl({"--json", "watch"}).release();
        ASSERT_NE(s_keeper, nullptr);
        ASSERT_TRUE(NextReading(*s_keeper)) << "the keeper saw no reading; stderr: " << s_keeper->Stderr();
    }

    static void TearDownTestSuite()
    {
        if (s_keeper != nullptr) {
            s_keeper->Signal(SIGINT);
            EXPECT_EQ(s_keeper->Wait(e2e::kCommandTimeout), 0) << s_keeper->Stderr();
        }
        delete s_keeper;
        if (s_host != nullptr) {
            EXPECT_EQ(s_host->Stop(), 0);
        }
        delete s_host;
        delete s_dir;
    }

    void SetUp() override
    {
        if (s_host == nullptr || s_keeper == nullptr) GTEST_SKIP() << "the suite's host did not start";
    }

    static test_support::TempDir* s_dir;
    static HostProcess* s_host;
    static e2e::ChildProcess* s_keeper;
};

test_support::TempDir* ReadingsTest::s_dir = nullptr;
HostProcess* ReadingsTest::s_host = nullptr;
e2e::ChildProcess* ReadingsTest::s_keeper = nullptr;

TEST_F(ReadingsTest, PropsJson_ShowsTheSensorsIdentityAndIntervals)
{
    const e2e::RunResult props = s_host->Ctl({"props", "--json"});
    ASSERT_EQ(props.exitCode, 0) << props.err;
    std::map<std::string, nlohmann::json> byKey;
    for (const nlohmann::json& line : JsonLines(props)) {
        ASSERT_TRUE(line.contains("key") && line.contains("pid") && line.contains("fmtid") && line.contains("type"))
            << line.dump();
        EXPECT_NE(line.contains("value"), line.contains("error")) << line.dump();
        byKey[line["key"].get<std::string>()] = line;
    }
    EXPECT_EQ(byKey["SENSOR_PROPERTY_MANUFACTURER"]["value"], "QAR Corporation");
    EXPECT_EQ(byKey["SENSOR_PROPERTY_MODEL"]["value"], "Varmel Device");
    EXPECT_EQ(byKey["SENSOR_PROPERTY_SERIAL_NUMBER"]["value"],
              std::string(THERMAL_SENSOR_BASE_ID.begin(), THERMAL_SENSOR_BASE_ID.end() - 1));
    EXPECT_EQ(byKey["SENSOR_PROPERTY_DESCRIPTION"]["value"], "Temperature Sensor");
    EXPECT_EQ(byKey["SENSOR_PROPERTY_MIN_REPORT_INTERVAL"]["value"], 100);
    EXPECT_EQ(byKey["SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL"]["value"], 1000);
    EXPECT_EQ(byKey["SENSOR_PROPERTY_MANUFACTURER"]["pid"], 6);
    EXPECT_EQ(byKey["SENSOR_PROPERTY_MANUFACTURER"]["fmtid"], "{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920}");
    EXPECT_EQ(byKey["SENSOR_PROPERTY_MANUFACTURER"]["type"], "VT_LPWSTR");
    const std::string id = byKey["WPD_OBJECT_ID"]["value"].get<std::string>();
    EXPECT_TRUE(id.ends_with("-0")) << id;
    EXPECT_EQ(byKey["SENSOR_PROPERTY_MANUFACTURER"]["sensor"], id);

    // A key the sensor does not have comes back with its error, and the output stays JSON.
    const e2e::RunResult some = s_host->Ctl({"--json", "props", "SENSOR_PROPERTY_MODEL", "{26D4979A-E643-4626-9E2B-736DC0C92FDC} 3"});
    ASSERT_EQ(some.exitCode, 0) << some.err;
    const std::vector<nlohmann::json> lines = JsonLines(some);
    ASSERT_EQ(lines.size(), 2u) << some.out;
    EXPECT_EQ(lines[0]["value"], "Varmel Device");
    EXPECT_EQ(lines[1]["key"], "{26D4979A-E643-4626-9E2B-736DC0C92FDC} 3");
    EXPECT_EQ(lines[1]["type"], "VT_ERROR");
    EXPECT_FALSE(lines[1].contains("value"));
    EXPECT_TRUE(lines[1]["error"].get<std::string>().starts_with("0x8")) << lines[1].dump();
}

TEST_F(ReadingsTest, WatchCount_ReceivesReadingsOfTheProbeAndFollowsAChange)
{
    const e2e::RunResult watch = s_host->Ctl({"watch", "--count", "5", "--json"});
    ASSERT_EQ(watch.exitCode, 0) << watch.err;
    const std::vector<nlohmann::json> events = JsonLines(watch);
    ASSERT_EQ(events.size(), 5u);
    for (const nlohmann::json& event : events) {
        EXPECT_EQ(event["event"], "data-updated") << event.dump();
        ASSERT_TRUE(event["temperature_celsius"].is_number()) << event.dump();
        EXPECT_NEAR(event["temperature_celsius"].get<double>(), kDefaultTemperature, kMapStep) << event.dump();
        EXPECT_TRUE(event["timestamp"].get<std::string>().ends_with("Z")) << event.dump();
        EXPECT_TRUE(event.contains("state") && event.contains("sensor")) << event.dump();
    }

    const std::unique_ptr<e2e::ChildProcess> watcher = s_host->StartCtl({"watch", "--json"});
    ASSERT_TRUE(NextReading(*watcher));
    const e2e::RunResult change = s_host->Ctl({"sim", "probe", "interface", "temperature", "31.5"});
    ASSERT_EQ(change.exitCode, 0) << change.err;
    // The collector reads the probe at its next tick; the reporter hands it on at its own.
    bool followed = false;
    for (int i = 0; i < 5 && !followed; ++i) {
        const std::optional<nlohmann::json> reading = NextReading(*watcher);
        ASSERT_TRUE(reading);
        followed = std::abs((*reading)["temperature_celsius"].get<double>() - 31.5) <= kMapStep;
    }
    EXPECT_TRUE(followed) << "no reading of 31.5 degrees within five events";
    EXPECT_EQ(s_host->Ctl({"sim", "probe", "interface", "temperature", "25.0"}).exitCode, 0);
    watcher->Signal(SIGINT);
    EXPECT_EQ(watcher->Wait(e2e::kCommandTimeout), 0);
}

TEST_F(ReadingsTest, WatchInterval_EventsComeAboutThatOften)
{
    const e2e::RunResult watch = s_host->Ctl({"watch", "--interval", "200", "--count", "14", "--json"});
    ASSERT_EQ(watch.exitCode, 0) << watch.err;
    std::vector<double> seconds;
    for (const nlohmann::json& event : JsonLines(watch)) {
        if (event["event"] != "data-updated" || !event["timestamp"].is_string()) continue;
        // "YYYY-MM-DDTHH:MM:SS.mmmZ": the gaps are small, so minutes and seconds do.
        const std::string time = event["timestamp"].get<std::string>();
        seconds.push_back(std::stoi(time.substr(14, 2)) * 60 + std::stod(time.substr(17, 6)));
    }
    ASSERT_GE(seconds.size(), 10u);
    // A wait that was under way when the interval changed keeps the old one: skip the first gaps.
    std::vector<double> gaps;
    for (std::size_t i = 3; i < seconds.size(); ++i) {
        double gap = seconds[i] - seconds[i - 1];
        if (gap < 0) gap += 3600;
        gaps.push_back(gap * 1000);
    }
    std::sort(gaps.begin(), gaps.end());
    const double median = gaps[gaps.size() / 2];
    EXPECT_GT(median, 120.0);
    EXPECT_LT(median, 450.0);
}

TEST_F(ReadingsTest, KilledWatchClient_LeavesTheHostServingOthers)
{
    const std::unique_ptr<e2e::ChildProcess> victim = s_host->StartCtl({"watch", "--json"});
    ASSERT_TRUE(NextReading(*victim));
    SkipPrinted(*s_keeper);
    victim->Signal(SIGKILL);
    EXPECT_EQ(victim->Wait(e2e::kCommandTimeout), 128 + SIGKILL);

    const e2e::RunResult get = s_host->Ctl({"get", "--json"});
    ASSERT_EQ(get.exitCode, 0) << get.err;
    const std::vector<nlohmann::json> lines = JsonLines(get);
    ASSERT_EQ(lines.size(), 1u) << get.out;
    EXPECT_TRUE(lines[0]["temperature_celsius"].is_number()) << get.out;
    EXPECT_TRUE(NextReading(*s_keeper)) << "the keeper stopped receiving readings";
}

// A raw connection to the host, for frames no well-behaved client sends.
class RawConnection {
public:
    explicit RawConnection(const std::string& path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        m_connected = ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        timeval timeout{30, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    ~RawConnection() { ::close(m_fd); }

    bool Connected() const { return m_connected; }
    bool Send(const std::vector<std::uint8_t>& bytes)
    {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // The next frame's header and payload; false when the host closed the connection (or a hang).
    bool Receive(transport::FrameHeader* header, std::vector<std::uint8_t>* payload)
    {
        std::uint8_t bytes[transport::kFrameHeaderSize];
        if (!ReceiveExactly(bytes, sizeof(bytes)) || !transport::DecodeFrameHeader(bytes, header)) return false;
        payload->resize(header->length);
        return ReceiveExactly(payload->data(), payload->size());
    }
    // True when the host closed the connection (after any frames still on their way).
    bool ClosedByHost()
    {
        transport::FrameHeader header;
        std::vector<std::uint8_t> payload;
        while (Receive(&header, &payload)) {
        }
        std::uint8_t byte = 0;
        return ::recv(m_fd, &byte, 1, 0) == 0;
    }

private:
    bool ReceiveExactly(std::uint8_t* into, std::size_t size)
    {
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::recv(m_fd, into + got, size - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    int m_fd = -1;
    bool m_connected = false;
};

TEST_F(ReadingsTest, MalformedAndOversizedFrames_AreRefusedWithoutDisturbingAWatcher)
{
    SkipPrinted(*s_keeper);
    transport::FrameHeader header;
    std::vector<std::uint8_t> payload;
    {
        // A hello with a wrong magic: an error, then the host closes.
        RawConnection connection(s_host->Socket());
        ASSERT_TRUE(connection.Connected());
        std::vector<std::uint8_t> bytes;
        transport::AppendHelloFrame(&bytes, 1, {0x12345678, transport::kProtocolVersion});
        ASSERT_TRUE(connection.Send(bytes));
        ASSERT_TRUE(connection.Receive(&header, &payload));
        EXPECT_EQ(header.type, static_cast<std::uint16_t>(transport::FrameType::kError));
        EXPECT_TRUE(connection.ClosedByHost());
    }
    {
        // After a good hello: a frame of an unknown type and a control request too short for its
        // type are answered with errors and the connection stays; a length above the maximum is a
        // framing error that closes it.
        RawConnection connection(s_host->Socket());
        ASSERT_TRUE(connection.Connected());
        std::vector<std::uint8_t> bytes;
        transport::AppendHelloFrame(&bytes, 1, {});
        ASSERT_TRUE(connection.Send(bytes));
        ASSERT_TRUE(connection.Receive(&header, &payload));
        EXPECT_EQ(header.type, static_cast<std::uint16_t>(transport::FrameType::kHelloReply));

        bytes.clear();
        transport::AppendFrame(&bytes, static_cast<transport::FrameType>(99), 7, {});
        const std::uint8_t shortRequest[3] = {1, 2, 3};
        transport::AppendFrame(&bytes, transport::FrameType::kIoControl, 8, shortRequest);
        ASSERT_TRUE(connection.Send(bytes));
        for (std::uint32_t id : {7u, 8u}) {
            ASSERT_TRUE(connection.Receive(&header, &payload));
            EXPECT_EQ(header.type, static_cast<std::uint16_t>(transport::FrameType::kError));
            EXPECT_EQ(header.id, id);
        }

        bytes.clear();
        transport::AppendFrameHeader(&bytes, transport::FrameType::kIoControl, 9, transport::kMaxFramePayload + 1);
        ASSERT_TRUE(connection.Send(bytes));
        ASSERT_TRUE(connection.Receive(&header, &payload));
        EXPECT_EQ(header.type, static_cast<std::uint16_t>(transport::FrameType::kError));
        EXPECT_TRUE(connection.ClosedByHost());
    }
    // The watcher went on receiving readings, and the host serves new clients.
    EXPECT_TRUE(NextReading(*s_keeper));
    EXPECT_TRUE(NextReading(*s_keeper));
    EXPECT_EQ(s_host->Ctl({"props", "SENSOR_PROPERTY_MODEL"}).exitCode, 0);
}

}  // namespace
