// How sensorctl shows values, the age of a reading, and the plot's block.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/sensorcx/sensor_class_extension.h"
#include "sensorctl/plot.h"
#include "sensorctl/value_format.h"

namespace {

using sensorctl::Freshness;
using sensorctl::PlotLines;
using sensorctl::PlotSeries;
using ::testing::HasSubstr;
using ::testing::Not;

FILETIME At(std::int64_t ms)
{
    const auto ticks = static_cast<std::uint64_t>(133000000000000000ll + ms * 10000);
    return {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

sensorctl::Reading ReadingAt(std::int64_t ms, float celsius) { return {At(ms), celsius}; }

// Columns on the terminal: every glyph the block uses takes one.
std::size_t Columns(const std::string& text)
{
    std::size_t columns = 0;
    for (const char c : text) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return columns;
}

TEST(SensorctlView, ValueToText_FormatsEachTypeFromTheValue)
{
    struct Case {
        PROPVARIANT value;
        const char* text;
    };
    PROPVARIANT r4{}, r8{}, ui4{}, boolean{}, text{}, empty{};
    r4.vt = VT_R4;
    r8.vt = VT_R8;
    ui4.vt = VT_UI4;
    boolean.vt = VT_BOOL;
    text.vt = VT_LPWSTR;
    r4.fltVal = 25.0f;
    r8.dblVal = 29.5;
    ui4.ulVal = 1000;
    boolean.boolVal = VARIANT_TRUE;
    text.pwszVal = const_cast<LPWSTR>(u"QAR Corporation");
    const Case cases[] = {{r4, "25.0"}, {r8, "29.5"},           {ui4, "1000"},
                          {boolean, "true"}, {text, "QAR Corporation"}, {empty, "(empty)"}};
    for (const Case& c : cases) EXPECT_EQ(sensorctl::ValueToText(c.value), c.text) << c.text;
    EXPECT_EQ(sensorctl::FloatText(25.1f), "25.1");
}

TEST(SensorctlView, FreshnessOf_IsStaleOnlyBeyondTwiceTheReportInterval)
{
    struct Case {
        std::int64_t ageMs;
        ULONG intervalMs;
        std::int64_t shownAge;
        bool stale;
    };
    const Case cases[] = {{2000, 1000, 2000, false}, {2001, 1000, 2001, true}, {50000, 0, 50000, false},
                          {-30, 100, 0, false}};
    for (const Case& c : cases) {
        const Freshness freshness = sensorctl::FreshnessOf(At(0), At(c.ageMs), c.intervalMs);
        EXPECT_EQ(freshness.ageMs, c.shownAge) << c.ageMs;
        EXPECT_EQ(freshness.stale, c.stale) << c.ageMs;
    }
}

TEST(SensorctlView, PlotLines_ScaleGapsStateMarksAndStatistics)
{
    PlotSeries series("S-0");
    series.AddState(SENSOR_STATE_READY);  // the state it was found in: no mark
    for (const float celsius : {20.0f, 25.0f, 30.0f}) series.AddReading(ReadingAt(0, celsius));
    series.AddNoReading(SENSOR_STATE_NOT_AVAILABLE);
    series.AddState(SENSOR_STATE_NOT_AVAILABLE);
    series.AddReading(ReadingAt(1000, 25.0f));

    const auto lines = PlotLines(series, {}, 80, At(1500), 1000);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_THAT(lines[0], HasSubstr("S-0  state not-available"));
    EXPECT_EQ(lines[1], "▁▅█  ▅");  // the gaps are blank, never a lowest bar
    EXPECT_EQ(lines[2], "    ^");
    EXPECT_THAT(lines[3], HasSubstr("now 25.0 °C  min 20.0  mean 25.0  max 30.0  (4 readings; scale 20.0 to 30.0"));
    EXPECT_THAT(lines[4], HasSubstr("500 ms ago"));
    EXPECT_THAT(lines[4], Not(HasSubstr("STALE")));
    EXPECT_THAT(PlotLines(series, {}, 80, At(3001), 1000)[4], HasSubstr("STALE"));

    // A fixed scale puts readings beyond it at its ends.
    EXPECT_EQ(PlotLines(series, {0.0, 10.0}, 80, At(1500), 1000)[1], "███  █");
}

TEST(SensorctlView, PlotLines_ShowTheLatestReadingsThatFitTheWidth)
{
    PlotSeries series("A-SENSOR-WITH-A-LONG-NAME-0");
    for (int i = 0; i < 50; ++i) series.AddReading(ReadingAt(i, static_cast<float>(i)));
    const auto lines = PlotLines(series, {}, 20, At(60), 1000);
    for (const std::string& line : lines) EXPECT_LE(Columns(line), 20u) << line;
    EXPECT_EQ(Columns(lines[1]), 20u);
    EXPECT_THAT(lines[3], HasSubstr("now 49.0 °C  min 30."));  // over the window shown
}

}  // namespace
