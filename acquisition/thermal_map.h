// The thermal map: turns a raw sensor code into degrees Celsius.
//
// It holds three maps from a signed 32-bit key to a temperature: the AC map, read from
// ThermalMap_AC.ini, the DC map, read from ThermalMap_DC.ini (both in system32\drivers\UMDF below
// the Windows directory), and the default map, built from the built-in table. Each lookup asks for
// the live power status and uses the AC map on mains power, the DC map on battery, when that map
// loaded entries, and the default map otherwise. Only an exact key match gives a temperature.
//
// A map file holds lines of "key = value". '#' starts a comment; spaces around the key, the '='
// and the value are dropped; lines without '=' are ignored. The key converts as atoi does (values
// beyond the 32-bit range clamp to its limits), the value as atof does, and the first line with a
// key wins.
//
// Ownership and thread safety: the object owns its maps. It has no lock: LoadMaps, ClearMaps and
// Lookup must never overlap, which the owner guarantees (loads and clears happen while no lookup
// can run). The process-wide Windows directory buffer is filled by the first load, at module load,
// before any other thread exists.
#pragma once

#include <cstdio>
#include <map>

class CThermalMap {
public:
    // The reading that stands for "no temperature".
    static constexpr double kNoReading = -1024.0;

    // Makes the maps empty, then loads them (LoadMaps), which takes at least 5 seconds.
    CThermalMap();
    ~CThermalMap() = default;
    CThermalMap(const CThermalMap&) = delete;
    CThermalMap& operator=(const CThermalMap&) = delete;

    // Waits 5 seconds for the hardware to settle, builds the default map, then reads both map
    // files. Returns 1.
    int LoadMaps();
    // Sets every entry of the built-in table in the default map, overwriting existing entries.
    void BuildDefaultMap();
    // Reads ThermalMap_AC.ini into the AC map and ThermalMap_DC.ini into the DC map. A file that
    // cannot be opened leaves its map as it was; one that opens replaces its map's entries. Then
    // sets the loaded flags from what the maps hold. Returns 1.
    int LoadMapFiles();
    // Empties all three maps; the loaded flags keep their values, so every lookup gives
    // kNoReading until the next LoadMaps.
    void ClearMaps();

    // Writes the temperature of `key` to *out, or kNoReading when the chosen map has no such key.
    // When the power status cannot be read it writes nothing (an error trace records why): the
    // caller must preset *out to kNoReading so that such a lookup reads as no reading.
    void Lookup(int key, double* out) const;

    // Returns after at least `seconds` seconds of the performance counter, busy waiting.
    static void SpinWait(int seconds);

    // Reads map lines from `stream` to its end (or its first read error) into `map`, adding each
    // key that is not present yet. The stream stays open and is the caller's.
    static void ReadMapStream(std::FILE* stream, std::map<int, double>& map);

private:
    std::map<int, double> m_acMap;
    std::map<int, double> m_dcMap;
    std::map<int, double> m_defaultMap;
    int m_iAcLoaded = 0;
    int m_iDcLoaded = 0;
};
