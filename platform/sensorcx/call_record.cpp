// The record of what class extensions were given, and the recorder that tests read it through.
#include "sensorcx/call_record.h"

#include <atomic>
#include <mutex>
#include <new>

#include "transport/values_codec.h"

namespace platform {
namespace detail {
namespace {

std::atomic<std::uint64_t> g_instances{0};
std::atomic<std::size_t> g_live{0};
std::atomic<bool> g_recording{false};

struct CallLog {
    std::mutex lock;
    std::vector<testing::SensorCxCallRecord> calls;  // guarded by lock
};

CallLog& Log()
{
    static auto* log = new CallLog;
    return *log;
}

}  // namespace

std::uint64_t SensorCxInstanceStarted()
{
    g_live.fetch_add(1, std::memory_order_relaxed);
    return g_instances.fetch_add(1, std::memory_order_relaxed) + 1;
}

void SensorCxInstanceEnded()
{
    g_live.fetch_sub(1, std::memory_order_relaxed);
}

bool RecordingSensorCxCalls()
{
    return g_recording.load(std::memory_order_acquire);
}

void RecordSensorCxCall(testing::SensorCxCallRecord record)
{
    auto& log = Log();
    std::lock_guard guard(log.lock);
    if (!g_recording.load(std::memory_order_relaxed)) return;
    try {
        log.calls.push_back(std::move(record));
    } catch (const std::bad_alloc&) {
        // A record that cannot be kept is dropped; the class extension goes on.
    }
}

}  // namespace detail

namespace testing {

HRESULT SensorCxCallRecord::DecodedEvent(std::size_t index, IPortableDeviceValues** out) const
{
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (index >= events.size()) return E_INVALIDARG;
    return transport::DecodeValues(events[index], out);
}

SensorClassExtensionRecorder::SensorClassExtensionRecorder()
{
    auto& log = detail::Log();
    std::lock_guard guard(log.lock);
    log.calls.clear();
    detail::g_recording.store(true, std::memory_order_release);
}

SensorClassExtensionRecorder::~SensorClassExtensionRecorder()
{
    auto& log = detail::Log();
    std::lock_guard guard(log.lock);
    detail::g_recording.store(false, std::memory_order_release);
    log.calls.clear();
}

std::vector<SensorCxCallRecord> SensorClassExtensionRecorder::Calls() const
{
    auto& log = detail::Log();
    std::lock_guard guard(log.lock);
    return log.calls;
}

std::vector<SensorCxCallRecord> SensorClassExtensionRecorder::Calls(SensorCxCall kind) const
{
    auto& log = detail::Log();
    std::lock_guard guard(log.lock);
    std::vector<SensorCxCallRecord> found;
    for (const auto& record : log.calls) {
        if (record.call == kind) found.push_back(record);
    }
    return found;
}

void SensorClassExtensionRecorder::Clear()
{
    auto& log = detail::Log();
    std::lock_guard guard(log.lock);
    log.calls.clear();
}

std::size_t LiveSensorClassExtensions()
{
    return detail::g_live.load(std::memory_order_relaxed);
}

}  // namespace testing
}  // namespace platform
