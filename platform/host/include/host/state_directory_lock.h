// One host per state directory: an exclusive lock (flock) on the file "lock" in the directory,
// held from Acquire until the object goes, or the process ends and the system drops it. The file
// holds the owner's name and process ID, so that a second host can say who has the directory.
//
//   std::string problem;
//   auto lock = platform::host::StateDirectoryLock::Acquire(directory, "driver-host", &problem);
//   if (!lock) { report(problem); stop; }
//
// Acquire first makes the directory (mode 0700) when it is missing, and checks that a file can be
// made in it, so a host learns before it loads its driver that its state could not be kept.
//
// Ownership: the object owns the lock file's descriptor. Thread safety: Acquire may be called from
// any thread; a lock belongs to its owner.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace platform::host {

class StateDirectoryLock {
public:
    static constexpr const char* kFileName = "lock";

    // Null when the directory cannot be used; *problem then says why, in a sentence that names the
    // directory: it cannot be made, is not writable, or "state directory DIR is in use by
    // driver-host (pid N)".
    static std::unique_ptr<StateDirectoryLock> Acquire(const std::filesystem::path& directory, std::string_view owner,
                                                       std::string* problem);

    ~StateDirectoryLock();
    StateDirectoryLock(const StateDirectoryLock&) = delete;
    StateDirectoryLock& operator=(const StateDirectoryLock&) = delete;

private:
    explicit StateDirectoryLock(int fd) : m_fd(fd) {}

    const int m_fd;
};

}  // namespace platform::host
