// The listening end of the host's socket: makes and binds the socket file (mode 0660, in place of a
// stale socket, never of a live one or of another file), or adopts one handed over, removes it again, and says who the peer
// of an accepted connection is. socket_server.cpp waits on it and serves what it accepts.
//
// Thread safety: one owner; Open and Close are not called concurrently.
#pragma once

#include <sys/stat.h>

#include <string>

#include "host/socket_server.h"

namespace platform::host::detail {

// errno as the HRESULT the server reports, and as a sentence.
HRESULT FromErrno(int error);
std::string ErrnoText(int error);
// Sets *error (may be null) to `text` and returns `hr`.
HRESULT Fail(std::string* error, HRESULT hr, std::string text);

class SocketListener {
public:
    SocketListener() = default;
    ~SocketListener() { Close(); }
    SocketListener(const SocketListener&) = delete;
    SocketListener& operator=(const SocketListener&) = delete;

    // What SocketServer::CheckPath answers.
    static HRESULT CheckPath(const std::string& path, std::string* error);
    // Makes a non-blocking socket, binds it to `path` and listens. On failure nothing is left
    // behind and *error says why.
    HRESULT Open(const std::string& path, std::string* error);
    // What SocketServer::CheckListeningSocket answers.
    static HRESULT CheckListeningSocket(int fd, std::string* error);
    // Serves `fd`, a listening socket another process made and handed over, once
    // CheckListeningSocket accepts it; Close closes it but leaves its file.
    HRESULT Adopt(int fd, std::string* error);
    // Closes the socket and removes its file while it is still the one Open made. Idempotent.
    void Close();
    int Fd() const { return m_fd; }

    // The peer of an accepted connection; false when the socket cannot tell.
    static bool ReadPeer(int fd, PeerCredentials* peer);

private:
    HRESULT Bind(int fd, std::string* error);

    std::string m_path;
    int m_fd = -1;
    struct stat m_socketFile {};  // what Open made, so that Close removes only that
};

}  // namespace platform::host::detail
