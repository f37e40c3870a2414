// The trace control: one provider with one control block, and the emission of trace sites.
#include "base/trace.h"

#include <array>
#include <atomic>
#include <utility>

#include "platform/probe/thermal_driver_contract.h"
#include "platform/win32_error.h"

namespace {

// What the enabling session asked for. The registration handle is written only by attach and
// detach (under the loader's serialisation); the other fields by the control callback, on any
// thread, and read by the sites without a lock.
struct TraceControlBlock {
    GUID controlGuid;
    TRACEHANDLE registrationHandle;
    std::atomic<TRACEHANDLE> loggerHandle;
    std::atomic<UCHAR> enabledLevel;
    std::atomic<ULONG> enabledFlags;
    TraceControlBlock* next;
};

TraceControlBlock g_traceControl{GUID_THERMAL_DRIVER_TRACE_CONTROL, 0, {0}, {0}, {0}, nullptr};

// The registration indicator: the list of registered control blocks; empty (null) before attach
// and after detach.
std::atomic<TraceControlBlock*> g_registeredControlBlocks{nullptr};

constexpr ULONG kMessageFlags =
    TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;
static_assert(kMessageFlags == 0x2B);

constexpr ULONG kFlagBit0 = 0x1;

// Element `Index` of the (address, length) pairs that TraceMessage takes after the message number.
template <std::size_t Index>
auto PairElement(const trace::Argument* arguments)
{
    if constexpr (Index % 2 == 0) {
        return arguments[Index / 2].address;
    } else {
        return static_cast<SIZE_T>(arguments[Index / 2].length);
    }
}

template <std::size_t... Index>
void IssueMessage(TRACEHANDLE logger, const GUID& component, USHORT number,
                  [[maybe_unused]] const trace::Argument* arguments, std::index_sequence<Index...>)
{
    TraceMessage(logger, kMessageFlags, &component, number, PairElement<Index>(arguments)..., nullptr);
}

template <std::size_t Count>
void IssueMessageOf(TRACEHANDLE logger, const GUID& component, USHORT number, const trace::Argument* arguments)
{
    IssueMessage(logger, component, number, arguments, std::make_index_sequence<2 * Count>{});
}

using IssueFunction = void (*)(TRACEHANDLE, const GUID&, USHORT, const trace::Argument*);

template <std::size_t... Count>
constexpr std::array<IssueFunction, sizeof...(Count)> MakeIssueTable(std::index_sequence<Count...>)
{
    return {&IssueMessageOf<Count>...};
}

// One issuing function per argument count, 0 to kMaxArguments.
constexpr auto kIssueByCount = MakeIssueTable(std::make_index_sequence<trace::kMaxArguments + 1>{});

}  // namespace

namespace trace {

void RegisterProvider()
{
    g_traceControl.loggerHandle.store(0, std::memory_order_relaxed);
    g_traceControl.enabledLevel.store(0, std::memory_order_relaxed);
    g_traceControl.enabledFlags.store(0, std::memory_order_relaxed);
    g_traceControl.next = nullptr;
    g_registeredControlBlocks.store(&g_traceControl, std::memory_order_release);

    TRACE_GUID_REGISTRATION registration{&g_traceControl.controlGuid, nullptr};
    RegisterTraceGuidsW(&TraceControlCallback, &g_traceControl, &g_traceControl.controlGuid, 1, &registration, nullptr,
                        nullptr, &g_traceControl.registrationHandle);
}

void UnregisterProvider()
{
    for (TraceControlBlock* block = g_registeredControlBlocks.load(std::memory_order_acquire); block != nullptr;
         block = block->next) {
        if (block->registrationHandle != 0) {
            UnregisterTraceGuids(block->registrationHandle);
            block->registrationHandle = 0;
        }
    }
    g_registeredControlBlocks.store(nullptr, std::memory_order_release);
}

bool IsEnabled(UCHAR level)
{
    const TraceControlBlock* block = g_registeredControlBlocks.load(std::memory_order_acquire);
    if (block == nullptr) return false;
    if ((block->enabledFlags.load(std::memory_order_relaxed) & kFlagBit0) == 0) return false;
    return block->enabledLevel.load(std::memory_order_relaxed) >= level;
}

void Emit(const GUID& component, USHORT number, std::initializer_list<Argument> arguments)
{
    const TraceControlBlock* block = g_registeredControlBlocks.load(std::memory_order_acquire);
    if (block == nullptr || arguments.size() > kMaxArguments) return;
    kIssueByCount[arguments.size()](block->loggerHandle.load(std::memory_order_relaxed), component, number,
                                    arguments.begin());
}

}  // namespace trace

ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE RequestCode, PVOID Context, ULONG* InOutBufferSize, PVOID Buffer)
{
    if (InOutBufferSize != nullptr) *InOutBufferSize = 0;
    auto* block = static_cast<TraceControlBlock*>(Context);
    if (block == nullptr) return ERROR_INVALID_PARAMETER;

    TRACEHANDLE logger = 0;
    UCHAR level = 0;
    ULONG flags = 0;
    switch (RequestCode) {
        case WMI_ENABLE_EVENTS:
            logger = GetTraceLoggerHandle(Buffer);
            level = GetTraceEnableLevel(logger);
            flags = GetTraceEnableFlags(logger);
            break;
        case WMI_DISABLE_EVENTS:
            break;
        default:
            return ERROR_INVALID_PARAMETER;
    }
    block->enabledLevel.store(level, std::memory_order_relaxed);
    block->loggerHandle.store(logger, std::memory_order_relaxed);
    block->enabledFlags.store(flags, std::memory_order_relaxed);
    return ERROR_SUCCESS;
}
