// Test control of tracing: calls to a provider's control callback as a controller would, and a
// consumer that keeps every message (sessions themselves are in platform_support/trace_consumer.h).
//
//   platform::testing::TraceRecorder recorder;
//   platform::testing::TraceSession session(recorder);
//   session.Enable(kControlGuid, TRACE_LEVEL_INFORMATION, 0x1);
//   ...
//   EXPECT_EQ(recorder.Find(kComponentGuid, 11).size(), 1u);
//
// Thread safety: TraceRecorder may be read while messages arrive.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "platform/export.h"
#include "platform_support/trace_consumer.h"

PLATFORM_API_BEGIN
namespace platform::testing {

using support::TraceConsumer;
using support::TraceDecoder;
using support::TraceFormatTable;
using support::TraceMessageRecord;
using support::TraceSession;

// Calls the control callback of the provider registered under a control GUID with any request
// code, as a controller would, and returns its result; nothing when no provider is registered.
std::optional<ULONG> SendTraceControlRequest(REFGUID controlGuid, ULONG requestCode);

bool IsTraceProviderRegistered(REFGUID controlGuid);

// Keeps every message it receives.
class TraceRecorder final : public TraceConsumer {
public:
    void OnMessage(const TraceMessageRecord& record) override;

    std::vector<TraceMessageRecord> Messages() const;
    // The messages of one component and number, in order of arrival.
    std::vector<TraceMessageRecord> Find(REFGUID messageGuid, USHORT number) const;
    std::size_t Count() const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<TraceMessageRecord> m_messages;  // guarded by m_mutex
};

}  // namespace platform::testing
PLATFORM_API_END
