#include "common/paths.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace apps {
namespace {

// An environment variable that names an absolute path; empty otherwise (a relative value is
// ignored, as the base-directory convention asks).
std::string AbsoluteFromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return {};
    return value;
}

std::string HomeDirectory()
{
    if (std::string home = AbsoluteFromEnvironment("HOME"); !home.empty()) return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/tmp";
}

// Whether something accepts connections on the socket file at `path` (a stale file refuses them).
bool Listening(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const int connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const bool listening = connected == 0 || errno == EAGAIN;  // EAGAIN: a backlog that is full
    ::close(probe);
    return listening;
}

bool IsSocketFile(const std::string& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

std::string DefaultSocketDirectory()
{
    if (!AbsoluteFromEnvironment("XDG_RUNTIME_DIR").empty()) return {};
    return "/tmp/thermal-driver-" + std::to_string(::getuid());
}

std::string DefaultSocketPath()
{
    std::string directory = AbsoluteFromEnvironment("XDG_RUNTIME_DIR");
    if (directory.empty()) directory = DefaultSocketDirectory();
    if (directory.back() != '/') directory += '/';
    return directory + "thermal-driver.sock";
}

std::string ClientSocketPath(const std::string& userSocket, const std::string& systemSocket)
{
    if (!Listening(userSocket) && IsSocketFile(systemSocket)) return systemSocket;
    return userSocket;
}

std::string MakePrivateDirectory(const std::string& directory)
{
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        return "the directory " + directory + " cannot be made (" + std::strerror(errno) + ")";
    }
    // lstat: a symbolic link planted in the directory's place is refused as not a directory.
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0) {
        return "the directory " + directory + " cannot be used (" + std::strerror(errno) + ")";
    }
    if (!S_ISDIR(status.st_mode)) return directory + " exists and is not a directory";
    if (status.st_uid != ::geteuid()) {
        return "the directory " + directory + " belongs to another user (uid " + std::to_string(status.st_uid) +
               "); remove it, or give a path of your own";
    }
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(status.st_mode & 07777));
        return "the directory " + directory + " has mode " + mode + ": others may use it; it must be 0700";
    }
    return {};
}

std::string DefaultStateDirectory()
{
    std::filesystem::path base = AbsoluteFromEnvironment("XDG_STATE_HOME");
    if (base.empty()) base = std::filesystem::path(HomeDirectory()) / ".local" / "state";
    return (base / "thermal-driver").string();
}

std::string ProgramDirectory()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return ".";
    return self.parent_path().string();
}

}  // namespace apps
