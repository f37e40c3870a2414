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

// The system service's socket. Its socket unit listens there: the service manager (root) made the
// socket, so a client that trusts only its own user and root trusts it too.
inline constexpr const char* kSystemSocketPath = "/run/thermal-driver/thermal-driver.sock";

// The socket a client uses when it is not given one: this user's default socket when a host
// listens on it, else the system service's socket when it is there, else this user's (a host may
// still be starting on it).
std::string ClientSocketPath(const std::string& userSocket = DefaultSocketPath(),
                             const std::string& systemSocket = kSystemSocketPath);

// $XDG_STATE_HOME/thermal-driver, else ~/.local/state/thermal-driver.
std::string DefaultStateDirectory();

// The directory of the running program (from /proc/self/exe), or "." when it cannot be read.
std::string ProgramDirectory();

}  // namespace apps
