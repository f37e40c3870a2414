#include "core/fault_injection.h"

#include <atomic>
#include <climits>
#include <mutex>
#include <string>
#include <vector>

#include "platform_testing/faults.h"

namespace platform {
namespace {

struct ArmedFault {
    std::string point;  // "Name" or "Name:qualifier"
    std::uint32_t error;
    int skip;
    int remaining;
};

struct FaultState {
    std::mutex mutex;
    std::vector<ArmedFault> armed;
    bool counting = false;
    std::uint64_t checkedCalls = 0;
    std::uint64_t failAt = 0;
    std::uint32_t failAtError = 0;
    std::string lastInjected;
    std::uint64_t injectedCount = 0;
};

FaultState& State()
{
    static auto* state = new FaultState;
    return *state;
}

// True while any fault is armed or calls are being counted; keeps unarmed calls cheap.
std::atomic<bool> g_active{false};

// Exemptions held by the calling thread.
thread_local int t_exemptions = 0;

void UpdateActiveLocked(const FaultState& state)
{
    g_active.store(!state.armed.empty() || state.counting, std::memory_order_release);
}

// The error an armed fault makes the call report.
std::uint32_t ErrorOf(std::uint32_t armed, std::uint32_t defaultError)
{
    if (armed == testing::kFailWithoutError) return 0;
    return armed != 0 ? armed : defaultError;
}

bool Matches(const std::string& armed, std::string_view point, std::string_view qualifier)
{
    if (armed.size() == point.size()) return armed == point;
    return !qualifier.empty() && armed.size() == point.size() + 1 + qualifier.size() &&
           armed.compare(0, point.size(), point) == 0 && armed[point.size()] == ':' &&
           armed.compare(point.size() + 1, std::string::npos, qualifier) == 0;
}

}  // namespace

namespace support {

bool FaultInjectionActive()
{
    return g_active.load(std::memory_order_acquire);
}

std::optional<std::uint32_t> CheckFault(std::string_view point, std::uint32_t defaultError, std::string_view qualifier)
{
    if (!g_active.load(std::memory_order_acquire) || t_exemptions > 0) return std::nullopt;
    auto& state = State();
    std::lock_guard guard(state.mutex);
    std::optional<std::uint32_t> result;
    if (state.counting) {
        ++state.checkedCalls;
        if (state.checkedCalls == state.failAt) {
            result = ErrorOf(state.failAtError, defaultError);
        }
    }
    for (auto it = state.armed.begin(); !result && it != state.armed.end(); ++it) {
        if (!Matches(it->point, point, qualifier)) continue;
        if (it->skip > 0) {
            --it->skip;
            continue;
        }
        result = ErrorOf(it->error, defaultError);
        if (it->remaining != INT_MAX && --it->remaining == 0) {
            state.armed.erase(it);
            UpdateActiveLocked(state);
        }
        break;
    }
    if (result) {
        state.lastInjected = qualifier.empty() ? std::string(point) : std::string(point) + ":" + std::string(qualifier);
        ++state.injectedCount;
    }
    return result;
}

}  // namespace support

namespace testing {

void FailCall(std::string_view point, int times, std::uint32_t error, int after)
{
    if (times <= 0) return;
    auto& state = State();
    std::lock_guard guard(state.mutex);
    state.armed.push_back({std::string(point), error, after, times});
    UpdateActiveLocked(state);
}

void FailCallAlways(std::string_view point, std::uint32_t error) { FailCall(point, INT_MAX, error); }

void StartCountingCheckedCalls(std::uint64_t failAt, std::uint32_t error)
{
    auto& state = State();
    std::lock_guard guard(state.mutex);
    state.counting = true;
    state.checkedCalls = 0;
    state.failAt = failAt;
    state.failAtError = error;
    UpdateActiveLocked(state);
}

std::uint64_t CheckedCallCount()
{
    auto& state = State();
    std::lock_guard guard(state.mutex);
    return state.checkedCalls;
}

std::uint64_t InjectedFaultCount()
{
    auto& state = State();
    std::lock_guard guard(state.mutex);
    return state.injectedCount;
}

std::string LastInjectedFault()
{
    auto& state = State();
    std::lock_guard guard(state.mutex);
    return state.lastInjected;
}

void ExemptCurrentThreadFromFaults(bool exempt) { t_exemptions += exempt ? 1 : -1; }

void ResetFaults()
{
    auto& state = State();
    std::lock_guard guard(state.mutex);
    state.armed.clear();
    state.counting = false;
    state.checkedCalls = 0;
    state.failAt = 0;
    state.failAtError = 0;
    state.lastInjected.clear();
    state.injectedCount = 0;
    UpdateActiveLocked(state);
}

}  // namespace testing
}  // namespace platform
