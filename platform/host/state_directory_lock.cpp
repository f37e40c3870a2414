#include "host/state_directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform_support/state_file.h"
#include "platform_support/fault_point.h"

namespace platform::host {
namespace {

std::string CannotUse(const std::filesystem::path& directory, const std::string& why)
{
    return "the state directory " + directory.string() + " cannot be used: " + why;
}

// Whether a file can be made in the directory: the state files are written as temporary files
// renamed into place. Fault point "StateDirectoryLock:probe" (an errno).
int ProbeWrite(const std::filesystem::path& directory)
{
    if (const auto error = support::CheckFault("StateDirectoryLock", EACCES, "probe")) return static_cast<int>(*error);
    std::string name = (directory / ".write-check-XXXXXX").string();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    ::unlink(name.c_str());
    return 0;
}

}  // namespace

std::unique_ptr<StateDirectoryLock> StateDirectoryLock::Acquire(const std::filesystem::path& directory,
                                                                std::string_view owner, std::string* problem)
{
    std::error_code error;
    if (std::filesystem::exists(directory, error) && !std::filesystem::is_directory(directory, error)) {
        *problem = CannotUse(directory, "it is not a directory");
        return nullptr;
    }
    if (std::filesystem::create_directories(directory, error)) {
        std::filesystem::permissions(directory, std::filesystem::perms::owner_all, error);
    }
    if (error) {
        *problem = CannotUse(directory, "it cannot be made (" + error.message() + ")");
        return nullptr;
    }
    const std::filesystem::path file = directory / kFileName;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *problem = CannotUse(directory, "its lock file cannot be opened (" + std::string(std::strerror(errno)) + ")");
        return nullptr;
    }
    std::unique_ptr<StateDirectoryLock> lock(new StateDirectoryLock(fd));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::string holder;
        support::ReadWholeFile(file, &holder);
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
        const std::size_t space = holder.rfind(' ');
        *problem = "state directory " + directory.string() + " is in use by " +
                   (space == std::string::npos ? std::string("another process")
                                               : holder.substr(0, space) + " (pid " + holder.substr(space + 1) + ")");
        return nullptr;
    }
    if (const int probe = ProbeWrite(directory); probe != 0) {
        *problem = CannotUse(directory, "it is not writable (" + std::string(std::strerror(probe)) + ")");
        return nullptr;
    }
    const std::string holder = std::string(owner) + " " + std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size())) {
        *problem = CannotUse(directory, "its lock file cannot be written (" + std::string(std::strerror(errno)) + ")");
        return nullptr;
    }
    return lock;
}

StateDirectoryLock::~StateDirectoryLock()
{
    ::close(m_fd);
}

}  // namespace platform::host
