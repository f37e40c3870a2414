#include "sim/device_tree.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "core/clock.h"
#include "core/wait.h"
#include "platform/kernel/file.h"
#include "platform/win32_error.h"

namespace sim {
namespace {

// One presence of a device, from plug-in to removal. Handles stay bound to the arrival they opened.
struct Arrival {
    explicit Arrival(std::shared_ptr<DeviceBehavior> b) : behavior(std::move(b)) {}

    const std::shared_ptr<DeviceBehavior> behavior;
    bool connected = true;  // guarded by KernelLock()
    // Share state of the handles open on this arrival; guarded by the tree mutex.
    std::uint32_t opens = 0;
    std::uint32_t readers = 0;
    std::uint32_t writers = 0;
    std::uint32_t sharingRead = 0;
    std::uint32_t sharingWrite = 0;
};

struct Node {
    explicit Node(DeviceSpec s) : description(std::move(s)) {}

    const DeviceSpec description;
    // Guarded by the tree mutex.
    std::shared_ptr<Arrival> arrival;  // null while the device is not present
    std::uint32_t openCount = 0;
    std::uint32_t openHandles = 0;
    std::map<DWORD, std::uint32_t> requests;
    // Guarded by KernelLock(), so that gate waiters can be woken.
    bool held = false;
    std::size_t heldCount = 0;
};

// Lock order: the tree mutex, then KernelLock().
struct Tree {
    std::mutex mutex;
    std::vector<std::shared_ptr<Node>> nodes;  // in the order they were added
};

Tree& TheTree()
{
    static auto* tree = new Tree;  // lives until process exit; handles may outlive statics
    return *tree;
}

// Removals of the hosted device under way; guarded by KernelLock().
int g_hostedDeviceRemovals = 0;

char16_t FoldCase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool SameName(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

bool NamesPath(const DeviceSpec& description, std::u16string_view path)
{
    for (const auto& entry : description.interfaces) {
        if (SameName(entry.path, path)) return true;
    }
    return std::any_of(description.deviceNames.begin(), description.deviceNames.end(),
                       [path](const std::u16string& name) { return SameName(name, path); });
}

std::shared_ptr<Node> FindLocked(std::u16string_view instanceId)
{
    for (const auto& node : TheTree().nodes) {
        if (SameName(node->description.instanceId, instanceId)) return node;
    }
    return nullptr;
}

// Ends the node's current arrival: its handles fail from now on and its gate waiters give up.
void DisconnectLocked(Node& node)
{
    if (!node.arrival) return;
    {
        std::lock_guard kernel(platform::detail::KernelLock());
        node.arrival->connected = false;
        platform::detail::WakeWaitersLocked();
    }
    node.arrival.reset();
}

class Connection final : public DeviceConnection {
public:
    Connection(std::shared_ptr<Node> node, std::shared_ptr<Arrival> arrival, DWORD access, DWORD shareMode)
        : m_node(std::move(node)), m_arrival(std::move(arrival)), m_access(access), m_shareMode(shareMode)
    {
    }

    ~Connection() override
    {
        std::lock_guard guard(TheTree().mutex);
        --m_arrival->opens;
        if ((m_access & GENERIC_READ) != 0) --m_arrival->readers;
        if ((m_access & GENERIC_WRITE) != 0) --m_arrival->writers;
        if ((m_shareMode & FILE_SHARE_READ) != 0) --m_arrival->sharingRead;
        if ((m_shareMode & FILE_SHARE_WRITE) != 0) --m_arrival->sharingWrite;
        --m_node->openHandles;
    }

    DWORD IoControl(DWORD controlCode, std::span<const BYTE> input, std::span<BYTE> output,
                    DWORD& bytesWritten) override
    {
        bytesWritten = 0;
        {
            std::unique_lock kernel(platform::detail::KernelLock());
            if (!m_arrival->connected) return ERROR_DEVICE_NOT_CONNECTED;
            if (m_node->held) {
                // Held still when the wait ends: the device went away or the hosted device is being
                // removed, and the request is cancelled.
                const std::function<bool()> released = [this] {
                    return !m_node->held || !m_arrival->connected || g_hostedDeviceRemovals > 0;
                };
                ++m_node->heldCount;
                platform::detail::BlockUntil(kernel, released, platform::detail::kNever);
                --m_node->heldCount;
                if (!m_arrival->connected || m_node->held) return ERROR_DEVICE_NOT_CONNECTED;
            }
        }
        {
            std::lock_guard guard(TheTree().mutex);
            ++m_node->requests[controlCode];
        }
        const DWORD error = m_arrival->behavior->IoControl(controlCode, input, output, bytesWritten);
        if (error != ERROR_SUCCESS) {
            bytesWritten = 0;
        } else {
            bytesWritten = std::min<DWORD>(bytesWritten, static_cast<DWORD>(output.size()));
        }
        return error;
    }

private:
    const std::shared_ptr<Node> m_node;
    const std::shared_ptr<Arrival> m_arrival;
    const DWORD m_access;
    const DWORD m_shareMode;
};

bool SharingConflicts(const Arrival& arrival, DWORD access, DWORD shareMode)
{
    if (arrival.opens == 0) return false;
    if ((access & GENERIC_READ) != 0 && arrival.sharingRead < arrival.opens) return true;
    if ((access & GENERIC_WRITE) != 0 && arrival.sharingWrite < arrival.opens) return true;
    if (arrival.readers > 0 && (shareMode & FILE_SHARE_READ) == 0) return true;
    if (arrival.writers > 0 && (shareMode & FILE_SHARE_WRITE) == 0) return true;
    return false;
}

}  // namespace

bool AddDevice(DeviceSpec description)
{
    if (description.instanceId.empty() || !description.behavior) return false;
    std::lock_guard guard(TheTree().mutex);
    if (FindLocked(description.instanceId)) return false;
    for (const auto& entry : description.interfaces) {
        if (entry.path.empty()) return false;
    }
    for (const auto& name : description.deviceNames) {
        if (name.empty()) return false;
    }
    for (const auto& node : TheTree().nodes) {
        for (const auto& entry : description.interfaces) {
            if (NamesPath(node->description, entry.path)) return false;
        }
        for (const auto& name : description.deviceNames) {
            if (NamesPath(node->description, name)) return false;
        }
    }
    auto node = std::make_shared<Node>(std::move(description));
    node->arrival = std::make_shared<Arrival>(node->description.behavior);
    TheTree().nodes.push_back(std::move(node));
    return true;
}

bool RemoveDevice(std::u16string_view instanceId)
{
    std::lock_guard guard(TheTree().mutex);
    auto& nodes = TheTree().nodes;
    const auto it = std::find_if(nodes.begin(), nodes.end(),
                                 [instanceId](const auto& node) { return SameName(node->description.instanceId, instanceId); });
    if (it == nodes.end()) return false;
    DisconnectLocked(**it);
    nodes.erase(it);
    return true;
}

bool SetDevicePresent(std::u16string_view instanceId, bool present)
{
    std::lock_guard guard(TheTree().mutex);
    const auto node = FindLocked(instanceId);
    if (!node) return false;
    if (!present) {
        DisconnectLocked(*node);
    } else if (!node->arrival) {
        node->arrival = std::make_shared<Arrival>(node->description.behavior);
    }
    return true;
}

bool IsDevicePresent(std::u16string_view instanceId)
{
    std::lock_guard guard(TheTree().mutex);
    const auto node = FindLocked(instanceId);
    return node && node->arrival;
}

bool HoldRequests(std::u16string_view instanceId)
{
    std::lock_guard guard(TheTree().mutex);
    const auto node = FindLocked(instanceId);
    if (!node) return false;
    std::lock_guard kernel(platform::detail::KernelLock());
    node->held = true;
    return true;
}

bool ReleaseRequests(std::u16string_view instanceId)
{
    std::lock_guard guard(TheTree().mutex);
    const auto node = FindLocked(instanceId);
    if (!node) return false;
    std::lock_guard kernel(platform::detail::KernelLock());
    node->held = false;
    platform::detail::WakeWaitersLocked();
    return true;
}

std::size_t HeldRequestCount(std::u16string_view instanceId)
{
    std::lock_guard guard(TheTree().mutex);
    const auto node = FindLocked(instanceId);
    if (!node) return 0;
    std::lock_guard kernel(platform::detail::KernelLock());
    return node->heldCount;
}

std::uint32_t DeviceOpenCount(std::u16string_view instanceId)
{
    std::lock_guard guard(TheTree().mutex);
    const auto node = FindLocked(instanceId);
    return node ? node->openCount : 0;
}

std::uint32_t DeviceOpenHandleCount(std::u16string_view instanceId)
{
    std::lock_guard guard(TheTree().mutex);
    const auto node = FindLocked(instanceId);
    return node ? node->openHandles : 0;
}

std::uint32_t DeviceRequestCount(std::u16string_view instanceId, DWORD controlCode)
{
    std::lock_guard guard(TheTree().mutex);
    const auto node = FindLocked(instanceId);
    if (!node) return 0;
    const auto it = node->requests.find(controlCode);
    return it == node->requests.end() ? 0 : it->second;
}

void ResetDeviceTree()
{
    std::lock_guard guard(TheTree().mutex);
    for (const auto& node : TheTree().nodes) {
        DisconnectLocked(*node);
        std::lock_guard kernel(platform::detail::KernelLock());
        node->held = false;
        platform::detail::WakeWaitersLocked();
    }
    TheTree().nodes.clear();
}

namespace {

struct HostedDeviceState {
    std::mutex mutex;
    std::optional<HostedDeviceEntry> entry{HostedDeviceEntry{kDefaultHostedDeviceInstanceId,
                                                             kDefaultHostedDeviceDescription}};  // guarded by mutex
};

HostedDeviceState& Hosted()
{
    static auto* state = new HostedDeviceState;
    return *state;
}

}  // namespace

bool SetHostedDevice(HostedDeviceEntry entry)
{
    if (entry.instanceId.empty()) return false;
    std::lock_guard guard(Hosted().mutex);
    Hosted().entry = std::move(entry);
    return true;
}

bool SetHostedDeviceDescription(std::u16string description)
{
    std::lock_guard guard(Hosted().mutex);
    if (!Hosted().entry) return false;
    Hosted().entry->description = std::move(description);
    return true;
}

void RemoveHostedDevice()
{
    std::lock_guard guard(Hosted().mutex);
    Hosted().entry.reset();
}

void ResetHostedDevice()
{
    std::lock_guard guard(Hosted().mutex);
    Hosted().entry = HostedDeviceEntry{kDefaultHostedDeviceInstanceId, kDefaultHostedDeviceDescription};
}

void BeginHostedDeviceRemoval()
{
    std::lock_guard kernel(platform::detail::KernelLock());
    ++g_hostedDeviceRemovals;
    platform::detail::WakeWaitersLocked();
}

void EndHostedDeviceRemoval()
{
    std::lock_guard kernel(platform::detail::KernelLock());
    --g_hostedDeviceRemovals;
}

std::optional<HostedDeviceEntry> HostedDevice()
{
    std::lock_guard guard(Hosted().mutex);
    return Hosted().entry;
}

std::optional<HostedDeviceEntry> FindHostedDevice(std::u16string_view instanceId)
{
    std::lock_guard guard(Hosted().mutex);
    if (!Hosted().entry || !SameName(Hosted().entry->instanceId, instanceId)) return std::nullopt;
    return Hosted().entry;
}

std::vector<InterfaceRecord> InterfacesOfClass(const GUID& interfaceClass, bool presentOnly)
{
    std::vector<InterfaceRecord> records;
    std::lock_guard guard(TheTree().mutex);
    for (const auto& node : TheTree().nodes) {
        const bool present = node->arrival != nullptr;
        if (presentOnly && !present) continue;
        for (const auto& entry : node->description.interfaces) {
            if (entry.interfaceClass == interfaceClass) {
                records.push_back({entry.interfaceClass, entry.path, node->description.instanceId, present});
            }
        }
    }
    return records;
}

std::shared_ptr<DeviceConnection> ConnectDevice(std::u16string_view path, DWORD access, DWORD shareMode, DWORD& error)
{
    std::lock_guard guard(TheTree().mutex);
    for (const auto& node : TheTree().nodes) {
        if (!NamesPath(node->description, path)) continue;
        if (!node->arrival) break;
        Arrival& arrival = *node->arrival;
        if (SharingConflicts(arrival, access, shareMode)) {
            error = ERROR_SHARING_VIOLATION;
            return nullptr;
        }
        ++arrival.opens;
        if ((access & GENERIC_READ) != 0) ++arrival.readers;
        if ((access & GENERIC_WRITE) != 0) ++arrival.writers;
        if ((shareMode & FILE_SHARE_READ) != 0) ++arrival.sharingRead;
        if ((shareMode & FILE_SHARE_WRITE) != 0) ++arrival.sharingWrite;
        ++node->openCount;
        ++node->openHandles;
        error = ERROR_SUCCESS;
        return std::make_shared<Connection>(node, node->arrival, access, shareMode);
    }
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

}  // namespace sim
