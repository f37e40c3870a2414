#include "sensorctl/plot.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/sensorcx/sensor_class_extension.h"

namespace sensorctl {
namespace {

// Eight heights of a bar, lowest first.
constexpr const char* kBars[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
constexpr char kGap = ' ';
constexpr char kStateMark = '^';

std::string Degrees(double celsius)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", celsius);
    return text;
}

// The text cut to `width` columns; every character it holds takes one column.
std::string Fit(const std::string& text, std::size_t width)
{
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte takes no column of its own
        if (columns++ == width) return text.substr(0, i);
    }
    return text;
}

std::string RightTrimmed(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

}  // namespace

void PlotSeries::Add(Column column)
{
    m_columns.push_back(column);
    if (m_columns.size() > kMaxColumns) m_columns.pop_front();
}

void PlotSeries::AddReading(const Reading& reading)
{
    if (!reading.celsius) return;
    m_last = reading;
    Add({*reading.celsius, false});
}

void PlotSeries::AddNoReading(ULONG state)
{
    m_state = state;
    Add({std::nullopt, false});
}

void PlotSeries::AddState(ULONG state)
{
    const bool first = !m_state;
    m_state = state;
    if (first && state == SENSOR_STATE_READY) return;  // the state it was found in is no change
    Add({std::nullopt, true});
}

std::vector<std::string> PlotLines(const PlotSeries& series, const PlotScale& scale, std::size_t width,
                                   const FILETIME& now, ULONG reportIntervalMs)
{
    width = std::max<std::size_t>(width, 20);
    std::vector<std::string> lines;
    lines.push_back(series.SensorId() + "  state " +
                    (series.State() ? SensorStateName(*series.State()) : std::string("unknown")) +
                    "  (' ' no reading, ^ state change)");

    const auto& columns = series.Columns();
    const std::size_t shown = std::min(columns.size(), width);
    const auto first = columns.end() - static_cast<std::ptrdiff_t>(shown);
    std::vector<double> readings;
    for (auto it = first; it != columns.end(); ++it) {
        if (it->celsius) readings.push_back(*it->celsius);
    }
    double low = scale.min.value_or(readings.empty() ? 0.0 : *std::min_element(readings.begin(), readings.end()));
    double high = scale.max.value_or(readings.empty() ? 0.0 : *std::max_element(readings.begin(), readings.end()));
    if (high < low) std::swap(low, high);

    std::string bars;
    std::string marks;
    for (auto it = first; it != columns.end(); ++it) {
        if (!it->celsius) {
            bars += kGap;
        } else {
            // A flat window sits at mid height; values beyond a fixed scale at its ends.
            const double position = high > low ? (*it->celsius - low) / (high - low) : 0.5;
            const auto level = static_cast<std::size_t>(std::clamp(position, 0.0, 1.0) * 7.0 + 0.5);
            bars += kBars[level];
        }
        marks += it->stateChange ? kStateMark : ' ';
    }
    lines.push_back(columns.empty() ? "(waiting for the first reading)" : bars);
    lines.push_back(RightTrimmed(marks));

    const std::optional<Reading>& last = series.LastReading();
    if (readings.empty()) {
        lines.push_back("no reading in the window");
    } else {
        double sum = 0;
        for (const double value : readings) sum += value;
        const bool gapLast = !columns.back().celsius;
        lines.push_back("now " + (gapLast ? std::string("no reading") : Degrees(*columns.back().celsius) + " °C") +
                        "  min " + Degrees(*std::min_element(readings.begin(), readings.end())) + "  mean " +
                        Degrees(sum / static_cast<double>(readings.size())) + "  max " +
                        Degrees(*std::max_element(readings.begin(), readings.end())) + "  (" +
                        std::to_string(readings.size()) + " readings; scale " + Degrees(low) + " to " +
                        Degrees(high) + " °C)");
    }
    if (last && last->timestamp) {
        const Freshness freshness = FreshnessOf(*last->timestamp, now, reportIntervalMs);
        std::string line = "last reading " + FileTimeToIso(*last->timestamp) + ", " + AgeText(freshness.ageMs) + " ago";
        if (freshness.stale) {
            line += "  STALE: older than twice the report interval (" + std::to_string(freshness.intervalMs) + " ms)";
        }
        lines.push_back(line);
    } else {
        lines.push_back("no reading yet");
    }
    if (!series.Note().empty()) lines.push_back(series.Note());
    for (std::string& line : lines) line = Fit(line, width);
    return lines;
}

PlotScreen::~PlotScreen()
{
    std::fputs("\x1b[?25h", m_out);
    std::fflush(m_out);
}

bool PlotScreen::Draw(const std::vector<std::string>& lines)
{
    std::string frame = "\x1b[?25l";
    if (m_drawnLines != 0) frame += "\x1b[" + std::to_string(m_drawnLines) + "A";
    frame += "\r";
    for (const std::string& line : lines) frame += line + "\x1b[K\n";
    frame += "\x1b[J";  // a block that shrank leaves nothing below it
    m_drawnLines = lines.size();
    errno = 0;
    std::fwrite(frame.data(), 1, frame.size(), m_out);
    return std::fflush(m_out) == 0 && !std::ferror(m_out);
}

std::size_t TerminalWidth(int fd, std::size_t fallback)
{
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return fallback;
    return size.ws_col;
}

}  // namespace sensorctl
