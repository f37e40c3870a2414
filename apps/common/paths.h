// Where the programs look for things when they are not told: the host's socket (in a directory of
// the user's own), its state directory, and files installed beside the programs.
//
// Thread safety: the functions read the environment and keep no state.
#pragma once

#include <string>

namespace apps {

// $XDG_RUNTIME_DIR/thermal-driver.sock, else /tmp/thermal-driver-<uid>/thermal-driver.sock: one
// host per user.
std::string DefaultSocketPath();
// The directory the default socket needs of its own, made private by MakePrivateDirectory:
// /tmp/thermal-driver-<uid> without XDG_RUNTIME_DIR; empty with it (that one is private already).
std::string DefaultSocketDirectory();

// Makes the directory with mode 0700 when it is missing. Returns why it cannot be used (empty when
// it can): it is not a directory (a symbolic link is not), belongs to another user, or lets its
// group or others in. Another user who made it first cannot squat on what it holds.
std::string MakePrivateDirectory(const std::string& directory);

// $XDG_STATE_HOME/thermal-driver, else ~/.local/state/thermal-driver.
std::string DefaultStateDirectory();

// The directory of the running program (from /proc/self/exe), or "." when it cannot be read.
std::string ProgramDirectory();

}  // namespace apps
