// driver-host's command line.
//
//   driver_host::HostOptions options;
//   if (std::optional<int> exitCode = driver_host::ParseHostOptions(argc, argv, &options)) return *exitCode;
//
// Thread safety: plain values, parsed once by main.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace driver_host {

// The --machine value that names the machine following this machine's first thermal zone.
inline constexpr char kHostMachine[] = "host";

struct HostOptions {
    std::string machineFile;      // empty: the embedded default machine; kHostMachine: this machine's
                                  // own temperature (a file named so is given as ./host)
    std::string socketPath;       // never empty after parsing
    bool socketGiven = false;     // --socket was given: used as it is; the default's directory is made private
    std::string stateDirectory;   // never empty after parsing
    bool stateDirectoryGiven = false;  // --state-dir was given: it wins over the machine file's
    bool idle = true;             // the user idle setting
    std::vector<std::string> allowGroups;  // as given
    std::vector<gid_t> allowGroupIds;      // resolved
    std::uint8_t traceLevel = 0;  // 0 off, 1 error, 2 warning, 3 information, 4 verbose
    std::string traceFormats;     // the trace format directory; empty: the installed one
    std::string modulePath;       // never empty after parsing
};

// Parses the command line into *options. Returns the exit code when the program should stop now
// (--help, --version: 0; a usage error, already reported on standard error: 2), else nothing.
std::optional<int> ParseHostOptions(int argc, char** argv, HostOptions* options);

// The trace format directory installed beside the program, else the one in the source tree.
std::string DefaultTraceFormats();

}  // namespace driver_host
