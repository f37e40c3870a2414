// The listening end of the host's socket: binding the path, removing it, and peer credentials.
#include "socket_listener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

namespace platform::host::detail {
namespace {

sockaddr_un AddressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

HRESULT CheckLength(const std::string& path, std::string* error)
{
    if (!path.empty() && path.size() < sizeof(sockaddr_un{}.sun_path)) return S_OK;
    return Fail(
        error, E_INVALIDARG,
        "the socket path must have 1 to " + std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes: " + path);
}

// What stands at `path` for a new socket: nothing (S_OK), a stale socket that may be replaced
// (S_FALSE), or a live socket or another file, refused with ERROR_ALREADY_EXISTS.
HRESULT ExistingFileAt(const std::string& path, std::string* error)
{
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) != 0) return S_OK;
    if (!S_ISSOCK(existing.st_mode)) {
        return Fail(error, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
                    path + " exists and is not a socket; it was left as it is");
    }
    // A socket file: live when something accepts connections on it, stale otherwise.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) return Fail(error, FromErrno(errno), "cannot make a socket: " + ErrnoText(errno));
    const sockaddr_un address = AddressOf(path);
    const int connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int probeError = connected == 0 ? 0 : errno;
    ::close(probe);
    if (probeError != ECONNREFUSED) {
        return Fail(error, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
                    "another process is listening on " + path + "; a second host cannot use it");
    }
    return S_FALSE;
}

}  // namespace

std::string ErrnoText(int error)
{
    return std::system_category().message(error);
}

HRESULT FromErrno(int error)
{
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return E_ACCESSDENIED;
        case ENOENT:
        case ENOTDIR:
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        case ENOMEM:
        case ENOBUFS:
            return E_OUTOFMEMORY;
        case ENAMETOOLONG:
            return E_INVALIDARG;
        case EADDRINUSE:
        case EEXIST:
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        default:
            return E_FAIL;
    }
}

HRESULT Fail(std::string* error, HRESULT hr, std::string text)
{
    if (error != nullptr) *error = std::move(text);
    return hr;
}

HRESULT SocketListener::CheckPath(const std::string& path, std::string* error)
{
    RETURN_IF_FAILED(CheckLength(path, error));
    const std::string parent = std::filesystem::path(path).parent_path().string();
    const std::string directory = parent.empty() ? "." : parent;
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
        return Fail(error, FromErrno(errno),
                    "cannot make the socket " + path + ": its directory " + directory + " cannot be used (" +
                        ErrnoText(errno) + ")");
    }
    if (!S_ISDIR(status.st_mode)) {
        return Fail(error, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                    "cannot make the socket " + path + ": " + directory + " is not a directory");
    }
    if (::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return Fail(error, FromErrno(errno),
                    "cannot make the socket " + path + ": its directory " + directory + " is not writable (" +
                        ErrnoText(errno) + ")");
    }
    const HRESULT existing = ExistingFileAt(path, error);
    return FAILED(existing) ? existing : S_OK;
}

HRESULT SocketListener::Open(const std::string& path, std::string* error)
{
    RETURN_IF_FAILED(CheckLength(path, error));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(error, FromErrno(errno), "cannot make a socket: " + ErrnoText(errno));
    m_path = path;
    const HRESULT bound = Bind(fd, error);
    if (FAILED(bound)) {
        ::close(fd);
        return bound;
    }
    if (::listen(fd, SOMAXCONN) != 0) {
        const int saved = errno;
        ::unlink(path.c_str());
        ::close(fd);
        return Fail(error, FromErrno(saved), "cannot listen on the socket: " + ErrnoText(saved));
    }
    m_fd = fd;
    return S_OK;
}

HRESULT SocketListener::CheckListeningSocket(int fd, std::string* error)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return Fail(error, E_INVALIDARG,
                    "descriptor " + std::to_string(fd) + " is not open (" + ErrnoText(errno) + ")");
    }
    if (!S_ISSOCK(status.st_mode)) {
        return Fail(error, E_INVALIDARG, "descriptor " + std::to_string(fd) + " is not a socket");
    }
    int domain = 0;
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof(int);
    const bool known = ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 &&
                       ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
                       ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0;
    if (!known) return Fail(error, E_INVALIDARG, "the socket cannot be examined (" + ErrnoText(errno) + ")");
    const std::string kind = std::string(domain == AF_UNIX    ? "a Unix-domain"
                                         : domain == AF_INET  ? "an IPv4"
                                         : domain == AF_INET6 ? "an IPv6"
                                                              : "a family " + std::to_string(domain)) +
                             (type == SOCK_STREAM      ? " stream"
                              : type == SOCK_DGRAM     ? " datagram"
                              : type == SOCK_SEQPACKET ? " sequenced-packet"
                                                       : " other") +
                             " socket";
    if (domain != AF_UNIX || type != SOCK_STREAM) {
        return Fail(error, E_INVALIDARG, "it is " + kind + "; the host serves a Unix-domain stream socket only");
    }
    if (listening == 0) return Fail(error, E_INVALIDARG, "it is " + kind + " that is not listening");
    return S_OK;
}

HRESULT SocketListener::Adopt(int fd, std::string* error)
{
    RETURN_IF_FAILED(CheckListeningSocket(fd, error));
    // A handed-over socket may block; the accept loop needs it not to.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        return Fail(error, FromErrno(errno), "cannot set up the passed socket: " + ErrnoText(errno));
    }
    // Its file belongs to whoever made the socket, so Close leaves it.
    m_path.clear();
    m_socketFile = {};
    m_fd = fd;
    return S_OK;
}

HRESULT SocketListener::Bind(int fd, std::string* error)
{
    const std::string& path = m_path;
    const sockaddr_un address = AddressOf(path);
    const auto* generic = reinterpret_cast<const sockaddr*>(&address);

    // The socket file takes the socket's mode, less the umask, when bind makes it; chmod after bind
    // makes it exactly 0660 whatever the umask.
    ::fchmod(fd, 0660);
    if (::bind(fd, generic, sizeof(address)) != 0) {
        if (errno != EADDRINUSE) {
            return Fail(error, FromErrno(errno), "cannot make the socket " + path + ": " + ErrnoText(errno));
        }
        RETURN_IF_FAILED(ExistingFileAt(path, error));
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return Fail(error, FromErrno(errno),
                        "cannot remove the stale socket " + path + ": " + ErrnoText(errno));
        }
        if (::bind(fd, generic, sizeof(address)) != 0) {
            return Fail(error, FromErrno(errno), "cannot make the socket " + path + ": " + ErrnoText(errno));
        }
    }
    if (::chmod(path.c_str(), 0660) != 0 || ::stat(path.c_str(), &m_socketFile) != 0) {
        const int saved = errno;
        ::unlink(path.c_str());
        return Fail(error, FromErrno(saved), "cannot set the mode of the socket " + path + ": " + ErrnoText(saved));
    }
    return S_OK;
}

void SocketListener::Close()
{
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
    struct stat current {};
    if (!m_path.empty() && ::stat(m_path.c_str(), &current) == 0 && current.st_dev == m_socketFile.st_dev &&
        current.st_ino == m_socketFile.st_ino) {
        ::unlink(m_path.c_str());
    }
}

bool SocketListener::ReadPeer(int fd, PeerCredentials* peer)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    peer->pid = credentials.pid;
    peer->uid = credentials.uid;
    peer->gid = credentials.gid;
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
            groups.resize(bytes / sizeof(gid_t));
            peer->groups = std::move(groups);
            return true;
        }
        if (errno != ERANGE) break;
        groups.resize(bytes / sizeof(gid_t) + 1);
    }
    return true;  // the primary group alone then
}

}  // namespace platform::host::detail
