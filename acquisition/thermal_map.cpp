#include "acquisition/thermal_map.h"

#include <cstdlib>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "base/trace.h"
#include "platform/crt/stdio.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/power.h"
#include "platform/kernel/system_info.h"
#include "platform/kernel/time.h"

TRACE_COMPONENT("{CCBF6FDC-BCEC-4312-8849-3EB303E76E8C}");

namespace {

// Degrees Celsius of raw keys 0 to 1022.
constexpr double kDefaultThermalTable[] = {
#include "data/default_thermal_table.inc"
};
static_assert(std::size(kDefaultThermalTable) == 1023);

constexpr char kAcMapFileSuffix[] = "\\system32\\drivers\\UMDF\\ThermalMap_AC.ini";
constexpr char kDcMapFileSuffix[] = "\\system32\\drivers\\UMDF\\ThermalMap_DC.ini";

// The Windows directory, read once per process by the first load (at module load, before any other
// thread runs) and never refreshed. Empty while the read has not happened or failed.
char g_szWindowsDirectory[MAX_PATH];

std::string_view TrimSpaces(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// As atoi: white space, a sign and decimal digits; no digits gives 0, and values beyond the 32-bit
// range clamp to its limits (strtol saturates instead of overflowing).
int ConvertKey(std::string_view text)
{
    const std::string terminated(text);
    const long value = std::strtol(terminated.c_str(), nullptr, 10);
    if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

// As atof: white space, then the longest prefix that forms a number; none gives 0.0.
double ConvertValue(std::string_view text)
{
    const std::string terminated(text);
    return std::strtod(terminated.c_str(), nullptr);
}

// One line without its LF: "key = value", with an optional comment.
void AddMapLine(std::string_view line, std::map<int, double>& map)
{
    line = TrimSpaces(line.substr(0, line.find('#')));
    if (line.empty()) return;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    const int key = ConvertKey(TrimSpaces(line.substr(0, equals)));
    const double value = ConvertValue(TrimSpaces(line.substr(equals + 1)));
    map.try_emplace(key, value);
}

void ReadMapFile(const char* path, std::map<int, double>& map)
{
    std::FILE* stream = _fsopen(path, "r", _SH_DENYNO);
    if (stream == nullptr) return;
    if (!map.empty()) map.clear();
    CThermalMap::ReadMapStream(stream, map);
    std::fclose(stream);
}

}  // namespace

CThermalMap::CThermalMap() { LoadMaps(); }

int CThermalMap::LoadMaps()
{
    SpinWait(5);
    BuildDefaultMap();
    LoadMapFiles();
    return 1;
}

void CThermalMap::BuildDefaultMap()
{
    for (int key = 0; key < static_cast<int>(std::size(kDefaultThermalTable)); ++key) {
        m_defaultMap[key] = kDefaultThermalTable[key];
    }
}

int CThermalMap::LoadMapFiles()
{
    if (g_szWindowsDirectory[0] == '\0') {
        GetSystemWindowsDirectoryA(g_szWindowsDirectory, MAX_PATH);
    }
    const std::string acPath = std::string(g_szWindowsDirectory) + kAcMapFileSuffix;
    const std::string dcPath = std::string(g_szWindowsDirectory) + kDcMapFileSuffix;

    ReadMapFile(acPath.c_str(), m_acMap);
    ReadMapFile(dcPath.c_str(), m_dcMap);

    m_iAcLoaded = m_acMap.empty() ? 0 : 1;
    m_iDcLoaded = m_dcMap.empty() ? 0 : 1;
    TRACE_INFO(12, static_cast<int>(m_acMap.size()), static_cast<int>(m_dcMap.size()));
    return 1;
}

void CThermalMap::ReadMapStream(std::FILE* stream, std::map<int, double>& map)
{
    try {
        std::string line;
        for (;;) {
            line.clear();
            int c;
            while ((c = std::getc(stream)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
            if (c == EOF && line.empty()) break;
            AddMapLine(line, map);
            if (c == EOF) break;
        }
    } catch (const std::bad_alloc&) {
        // A line or map too large for memory ends the file, as a read error does.
        TRACE_ERROR(13, static_cast<int>(map.size()));
    }
}

void CThermalMap::ClearMaps()
{
    m_acMap.clear();
    m_dcMap.clear();
    m_defaultMap.clear();
}

void CThermalMap::Lookup(int key, double* out) const
{
    SYSTEM_POWER_STATUS status{};
    if (!GetSystemPowerStatus(&status)) {
        TRACE_ERROR(10, GetLastError());
        return;
    }

    const std::map<int, double>* map = &m_defaultMap;
    const char* mapName = "default";
    if (status.ACLineStatus == AC_LINE_ONLINE && m_iAcLoaded == 1) {
        map = &m_acMap;
        mapName = "AC";
    } else if (status.ACLineStatus == AC_LINE_OFFLINE && m_iDcLoaded == 1) {
        map = &m_dcMap;
        mapName = "DC";
    }
    TRACE_VERBOSE(11, mapName, static_cast<int>(status.ACLineStatus));

    const auto entry = map->find(key);
    *out = entry != map->end() ? entry->second : kNoReading;
}

void CThermalMap::SpinWait(int seconds)
{
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (seconds <= 0) return;
    LARGE_INTEGER now{};
    do {
        QueryPerformanceCounter(&now);
    } while (static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) < seconds);
}
