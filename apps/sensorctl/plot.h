// watch --plot: a live view of a sensor's readings on a terminal, one block per sensor, redrawn in
// place with plain control sequences (cursor up, erase to the end of the line).
//
//   PlotSeries series(sensorId);
//   series.AddReading(reading);                 // a column of the sparkline
//   std::vector<std::string> lines = PlotLines(series, {}, 80, FileTimeNow(), 1000);
//
//   57E940BB-A3ED-491B-9722-A605392668E4-0  state ready (^ marks a change)
//   ▃▃▄▅▆▇█ ▇▆▅
//          ^
//   now 25.0 °C  min 24.5  mean 25.1  max 26.0  (10 readings; scale 24.5 to 26.0 °C)
//   last reading 2026-12-08T20:31:15.711Z, 0.4 s ago
//
// Each data event is one column: a reading is a bar scaled between the lowest and highest reading
// in the window (or --min/--max), an event without a reading and a change to any state but ready
// leave a blank column (a gap, never a bar of the lowest value), and a '^' below marks each state
// change. A reading older than twice the report interval is marked STALE.
//
// Thread safety: plain values, used by the watch's thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "sensorctl/value_format.h"

namespace sensorctl {

struct PlotScale {
    std::optional<double> min;  // none: the lowest reading in the window
    std::optional<double> max;  // none: the highest reading in the window
};

class PlotSeries {
public:
    explicit PlotSeries(std::string sensorId) : m_sensorId(std::move(sensorId)) {}

    void AddReading(const Reading& reading);
    // A data event without a reading; `state` is the sensor's state, which says why.
    void AddNoReading(ULONG state);
    void AddState(ULONG state);
    // A line under the block: the device was removed, the host was lost, it is back.
    void SetNote(std::string note) { m_note = std::move(note); }

    struct Column {
        std::optional<double> celsius;  // none: a gap
        bool stateChange = false;
    };
    const std::deque<Column>& Columns() const { return m_columns; }
    const std::string& SensorId() const { return m_sensorId; }
    std::optional<ULONG> State() const { return m_state; }
    const std::optional<Reading>& LastReading() const { return m_last; }
    const std::string& Note() const { return m_note; }

private:
    // Enough for the widest terminal; older columns are dropped.
    static constexpr std::size_t kMaxColumns = 1024;
    void Add(Column column);

    std::string m_sensorId;
    std::deque<Column> m_columns;
    std::optional<ULONG> m_state;
    std::optional<Reading> m_last;
    std::string m_note;
};

// The block's lines, none wider than `width` columns; `now` and `reportIntervalMs` give the last
// reading's age and whether it is stale.
std::vector<std::string> PlotLines(const PlotSeries& series, const PlotScale& scale, std::size_t width,
                                   const FILETIME& now, ULONG reportIntervalMs);

// Draws blocks on a terminal: the first time below what is there, then over the previous drawing.
// Hides the cursor while it draws, and shows it again when it goes.
class PlotScreen {
public:
    explicit PlotScreen(std::FILE* out) : m_out(out) {}
    ~PlotScreen();
    PlotScreen(const PlotScreen&) = delete;
    PlotScreen& operator=(const PlotScreen&) = delete;

    // False when the terminal could not be written (its reader went away).
    bool Draw(const std::vector<std::string>& lines);

private:
    std::FILE* m_out;
    std::size_t m_drawnLines = 0;
};

// The terminal's width in columns, or `fallback` when `fd` is no terminal or does not say.
std::size_t TerminalWidth(int fd, std::size_t fallback = 80);

}  // namespace sensorctl
