// The exporter's parts that need no host: the exposition text and its numbers, the command line,
// the pauses between attempts to reach the host, and the textfile's atomic write.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/sensorcx/sensor_class_extension.h"
#include "support/temp_dir.h"
#include "thermal-exporter/exporter_options.h"
#include "thermal-exporter/host_follower.h"
#include "thermal-exporter/metrics.h"
#include "thermal-exporter/textfile.h"

namespace {

using exporter::HostSnapshot;
using exporter::RenderMetrics;
using exporter::SensorSnapshot;

// The sample lines of a rendering (HELP and TYPE lines left out).
std::vector<std::string> Samples(const std::string& text)
{
    std::vector<std::string> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("#")) samples.push_back(line);
    }
    return samples;
}

SensorSnapshot ReadySensor()
{
    SensorSnapshot sensor;
    sensor.id = "S-0";
    sensor.manufacturer = "Maker";
    sensor.model = "Probe";
    sensor.serialNumber = "42";
    sensor.state = SENSOR_STATE_READY;
    sensor.radioState = 0;
    sensor.reading = exporter::Reading{31.5, 1796000000.25};
    sensor.readings = 7;
    return sensor;
}

TEST(ExporterMetrics, RenderMetrics_GivesEveryFamilyOfAReadySensor)
{
    HostSnapshot snapshot;
    snapshot.up = true;
    snapshot.eventsDropped = 3;
    snapshot.sensors.push_back(ReadySensor());
    const std::vector<std::string> expected = {
        "thermal_driver_up 1",
        "thermal_driver_temperature_celsius{sensor=\"S-0\"} 31.5",
        "thermal_driver_last_reading_timestamp_seconds{sensor=\"S-0\"} 1796000000.25",
        "thermal_driver_sensor_state{sensor=\"S-0\",state=\"ready\"} 1",
        "thermal_driver_sensor_state{sensor=\"S-0\",state=\"not_available\"} 0",
        "thermal_driver_sensor_state{sensor=\"S-0\",state=\"no_data\"} 0",
        "thermal_driver_sensor_state{sensor=\"S-0\",state=\"initializing\"} 0",
        "thermal_driver_sensor_state{sensor=\"S-0\",state=\"access_denied\"} 0",
        "thermal_driver_sensor_state{sensor=\"S-0\",state=\"error\"} 0",
        "thermal_driver_sensor_info{sensor=\"S-0\",manufacturer=\"Maker\",model=\"Probe\",serial_number=\"42\"} 1",
        "thermal_driver_radio_state{sensor=\"S-0\"} 0",
        "thermal_driver_readings_total{sensor=\"S-0\"} 7",
        "thermal_driver_events_dropped_total 3",
        "thermal_driver_exporter_build_info{version=\"1.2.3\"} 1",
    };
    EXPECT_EQ(Samples(RenderMetrics(snapshot, "1.2.3")), expected);
}

TEST(ExporterMetrics, RenderMetrics_LeavesOutWhatIsNotKnown)
{
    HostSnapshot down;
    EXPECT_EQ(Samples(RenderMetrics(down, "1")),
              (std::vector<std::string>{"thermal_driver_up 0", "thermal_driver_events_dropped_total 0",
                                        "thermal_driver_exporter_build_info{version=\"1\"} 1"}));

    HostSnapshot waking;
    waking.up = true;
    SensorSnapshot sensor = ReadySensor();
    sensor.reading.reset();
    sensor.state.reset();
    sensor.radioState.reset();
    waking.sensors.push_back(sensor);
    const std::string text = RenderMetrics(waking, "1");
    EXPECT_EQ(text.find("thermal_driver_temperature_celsius{"), std::string::npos);
    EXPECT_EQ(text.find("thermal_driver_last_reading_timestamp_seconds{"), std::string::npos);
    EXPECT_EQ(text.find("thermal_driver_sensor_state{"), std::string::npos);
    EXPECT_EQ(text.find("thermal_driver_radio_state{"), std::string::npos);
    EXPECT_NE(text.find("thermal_driver_sensor_info{"), std::string::npos);
    // Every family is announced once, whether it has samples or not.
    EXPECT_NE(text.find("# TYPE thermal_driver_temperature_celsius gauge\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE thermal_driver_readings_total counter\n"), std::string::npos);
}

TEST(ExporterMetrics, RenderMetrics_EscapesLabelValues)
{
    HostSnapshot snapshot;
    snapshot.up = true;
    SensorSnapshot sensor = ReadySensor();
    sensor.model = "a \"b\"\\c\nd";
    snapshot.sensors.push_back(sensor);
    EXPECT_NE(RenderMetrics(snapshot, "1").find(R"(model="a \"b\"\\c\nd")"), std::string::npos);
}

TEST(ExporterMetrics, ShortestDecimal_ReadsBackAsTheSameNumber)
{
    EXPECT_EQ(exporter::ShortestDecimal(25.0), "25");
    EXPECT_EQ(exporter::ShortestDecimal(1796000000.125), "1796000000.125");
    EXPECT_EQ(exporter::ShortestDecimal(0.1), "0.1");
    EXPECT_EQ(exporter::ShortestDecimal(31.1f), "31.1");
    EXPECT_EQ(exporter::ShortestDecimal(-40.25f), "-40.25");
    for (const double value : {1.0 / 3, 1e-300, 6.02214076e23, -273.15}) {
        EXPECT_EQ(std::strtod(exporter::ShortestDecimal(value).c_str(), nullptr), value) << value;
    }
}

TEST(ExporterOptions, ParseExporterOptions_TakesTheOptionsAndRefusesTheRest)
{
    struct Case {
        std::vector<std::string> words;
        std::optional<int> exitCode;  // none: run with the options
        const char* socket;           // when run: the socket, "" for the default
        std::uint16_t port;
        const char* textfile;
    };
    const Case cases[] = {
        {{}, std::nullopt, "", exporter::kDefaultPort, ""},
        {{"--socket", "/s", "--listen", "[::1]:80"}, std::nullopt, "/s", 80, ""},
        {{"--socket=/s", "--textfile=/t.prom"}, std::nullopt, "/s", exporter::kDefaultPort, "/t.prom"},
        {{"--help"}, 0, "", 0, ""},
        {{"--version"}, 0, "", 0, ""},
        {{"--socket"}, 2, "", 0, ""},
        {{"--bogus"}, 2, "", 0, ""},
        {{"-x"}, 2, "", 0, ""},
        {{"extra"}, 2, "", 0, ""},
        {{"--listen", "9763"}, 2, "", 0, ""},
        {{"--listen", "127.0.0.1:1", "--textfile", "/t"}, 2, "", 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words{"thermal-exporter"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        exporter::ExporterOptions options;
        const std::string said = words.size() > 1 ? words[1] : "(none)";
        EXPECT_EQ(exporter::ParseExporterOptions(static_cast<int>(words.size()), argv.data(), &options), c.exitCode)
            << said;
        if (c.exitCode) continue;
        EXPECT_EQ(options.socketGiven, c.socket[0] != '\0') << said;
        if (options.socketGiven) {
            EXPECT_EQ(options.socketPath, c.socket) << said;
        }
        EXPECT_EQ(options.listen.port, c.port) << said;
        EXPECT_EQ(options.textfile, c.textfile) << said;
    }
}

TEST(ExporterOptions, ParseListenAddress_TakesHostAndPortAndRefusesTheRest)
{
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"127.0.0.1:9763", true, "127.0.0.1", 9763},
        {"0.0.0.0:0", true, "0.0.0.0", 0},
        {"[::1]:80", true, "::1", 80},
        {"localhost:65535", true, "localhost", 65535},
        {"::1:80", false, "", 0},
        {":9763", false, "", 0},
        {"9763", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:", false, "", 0},
        {"host:9x", false, "", 0},
    };
    for (const Case& c : cases) {
        exporter::ListenAddress address;
        std::string why;
        EXPECT_EQ(exporter::ParseListenAddress(c.text, &address, &why), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address.host, c.host) << c.text;
            EXPECT_EQ(address.port, c.port) << c.text;
        } else {
            EXPECT_FALSE(why.empty()) << c.text;
        }
    }
}

TEST(ExporterBackoff, Next_DoublesUpToOneSecondAndResetStartsOver)
{
    using std::chrono::milliseconds;
    exporter::Backoff backoff;
    std::vector<milliseconds> pauses;
    for (int i = 0; i < 6; ++i) pauses.push_back(backoff.Next());
    EXPECT_EQ(pauses, (std::vector<milliseconds>{milliseconds(100), milliseconds(200), milliseconds(400),
                                                 milliseconds(800), milliseconds(1000), milliseconds(1000)}));
    backoff.Reset();
    EXPECT_EQ(backoff.Next(), milliseconds(100));
}

std::string Contents(const std::filesystem::path& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(ExporterTextfile, WriteFileAtomically_ReplacesTheFileOrLeavesItAsItWas)
{
    test_support::TempDir dir;
    const std::string path = (dir.path() / "thermal.prom").string();
    ASSERT_EQ(exporter::WriteFileAtomically(path, "first\n"), "");
    ASSERT_EQ(exporter::WriteFileAtomically(path, "second\n"), "");
    EXPECT_EQ(Contents(path), "second\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    // A path whose directory is missing: a reason, and nothing left behind.
    const std::string missing = (dir.path() / "no" / "thermal.prom").string();
    EXPECT_NE(exporter::WriteFileAtomically(missing, "x"), "");
    // A path that is a directory cannot be replaced: the directory stays, the temporary goes.
    std::filesystem::create_directory(dir.path() / "taken.prom");
    EXPECT_NE(exporter::WriteFileAtomically((dir.path() / "taken.prom").string(), "x"), "");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "taken.prom"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "taken.prom.tmp"));
}

}  // namespace
