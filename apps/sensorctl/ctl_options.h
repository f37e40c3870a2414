// sensorctl's command line.
//
//   sensorctl::CtlOptions options;
//   if (std::optional<int> exitCode = sensorctl::ParseCtlOptions(argc, argv, &options)) return *exitCode;
//
// Thread safety: plain values, parsed once by main.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sensorctl {

enum class Command { kList, kProps, kGet, kWatch, kRadioGet, kRadioSet, kSim, kTrace };

struct CtlOptions {
    Command command = Command::kList;
    std::string socketPath;
    bool socketGiven = false;  // --socket was given: trusted as given; the default must be served by
                               // this user or root
    bool json = false;
    bool valueOnly = false;          // get, watch --format value: one number per reading, nothing else
    std::string sensorId;            // empty: the first sensor the host lists
    std::vector<std::string> keys;   // props: the keys to show (all when empty)
    unsigned timeoutSeconds = 30;    // get: how long to wait for the sensor to become ready
    std::optional<std::uint32_t> intervalMs;  // watch: the report interval to ask for
    std::optional<std::uint64_t> count;       // watch: stop after this many readings
    bool passive = false;            // watch: subscribe without connecting (the device may idle)
    bool follow = false;             // watch: wait for a removed device or a lost host, then go on
    bool plot = false;               // watch: a live view on the terminal
    std::optional<double> plotMin;   // watch --plot: the scale's ends (none: from the readings)
    std::optional<double> plotMax;
    bool previous = false;           // radio: the previous radio state instead of the radio state
    std::int32_t radioValue = 0;     // radio set
    std::vector<std::string> simWords;
    std::uint8_t traceLevel = 3;     // trace: 1 error ... 4 verbose
};

// Parses the command line into *options. Returns the exit code when the program should stop now
// (--help: 0; a usage error, already reported on standard error: 2), else nothing.
std::optional<int> ParseCtlOptions(int argc, char** argv, CtlOptions* options);

}  // namespace sensorctl
