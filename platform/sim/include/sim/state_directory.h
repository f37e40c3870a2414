// Where the simulated machine keeps what must survive a restart of the host: the registry and the
// device's property store (the host also puts its map files under the Windows directory there).
//
//   sim::SetStateDirectory("/home/me/.local/state/thermal-driver");
//
// With no state directory, nothing is persisted. Thread safety: any thread.
#pragma once

#include <filesystem>
#include <string>

namespace sim {

// Creates the directory (mode 0700) when it is missing. Returns false when it cannot be made.
bool SetStateDirectory(const std::filesystem::path& directory);
void ClearStateDirectory();
// Empty when none is set.
std::filesystem::path StateDirectory();
// Changes each time the state directory is set or cleared, even to the same directory: the parts
// of the machine reload what they keep there when it changes.
unsigned StateDirectoryGeneration();

// What loading one file of the state directory found. Each file keeps its previous generation
// beside it ("<file>.previous"); a damaged file is moved aside ("<file>.corrupt") and the previous
// generation takes its place.
enum class StateFileOutcome {
    kMissing,     // there is no file: the store starts empty
    kLoaded,      // the file, whole
    kRestored,    // the file was damaged; its previous generation was restored
    kReset,       // the file was damaged and there was no good previous generation: the store starts empty
    kUnreadable,  // a file could not be read; nothing was moved or replaced, and nothing will be written
};

struct StateFileLoad {
    std::filesystem::path file;
    StateFileOutcome outcome = StateFileOutcome::kMissing;
    // For kRestored, kReset and kUnreadable, a sentence for people: the file, where the damaged
    // copy went and what took its place, or the system's error.
    std::string problem;
};

}  // namespace sim
