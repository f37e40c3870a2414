// The cold first reading: how long a sensorctl client takes from its start to its first reading
// when the device idled before it, so that its connect wakes the device and acquisition settles.
//
//   std::string why;
//   std::optional<double> seconds = bench::FirstReadingSeconds(sensorctl, socket, {"--json", "get"}, &why);
//
// Thread safety: plain functions; each starts, reads and ends its own child process (by its pid).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bench {

// Runs `sensorctl --socket SOCKET ARGS...` (which must print JSON lines) and returns the seconds from
// just before it started to the line that carries a temperature; the process is then interrupted
// (SIGINT) unless it ended by itself, and reaped. Nothing, with why in *error, when no such line
// came within 60 s.
std::optional<double> FirstReadingSeconds(const std::string& sensorctl, const std::string& socket,
                                          const std::vector<std::string>& args, std::string* error);

}  // namespace bench
