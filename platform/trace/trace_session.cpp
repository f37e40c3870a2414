#include "platform_testing/trace_session.h"

#include <algorithm>

#include "trace/trace_service.h"

namespace platform::support {

using detail::trace::CallProvider;
using detail::trace::Enablement;
using detail::trace::FindEnablementLocked;
using detail::trace::FindProviderLocked;
using detail::trace::Provider;
using detail::trace::TheService;

TraceSession::TraceSession(TraceConsumer& consumer) : m_state(std::make_unique<State>())
{
    m_state->consumer = &consumer;
}

TraceSession::~TraceSession()
{
    auto& service = TheService();
    std::vector<GUID> enabled;
    {
        std::lock_guard data(service.data);
        for (const Enablement& enablement : service.enablements) {
            if (enablement.session == m_state.get()) enabled.push_back(enablement.control);
        }
    }
    for (const GUID& control : enabled) Disable(control);
}

ULONG TraceSession::Enable(REFGUID controlGuid, UCHAR level, ULONG flags)
{
    auto& service = TheService();
    std::lock_guard control(service.control);
    Provider provider{};
    bool registered = false;
    TRACEHANDLE logger = 0;
    {
        std::lock_guard data(service.data);
        if (Enablement* existing = FindEnablementLocked(service, controlGuid)) {
            if (existing->session != m_state.get()) return ERROR_ALREADY_EXISTS;
            existing->level = level;
            existing->flags = flags;
            logger = existing->logger;
        } else {
            logger = ++service.nextHandle;
            service.enablements.push_back(Enablement{controlGuid, logger, level, flags, m_state.get()});
        }
        if (const Provider* found = FindProviderLocked(service, controlGuid)) {
            provider = *found;
            registered = true;
        }
    }
    if (registered) CallProvider(provider, WMI_ENABLE_EVENTS, logger);
    return ERROR_SUCCESS;
}

ULONG TraceSession::Disable(REFGUID controlGuid)
{
    auto& service = TheService();
    std::lock_guard control(service.control);
    Provider provider{};
    bool registered = false;
    TRACEHANDLE logger = 0;
    {
        std::lock_guard data(service.data);
        const auto it = std::find_if(service.enablements.begin(), service.enablements.end(), [&](const Enablement& e) {
            return e.control == controlGuid && e.session == m_state.get();
        });
        if (it == service.enablements.end()) return ERROR_NOT_FOUND;
        logger = it->logger;
        service.enablements.erase(it);
        if (const Provider* found = FindProviderLocked(service, controlGuid)) {
            provider = *found;
            registered = true;
        }
    }
    if (registered) CallProvider(provider, WMI_DISABLE_EVENTS, logger);
    return ERROR_SUCCESS;
}

TRACEHANDLE TraceSession::LoggerHandle(REFGUID controlGuid) const
{
    auto& service = TheService();
    std::lock_guard data(service.data);
    const Enablement* enablement = FindEnablementLocked(service, controlGuid);
    return enablement != nullptr && enablement->session == m_state.get() ? enablement->logger : 0;
}

}  // namespace platform::support

namespace platform::testing {

using detail::trace::CallProvider;
using detail::trace::Enablement;
using detail::trace::FindEnablementLocked;
using detail::trace::FindProviderLocked;
using detail::trace::Provider;
using detail::trace::TheService;

std::optional<ULONG> SendTraceControlRequest(REFGUID controlGuid, ULONG requestCode)
{
    auto& service = TheService();
    std::lock_guard control(service.control);
    Provider provider{};
    TRACEHANDLE logger = 0;
    {
        std::lock_guard data(service.data);
        const Provider* found = FindProviderLocked(service, controlGuid);
        if (found == nullptr) return std::nullopt;
        provider = *found;
        if (const Enablement* enablement = FindEnablementLocked(service, controlGuid)) logger = enablement->logger;
    }
    return CallProvider(provider, requestCode, logger);
}

bool IsTraceProviderRegistered(REFGUID controlGuid)
{
    auto& service = TheService();
    std::lock_guard data(service.data);
    return FindProviderLocked(service, controlGuid) != nullptr;
}

void TraceRecorder::OnMessage(const TraceMessageRecord& record)
{
    std::lock_guard guard(m_mutex);
    m_messages.push_back(record);
}

std::vector<TraceMessageRecord> TraceRecorder::Messages() const
{
    std::lock_guard guard(m_mutex);
    return m_messages;
}

std::vector<TraceMessageRecord> TraceRecorder::Find(REFGUID messageGuid, USHORT number) const
{
    std::lock_guard guard(m_mutex);
    std::vector<TraceMessageRecord> found;
    for (const auto& record : m_messages) {
        if (record.messageGuid == messageGuid && record.number == number) found.push_back(record);
    }
    return found;
}

std::size_t TraceRecorder::Count() const
{
    std::lock_guard guard(m_mutex);
    return m_messages.size();
}

void TraceRecorder::Clear()
{
    std::lock_guard guard(m_mutex);
    m_messages.clear();
}

}  // namespace platform::testing
