#include "platform/trace/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "core/clock.h"
#include "core/fault_injection.h"
#include "core/wait.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "trace/trace_service.h"

namespace platform::detail::trace {

namespace {
constexpr std::size_t kMaxArgumentBytes = 64 * 1024;
}  // namespace

Service& TheService()
{
    // Never destroyed: providers of modules and sessions of tests may outlive static destruction order.
    static auto* service = new Service;
    return *service;
}

Provider* FindProviderLocked(Service& service, REFGUID control)
{
    const auto it = std::find_if(service.providers.begin(), service.providers.end(),
                                 [&](const Provider& p) { return p.control == control; });
    return it != service.providers.end() ? &*it : nullptr;
}

Enablement* FindEnablementLocked(Service& service, REFGUID control)
{
    const auto it = std::find_if(service.enablements.begin(), service.enablements.end(),
                                 [&](const Enablement& e) { return e.control == control; });
    return it != service.enablements.end() ? &*it : nullptr;
}

ULONG CallProvider(const Provider& provider, ULONG requestCode, TRACEHANDLE logger)
{
    ControlBuffer buffer;
    buffer.logger = logger;
    ULONG size = sizeof(buffer);
    return provider.callback(static_cast<WMIDPREQUESTCODE>(requestCode), provider.context, &size, &buffer);
}

}  // namespace platform::detail::trace

using namespace platform::detail::trace;

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, const GUID* ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR, LPCWSTR, PTRACEHANDLE RegistrationHandle)
{
    if (RegistrationHandle == nullptr) return ERROR_INVALID_PARAMETER;
    *RegistrationHandle = 0;
    if (RequestAddress == nullptr || ControlGuid == nullptr || GuidCount != 1 || TraceGuidReg == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (const auto error = platform::detail::CheckFault("RegisterTraceGuidsW", ERROR_NOT_ENOUGH_MEMORY)) {
        return *error;
    }

    auto& service = TheService();
    std::lock_guard control(service.control);
    Provider provider{};
    TRACEHANDLE logger = 0;
    {
        std::lock_guard data(service.data);
        if (FindProviderLocked(service, *ControlGuid) != nullptr) return ERROR_ALREADY_EXISTS;
        provider = Provider{++service.nextHandle, *ControlGuid, RequestAddress, RequestContext};
        service.providers.push_back(provider);
        if (const Enablement* enablement = FindEnablementLocked(service, *ControlGuid)) logger = enablement->logger;
    }
    *RegistrationHandle = provider.registration;
    if (logger != 0) CallProvider(provider, WMI_ENABLE_EVENTS, logger);
    return ERROR_SUCCESS;
}

ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle)
{
    auto& service = TheService();
    std::lock_guard control(service.control);
    std::lock_guard data(service.data);
    const auto it = std::find_if(service.providers.begin(), service.providers.end(),
                                 [&](const Provider& p) { return p.registration == RegistrationHandle; });
    if (RegistrationHandle == 0 || it == service.providers.end()) return ERROR_INVALID_PARAMETER;
    service.providers.erase(it);
    return ERROR_SUCCESS;
}

TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer)
{
    const auto* buffer = static_cast<const ControlBuffer*>(Buffer);
    if (buffer == nullptr || buffer->signature != ControlBuffer::kSignature) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    return buffer->logger;
}

namespace {

template <class Field>
Field EnabledField(TRACEHANDLE logger, Field Enablement::*field)
{
    auto& service = TheService();
    std::lock_guard data(service.data);
    for (const Enablement& enablement : service.enablements) {
        if (enablement.logger == logger) return enablement.*field;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

}  // namespace

UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle)
{
    return EnabledField(TraceHandle, &Enablement::level);
}

ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle)
{
    return EnabledField(TraceHandle, &Enablement::flags);
}

ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, const GUID* MessageGuid, USHORT MessageNumber, ...)
{
    if ((MessageFlags & TRACE_MESSAGE_GUID) != 0 && MessageGuid == nullptr) return ERROR_INVALID_PARAMETER;

    platform::support::TraceMessageRecord record;
    record.messageGuid = (MessageFlags & TRACE_MESSAGE_GUID) != 0 ? *MessageGuid : GUID_NULL;
    record.number = MessageNumber;
    record.flags = MessageFlags;

    std::size_t total = 0;
    va_list arguments;
    // The platform's signature puts the variadic pairs after a USHORT; the compilers we build with
    // locate them correctly after a promoted parameter, so clang's portability warning is silenced.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(arguments, MessageNumber);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    for (;;) {
        const void* address = va_arg(arguments, const void*);
        if (address == nullptr) break;
        const auto length = va_arg(arguments, SIZE_T);
        total += length;
        if (length > kMaxArgumentBytes || total > kMaxArgumentBytes) {
            va_end(arguments);
            return ERROR_INVALID_PARAMETER;
        }
        const auto* bytes = static_cast<const BYTE*>(address);
        record.arguments.emplace_back(bytes, bytes + length);
    }
    va_end(arguments);

    if ((MessageFlags & TRACE_MESSAGE_TIMESTAMP) != 0) {
        // Read without a virtual read step: tracing must not move a test's time.
        std::lock_guard kernel(platform::detail::KernelLock());
        record.timestamp = platform::detail::MonotonicNowLocked();
    }
    if ((MessageFlags & TRACE_MESSAGE_SYSTEMINFO) != 0) record.threadId = GetCurrentThreadId();

    auto& service = TheService();
    std::lock_guard data(service.data);
    const auto it = std::find_if(service.enablements.begin(), service.enablements.end(),
                                 [&](const Enablement& e) { return e.logger == LoggerHandle; });
    if (LoggerHandle == 0 || it == service.enablements.end()) return ERROR_INVALID_HANDLE;
    if ((MessageFlags & TRACE_MESSAGE_SEQUENCE) != 0) record.sequence = ++it->session->sequence;
    it->session->consumer->OnMessage(record);
    return ERROR_SUCCESS;
}
