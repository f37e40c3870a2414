// The process-wide trace service behind the provider API and the test sessions: registered
// providers, enablements (one per session and control GUID, each with its own logger handle) and
// the sessions' consumers.
//
// Thread safety: Service::control is held while a control callback runs and while a registration
// is added or removed, so that no callback runs after UnregisterTraceGuids. Service::data guards
// every list and is held while a consumer receives a message. Lock order: control, then data, then
// the kernel lock. A callback runs with control held and data free.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform_support/trace_consumer.h"

struct platform::support::TraceSession::State {
    TraceConsumer* consumer = nullptr;
    ULONG sequence = 0;  // guarded by Service::data
};

namespace platform::detail::trace {

struct Provider {
    TRACEHANDLE registration;
    GUID control;
    WMIDPREQUEST callback;
    PVOID context;
};

struct Enablement {
    GUID control;
    TRACEHANDLE logger;
    UCHAR level;
    ULONG flags;
    support::TraceSession::State* session;
};

// What a controller passes as the buffer of an enable or disable request.
struct ControlBuffer {
    static constexpr std::uint64_t kSignature = 0x4C5254434543'4152ull;
    std::uint64_t signature = kSignature;
    TRACEHANDLE logger = 0;
};

struct Service {
    std::recursive_mutex control;
    std::mutex data;
    std::vector<Provider> providers;      // guarded by data
    std::vector<Enablement> enablements;  // guarded by data
    TRACEHANDLE nextHandle = 0x7100;      // guarded by data
};

Service& TheService();

// Lookups; the caller holds data.
Provider* FindProviderLocked(Service& service, REFGUID control);
Enablement* FindEnablementLocked(Service& service, REFGUID control);

// Calls a provider's callback with a request for a logger; the caller holds control, not data.
ULONG CallProvider(const Provider& provider, ULONG requestCode, TRACEHANDLE logger);

}  // namespace platform::detail::trace
