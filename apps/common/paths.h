// Where the programs look for things when they are not told: the host's socket, its state
// directory, and files installed beside the programs.
//
// Thread safety: the functions read the environment and keep no state.
#pragma once

#include <string>

namespace apps {

// $XDG_RUNTIME_DIR/thermal-driver.sock, else /tmp/thermal-driver-<uid>.sock: one host per user.
std::string DefaultSocketPath();

// $XDG_STATE_HOME/thermal-driver, else ~/.local/state/thermal-driver.
std::string DefaultStateDirectory();

// The directory of the running program (from /proc/self/exe), or "." when it cannot be read.
std::string ProgramDirectory();

}  // namespace apps
