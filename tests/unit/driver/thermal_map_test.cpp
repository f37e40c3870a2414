#include "acquisition/thermal_map.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "platform/win32_error.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "sim/power_source.h"
#include "sim/windows_directory.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using platform::testing::FailCall;
using platform::testing::ScopedFaults;
using platform::testing::ScopedVirtualClock;

constexpr double kNoReading = CThermalMap::kNoReading;

// A fresh machine for each test: a virtual clock whose reads advance it (so the 5-second settling
// wait ends), mains power, and an empty temporary Windows directory with its UMDF folder.
class ThermalMapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_windows.path() / "system32" / "drivers" / "UMDF");
        sim::SetWindowsDirectory(m_windows.path().string());
        sim::SetAcLineStatus(sim::kAcOnline);
    }
    void TearDown() override
    {
        sim::SetAcLineStatus(m_previousAcLine);
        sim::SetWindowsDirectory(m_previousWindows);
    }

    fs::path MapFile(const char* name) const { return m_windows.path() / "system32" / "drivers" / "UMDF" / name; }
    void WriteFile(const char* name, const std::string& bytes) const
    {
        std::ofstream(MapFile(name), std::ios::binary) << bytes;
    }
    void WriteAcFile(const std::string& bytes) const { WriteFile("ThermalMap_AC.ini", bytes); }
    void WriteDcFile(const std::string& bytes) const { WriteFile("ThermalMap_DC.ini", bytes); }

    // What a caller reads: the output preset to the no-reading sentinel, then the lookup.
    static double Read(const CThermalMap& map, int key)
    {
        double out = kNoReading;
        map.Lookup(key, &out);
        return out;
    }

    // The parser's view of some bytes, read as a stream.
    static std::map<int, double> Parse(std::string bytes)
    {
        std::map<int, double> map;
        if (bytes.empty()) return map;
        std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "r");
        CThermalMap::ReadMapStream(stream, map);
        std::fclose(stream);
        return map;
    }

    ScopedVirtualClock m_clock{1ms};
    ScopedFaults m_faults;
    test_support::TempDir m_windows;
    std::string m_previousWindows = sim::WindowsDirectory();
    std::uint8_t m_previousAcLine = sim::AcLineStatus();
};

// ---- The default map ------------------------------------------------------------------------

TEST_F(ThermalMapTest, DefaultMap_GivesTheTellingRows)
{
    const CThermalMap map;
    for (int key = 0; key <= 62; ++key) EXPECT_EQ(Read(map, key), 105.0) << key;
    for (int key = 980; key <= 1022; ++key) EXPECT_EQ(Read(map, key), -15.0) << key;
    const std::map<int, double> rows = {
        {63, 104.5}, {64, 104.0}, {65, 103.5},  {66, 103.0},  {67, 102.0}, {77, 97.0},  {78, 96.7},
        {79, 96.3},  {80, 96.0},  {100, 88.0},  {150, 74.0},  {200, 64.2}, {250, 56.4}, {300, 50.0},
        {350, 44.4}, {388, 40.5}, {389, 40.5},  {400, 39.4},  {450, 34.7}, {500, 30.3}, {550, 26.1},
        {600, 22.0}, {650, 17.8}, {700, 13.8},  {750, 9.5},   {800, 5.1},  {850, 0.4},  {853, 0.1},
        {854, 0.0},  {855, -0.1}, {900, -4.9},  {950, -10.9}, {979, -14.9}};
    for (const auto& [key, celsius] : rows) EXPECT_EQ(Read(map, key), celsius) << key;
    for (const int key : {1023, -1, 5000, INT_MIN, INT_MAX}) EXPECT_EQ(Read(map, key), kNoReading) << key;
}

TEST_F(ThermalMapTest, DefaultMap_FollowsTheShapeOfTheCurve)
{
    const CThermalMap map;
    // Values in tenths of a degree; each one must be a whole number of tenths.
    std::vector<long> tenths;
    for (int key = 0; key <= 1022; ++key) {
        const double celsius = Read(map, key);
        ASSERT_NE(celsius, kNoReading) << key;
        ASSERT_NEAR(celsius * 10.0, std::round(celsius * 10.0), 1e-9) << key;
        tenths.push_back(std::lround(celsius * 10.0));
    }
    EXPECT_EQ(tenths.front(), 1050);
    EXPECT_EQ(tenths.back(), -150);

    // The step of key k is the value at k-1 minus the value at k; allowed steps per range, in tenths.
    struct Range {
        int first, last, minStep, maxStep;
    };
    const Range ranges[] = {{1, 62, 0, 0},    {63, 77, 5, 10},  {78, 100, 3, 5},  {101, 150, 2, 4},
                            {151, 369, 1, 3}, {370, 849, 0, 1}, {850, 980, 1, 2}, {981, 1022, 0, 0}};
    std::vector<int> repeats;
    for (const Range& range : ranges) {
        for (int key = range.first; key <= range.last; ++key) {
            const long step = tenths[key - 1] - tenths[key];
            EXPECT_GE(step, range.minStep) << key;
            EXPECT_LE(step, range.maxStep) << key;
            if (range.first == 63 && step != 5) {
                EXPECT_EQ(key, 67) << "the one 1.0 step is 66 to 67";
            }
            if (range.first == 370 && step == 0) repeats.push_back(key);
        }
    }
    EXPECT_EQ(tenths[66] - tenths[67], 10);

    // 61 repeats in 370..849: 389; every 11 keys from 420 to 464; every 4 to 8 keys up to 785;
    // every 11 keys to 818; and 849.
    ASSERT_EQ(repeats.size(), 61u);
    EXPECT_EQ(repeats.front(), 389);
    EXPECT_EQ(repeats.back(), 849);
    EXPECT_EQ(std::vector<int>(repeats.begin() + 1, repeats.begin() + 6), (std::vector<int>{420, 431, 442, 453, 464}));
    EXPECT_EQ(std::vector<int>(repeats.end() - 5, repeats.end() - 1), (std::vector<int>{785, 796, 807, 818}));
    for (std::size_t i = 5; repeats[i] < 785; ++i) {
        EXPECT_GE(repeats[i + 1] - repeats[i], 4) << repeats[i];
        EXPECT_LE(repeats[i + 1] - repeats[i], 8) << repeats[i];
    }
}

// ---- Choosing a map -------------------------------------------------------------------------

TEST_F(ThermalMapTest, Lookup_ChoosesTheMapByTheAcLineStatus)
{
    WriteAcFile("100=1.5\n");
    WriteDcFile("100=2.5\n");
    const CThermalMap map;
    const struct {
        std::uint8_t acLine;
        double celsius;
    } cases[] = {{sim::kAcOnline, 1.5}, {sim::kAcOffline, 2.5}, {sim::kAcUnknown, 88.0}, {2, 88.0}};
    for (const auto& c : cases) {
        sim::SetAcLineStatus(c.acLine);
        EXPECT_EQ(Read(map, 100), c.celsius) << int{c.acLine};
    }
}

TEST_F(ThermalMapTest, Lookup_FollowsAPowerSwitchWithoutReload)
{
    WriteDcFile("67 = 50.0\n");
    sim::SetAcLineStatus(sim::kAcOffline);
    const CThermalMap map;
    EXPECT_EQ(Read(map, 67), 50.0);
    EXPECT_EQ(Read(map, 66), kNoReading);  // no fallback to the default map for a missing key
    sim::SetAcLineStatus(sim::kAcOnline);
    EXPECT_EQ(Read(map, 67), 102.0);
    sim::SetAcLineStatus(sim::kAcOffline);
    EXPECT_EQ(Read(map, 67), 50.0);
}

TEST_F(ThermalMapTest, Lookup_WritesNothingWhenThePowerStatusCannotBeRead)
{
    const CThermalMap map;
    FailCall("GetSystemPowerStatus", 1, ERROR_GEN_FAILURE);
    double out = 12.25;
    map.Lookup(67, &out);
    EXPECT_EQ(out, 12.25);
    EXPECT_EQ(Read(map, 67), 102.0);  // the next lookup reads the status again
}

TEST_F(ThermalMapTest, LoadMapFiles_FallsBackToTheDefaultMapForMissingOrCommentOnlyFiles)
{
    WriteAcFile("# only a comment\n   # another\n\n  \n");
    const CThermalMap map;
    EXPECT_EQ(Read(map, 67), 102.0);
    sim::SetAcLineStatus(sim::kAcOffline);  // no DC file at all
    EXPECT_EQ(Read(map, 67), 102.0);
}

// ---- Loads and clears -----------------------------------------------------------------------

TEST_F(ThermalMapTest, ClearMaps_LeavesNoReadingForEveryKeyUntilTheNextLoad)
{
    WriteAcFile("5000=1.0\n");
    WriteDcFile("5000=2.0\n");
    CThermalMap map;
    map.ClearMaps();
    for (const std::uint8_t acLine : {sim::kAcOnline, sim::kAcOffline, sim::kAcUnknown}) {
        sim::SetAcLineStatus(acLine);
        for (int key = -1; key <= 1023; ++key) ASSERT_EQ(Read(map, key), kNoReading) << key;
        EXPECT_EQ(Read(map, 5000), kNoReading);
    }
    sim::SetAcLineStatus(sim::kAcOnline);
    EXPECT_EQ(map.LoadMaps(), 1);
    EXPECT_EQ(Read(map, 5000), 1.0);
    sim::SetAcLineStatus(sim::kAcUnknown);
    EXPECT_EQ(Read(map, 67), 102.0);
}

TEST_F(ThermalMapTest, LoadMapFiles_ReplacesAMapOnlyWhenItsFileOpens)
{
    WriteAcFile("1=1\n2=2\n");
    CThermalMap map;
    WriteAcFile("2=20\n3=30\n");
    EXPECT_EQ(map.LoadMapFiles(), 1);
    EXPECT_EQ(Read(map, 1), kNoReading);
    EXPECT_EQ(Read(map, 2), 20.0);

    // A file that is gone leaves the entries of the last load.
    fs::remove(MapFile("ThermalMap_AC.ini"));
    map.LoadMapFiles();
    EXPECT_EQ(Read(map, 3), 30.0);
    // After a clear nothing is left to keep, and the default map answers.
    map.ClearMaps();
    map.LoadMaps();
    EXPECT_EQ(Read(map, 3), 105.0);
}

TEST_F(ThermalMapTest, SpinWait_TakesTheGivenSecondsOfTheCounter)
{
    const auto before = m_clock.Elapsed();
    CThermalMap::SpinWait(5);
    const auto waited = m_clock.Elapsed() - before;
    EXPECT_GE(waited, 5s);
    EXPECT_LE(waited, 5s + 2ms);  // the counter moves 1 ms per read

    const auto beforeLoad = m_clock.Elapsed();
    const CThermalMap map;  // the first load waits too
    EXPECT_GE(m_clock.Elapsed() - beforeLoad, 5s);
}

// ---- Reading map files ----------------------------------------------------------------------

TEST_F(ThermalMapTest, ReadMapStream_TakesTheExampleLineByLine)
{
    const struct {
        const char* line;
        std::map<int, double> after;
    } lines[] = {
        {"# thermal map of the probe", {}},
        {"  100 = 25.5  # room", {{100, 25.5}}},
        {"100=30", {{100, 25.5}}},
        {"abc", {{100, 25.5}}},
        {"=7", {{0, 7.0}, {100, 25.5}}},
        {"200=", {{0, 7.0}, {100, 25.5}, {200, 0.0}}},
        {"0x10=9", {{0, 7.0}, {100, 25.5}, {200, 0.0}}},
    };
    std::string file;
    for (const auto& step : lines) {
        file += std::string(step.line) + "\n";
        EXPECT_EQ(Parse(file), step.after) << step.line;
    }

    WriteAcFile(file);
    const CThermalMap map;
    EXPECT_EQ(Read(map, 100), 25.5);
    EXPECT_EQ(Read(map, 0), 7.0);
    EXPECT_EQ(Read(map, 200), 0.0);
    EXPECT_EQ(Read(map, 101), kNoReading);
    EXPECT_EQ(Read(map, 67), kNoReading);
}

TEST_F(ThermalMapTest, LoadMapFiles_ReadsCrLfLikeLf)
{
    WriteAcFile("# note\r\n  100 = 25.5  # room\r\n=7\r\n200=\r\n300 = 1.25\r\n400=4");
    const CThermalMap map;
    EXPECT_EQ(Read(map, 100), 25.5);
    EXPECT_EQ(Read(map, 0), 7.0);
    EXPECT_EQ(Read(map, 200), 0.0);
    EXPECT_EQ(Read(map, 300), 1.25);
    EXPECT_EQ(Read(map, 400), 4.0);  // a last line without a line end counts
}

TEST_F(ThermalMapTest, ReadMapStream_ConvertsAsAtoiAndAtofDo)
{
    const std::map<int, double> expected = {
        {100, 25.5},       // "100\t= 25.5": the key stops at the tab
        {7, 1.0},          // "\t7 =1": the tab stays after trimming, the conversion skips it
        {8, 3.5},          // "8 = \t3.5xyz"
        {-12, 0.5},        // "-12 = +.5"
        {INT_MAX, 1e300},  // "2147483648 = 1e300": clamped
        {INT_MIN, -2.0},   // "-99999999999999999999 = -2": clamped
        {9, 0.0},          // "9 = abc"
        {10, 2.0},         // "10 = 2 = 3": the first '=' splits
        {0, 5.0},          // "zz=5"
    };
    EXPECT_EQ(Parse("100\t= 25.5\n\t7 =1\n8 = \t3.5xyz\n-12 = +.5\n2147483648 = 1e300\n-99999999999999999999 = -2\n"
                    "9 = abc\n10 = 2 = 3\nzz=5\n99999999999 = 6\n"),
              expected);

    const auto extremes = Parse("1 = 1e999\n2 = -1e999\n3 = 1e-999\n4 = nan\n");
    EXPECT_EQ(extremes.at(1), std::numeric_limits<double>::infinity());
    EXPECT_EQ(extremes.at(2), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(extremes.at(3), 0.0);
    EXPECT_TRUE(std::isnan(extremes.at(4)));
}

TEST_F(ThermalMapTest, LoadMapFiles_SurvivesBinaryBytesNulsAndHugeLines)
{
    std::string file;
    file += std::string("\xff\xfe\x01\x02\x80\n", 6);  // no '=': skipped
    file += std::string("\x80\x81=3\n", 5);            // key 0
    file += std::string("12\0" "34=5\n", 8);           // the NUL ends the key: 12
    file += std::string("13=\0" "9\n", 6);             // the NUL ends the value: 0.0
    file += std::string(4 << 20, '#') + "\n";          // a 4 MB comment
    file += std::string(2 << 20, '1') + "=" + std::string(2 << 20, '2') + "\n";  // 2 MB numbers
    file += std::string(3 << 20, ' ') + "14 = 6" + std::string(1 << 20, ' ') + "\n";
    file += std::string(2 << 20, 'x') + "\n";  // a 2 MB line without '='
    file += "15=7";
    WriteAcFile(file);

    const CThermalMap map;
    EXPECT_EQ(Read(map, 0), 3.0);
    EXPECT_EQ(Read(map, 12), 5.0);
    EXPECT_EQ(Read(map, 13), 0.0);
    EXPECT_EQ(Read(map, INT_MAX), std::numeric_limits<double>::infinity());
    EXPECT_EQ(Read(map, 14), 6.0);
    EXPECT_EQ(Read(map, 15), 7.0);
    EXPECT_EQ(Read(map, 34), kNoReading);
}

}  // namespace
