// The instances of namespace "ROOT\WMI" and the state of the simulated machine's WMI, shared by the
// WMI objects (the driver face) and sim/wmi.h (the backend face).
//
// Thread safety: every field of WmiRepository is guarded by KernelLock() (core/wait.h), so that a
// read held by the simulated machine can block through BlockUntil. The live-object count is atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wmi/wbemcli.h"
#include "sim/wmi.h"

namespace platform::detail {

// One instance. Never changed once made: a change replaces it, so snapshots stay as they were.
struct WmiInstance {
    std::u16string className;
    std::vector<sim::WmiProperty> properties;
};
using WmiInstanceRef = std::shared_ptr<const WmiInstance>;

struct WmiRepository {
    std::map<int, WmiInstanceRef> instances;   // in the order they were added
    std::vector<std::u16string> addedClasses;  // classes besides ThermalTemperature
    int nextInstance = 1;
    bool readsHeld = false;
    std::size_t blockedReads = 0;
    std::uint64_t nextCalls = 0;
};

// Needs KernelLock().
WmiRepository& WmiRepositoryLocked();

// The instances of a class, in order; false when the namespace has no such class.
bool SnapshotWmiClass(std::u16string_view className, std::vector<WmiInstanceRef>* instances);

// Counts one call of Next and waits while reads are held, at most `timeoutMs` (INFINITE for no
// limit). False when the time-out passed first.
bool BeginWmiRead(std::uint32_t timeoutMs);

// Every WMI object counts itself alive from construction to destruction.
class CountedWmiObject {
protected:
    CountedWmiObject();
    ~CountedWmiObject();
    CountedWmiObject(const CountedWmiObject&) = delete;
    CountedWmiObject& operator=(const CountedWmiObject&) = delete;
};
std::size_t LiveWmiObjectCount();

// ASCII letters compared without regard to case; WMI names and keywords are ASCII.
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);
// The length of a NUL-terminated wide string; callers may pass plain strings where a BSTR is named.
std::u16string_view ViewOf(const WCHAR* text);

// The objects of the namespace. Each returns one reference in *out.
HRESULT CreateWbemServices(IWbemServices** out);
HRESULT CreateWbemEnumerator(std::vector<WmiInstanceRef> instances, IEnumWbemClassObject** out);
HRESULT CreateWbemClassObject(WmiInstanceRef instance, IWbemClassObject** out);

}  // namespace platform::detail
