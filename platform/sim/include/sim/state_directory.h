// Where the simulated machine keeps what must survive a restart of the host: the registry and the
// device's property store (the host also puts its map files under the Windows directory there).
//
//   sim::SetStateDirectory("/home/me/.local/state/thermal-driver");
//
// With no state directory, nothing is persisted. Thread safety: any thread.
#pragma once

#include <filesystem>
#include <string>

#include "platform/export.h"
#include "platform_support/state_file.h"

PLATFORM_API_BEGIN

namespace sim {

// Creates the directory (mode 0700) when it is missing. Returns false when it cannot be made.
bool SetStateDirectory(const std::filesystem::path& directory);
void ClearStateDirectory();
// Empty when none is set.
std::filesystem::path StateDirectory();
// Changes each time the state directory is set or cleared, even to the same directory: the parts
// of the machine reload what they keep there when it changes.
unsigned StateDirectoryGeneration();

// What loading one file of the state directory found (platform_support/state_file.h).
using StateFileOutcome = platform::support::StateFileOutcome;
using StateFileLoad = platform::support::StateFileLoad;

}  // namespace sim
PLATFORM_API_END
