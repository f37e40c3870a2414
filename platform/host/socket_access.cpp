// Who may do what on the host's socket: the file access a peer's credentials earn.
#include <unistd.h>

#include <algorithm>

#include "host/socket_server.h"

namespace platform::host {

AccessPolicy AccessPolicy::ForThisProcess(std::vector<gid_t> writerGroups)
{
    AccessPolicy policy;
    policy.hostUid = ::geteuid();
    policy.writerUids = {0};
    policy.writerGroups = std::move(writerGroups);
    return policy;
}

FileAccess AccessPolicy::AccessFor(const PeerCredentials& peer) const
{
    const auto contains = [](const auto& list, auto value) {
        return std::find(list.begin(), list.end(), value) != list.end();
    };
    if (peer.uid == hostUid || contains(writerUids, peer.uid)) return FileAccess::kReadWrite;
    if (contains(writerGroups, peer.gid)) return FileAccess::kReadWrite;
    for (const gid_t group : peer.groups) {
        if (contains(writerGroups, group)) return FileAccess::kReadWrite;
    }
    return FileAccess::kRead;
}

}  // namespace platform::host
