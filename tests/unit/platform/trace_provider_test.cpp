#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/trace/trace.h"
#include "platform_testing/faults.h"
#include "platform_testing/trace_session.h"
#include "platform_testing/virtual_clock.h"

namespace {

using platform::testing::TraceMessageRecord;
using platform::testing::TraceRecorder;
using platform::testing::TraceSession;

constexpr GUID kControl = platform::MakeGuid("{6D1B0C52-7A31-4F0E-9B8C-2E4F5A6B7C01}");
constexpr GUID kMessages = platform::MakeGuid("{6D1B0C52-7A31-4F0E-9B8C-2E4F5A6B7C02}");

// A provider as a driver writes one: its callback keeps what the controller enabled.
struct TestProvider {
    struct Request {
        ULONG code;
        TRACEHANDLE logger;
        UCHAR level;
        ULONG flags;
    };
    std::vector<Request> requests;
    TRACEHANDLE registration = 0;
    TRACEHANDLE logger = 0;
    ULONG answer = ERROR_SUCCESS;

    static ULONG WINAPI Callback(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer)
    {
        auto* self = static_cast<TestProvider*>(context);
        *size = 0;
        Request request{code, GetTraceLoggerHandle(buffer), 0, 0};
        if (code == WMI_ENABLE_EVENTS) {
            request.level = GetTraceEnableLevel(request.logger);
            request.flags = GetTraceEnableFlags(request.logger);
            self->logger = request.logger;
        } else if (code == WMI_DISABLE_EVENTS) {
            self->logger = 0;
        }
        self->requests.push_back(request);
        return self->answer;
    }

    ULONG Register()
    {
        TRACE_GUID_REGISTRATION record{&kControl, nullptr};
        return RegisterTraceGuidsW(&Callback, this, &kControl, 1, &record, nullptr, nullptr, &registration);
    }

    ~TestProvider()
    {
        if (registration != 0) UnregisterTraceGuids(registration);
    }
};

class TraceProvider : public ::testing::Test {
protected:
    platform::testing::ScopedFaults m_faults;
    TraceRecorder m_recorder;
};

TEST_F(TraceProvider, EnableAfterRegistrationCallsBackWithLevelFlagsAndLogger)
{
    TestProvider provider;
    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    EXPECT_NE(provider.registration, 0u);
    EXPECT_TRUE(provider.requests.empty());

    TraceSession session(m_recorder);
    ASSERT_EQ(session.Enable(kControl, 4, 0x5), ERROR_SUCCESS);
    ASSERT_EQ(provider.requests.size(), 1u);
    EXPECT_EQ(provider.requests[0].code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(provider.requests[0].level, 4);
    EXPECT_EQ(provider.requests[0].flags, 0x5u);
    EXPECT_EQ(provider.requests[0].logger, session.LoggerHandle(kControl));
    EXPECT_NE(provider.logger, 0u);

    ASSERT_EQ(session.Disable(kControl), ERROR_SUCCESS);
    ASSERT_EQ(provider.requests.size(), 2u);
    EXPECT_EQ(provider.requests[1].code, WMI_DISABLE_EVENTS);
    EXPECT_EQ(session.Disable(kControl), ERROR_NOT_FOUND);
}

TEST_F(TraceProvider, SessionEnabledBeforeRegistrationEnablesAtRegistration)
{
    TraceSession session(m_recorder);
    ASSERT_EQ(session.Enable(kControl, 5, 0x1), ERROR_SUCCESS);

    TestProvider provider;
    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    ASSERT_EQ(provider.requests.size(), 1u);
    EXPECT_EQ(provider.requests[0].code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(provider.requests[0].level, 5);
}

TEST_F(TraceProvider, MessageCarriesGuidNumberFlagsArgumentsAndSequence)
{
    TestProvider provider;
    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    TraceSession session(m_recorder);
    session.Enable(kControl, 4, 1);

    const int value = -7;
    const double reading = 21.5;
    const char text[] = "probe";
    const ULONG flags =
        TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;
    ASSERT_EQ(TraceMessage(provider.logger, flags, &kMessages, 12, &value, sizeof(value), text, sizeof(text), &reading,
                           sizeof(reading), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(TraceMessage(provider.logger, flags, &kMessages, 13, nullptr), ERROR_SUCCESS);

    const auto messages = m_recorder.Messages();
    ASSERT_EQ(messages.size(), 2u);
    const TraceMessageRecord& first = messages[0];
    EXPECT_EQ(first.messageGuid, kMessages);
    EXPECT_EQ(first.number, 12);
    EXPECT_EQ(first.flags, flags);
    EXPECT_EQ(first.sequence, 1u);
    EXPECT_EQ(first.threadId, GetCurrentThreadId());
    ASSERT_EQ(first.arguments.size(), 3u);
    EXPECT_EQ(first.arguments[0], std::vector<BYTE>(reinterpret_cast<const BYTE*>(&value),
                                                    reinterpret_cast<const BYTE*>(&value) + sizeof(value)));
    EXPECT_EQ(first.arguments[1], std::vector<BYTE>(text, text + sizeof(text)));
    double decoded = 0;
    ASSERT_EQ(first.arguments[2].size(), sizeof(double));
    std::memcpy(&decoded, first.arguments[2].data(), sizeof(double));
    EXPECT_EQ(decoded, 21.5);
    EXPECT_EQ(messages[1].sequence, 2u);
    EXPECT_TRUE(messages[1].arguments.empty());
}

TEST_F(TraceProvider, TimestampsReadTheOneClockWithoutMovingIt)
{
    platform::testing::ScopedVirtualClock clock{std::chrono::milliseconds(1)};
    TestProvider provider;
    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    TraceSession session(m_recorder);
    session.Enable(kControl, 4, 1);

    TraceMessage(provider.logger, TRACE_MESSAGE_TIMESTAMP, nullptr, 1, nullptr);
    TraceMessage(provider.logger, TRACE_MESSAGE_TIMESTAMP, nullptr, 2, nullptr);
    const auto messages = m_recorder.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].timestamp, 0);
    EXPECT_EQ(messages[0].timestamp, messages[1].timestamp);
    EXPECT_EQ(messages[0].messageGuid, GUID_NULL);
}

TEST_F(TraceProvider, BadMessagesAndStaleLoggersAreRefused)
{
    TestProvider provider;
    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    TraceSession session(m_recorder);
    session.Enable(kControl, 4, 1);
    const TRACEHANDLE logger = provider.logger;

    EXPECT_EQ(TraceMessage(logger, TRACE_MESSAGE_GUID, nullptr, 1, nullptr), ERROR_INVALID_PARAMETER);
    std::vector<BYTE> big(64 * 1024 + 1);
    EXPECT_EQ(TraceMessage(logger, TRACE_MESSAGE_GUID, &kMessages, 1, big.data(), big.size(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(TraceMessage(0, TRACE_MESSAGE_GUID, &kMessages, 1, nullptr), ERROR_INVALID_HANDLE);

    session.Disable(kControl);
    EXPECT_EQ(TraceMessage(logger, TRACE_MESSAGE_GUID, &kMessages, 1, nullptr), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(GetTraceEnableLevel(logger), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(m_recorder.Count(), 0u);

    SetLastError(0);
    EXPECT_EQ(GetTraceLoggerHandle(nullptr), INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(TraceProvider, RegistrationValidatesItsArgumentsAndCanBeMadeToFail)
{
    TestProvider provider;
    TRACE_GUID_REGISTRATION record{&kControl, nullptr};
    TRACEHANDLE handle = 99;
    EXPECT_EQ(RegisterTraceGuidsW(nullptr, &provider, &kControl, 1, &record, nullptr, nullptr, &handle),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(RegisterTraceGuidsW(&TestProvider::Callback, &provider, &kControl, 2, &record, nullptr, nullptr, &handle),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterTraceGuidsW(&TestProvider::Callback, &provider, &kControl, 1, &record, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    platform::testing::FailCall("RegisterTraceGuidsW");
    EXPECT_EQ(provider.Register(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(provider.registration, 0u);
    EXPECT_FALSE(platform::testing::IsTraceProviderRegistered(kControl));

    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    TestProvider second;
    EXPECT_EQ(second.Register(), ERROR_ALREADY_EXISTS);
}

TEST_F(TraceProvider, UnregisteredProviderIsNeverCalledAgain)
{
    TestProvider provider;
    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    ASSERT_EQ(UnregisterTraceGuids(provider.registration), ERROR_SUCCESS);
    EXPECT_EQ(UnregisterTraceGuids(provider.registration), ERROR_INVALID_PARAMETER);
    provider.registration = 0;

    TraceSession session(m_recorder);
    session.Enable(kControl, 4, 1);
    session.Disable(kControl);
    EXPECT_TRUE(provider.requests.empty());
    EXPECT_FALSE(platform::testing::SendTraceControlRequest(kControl, WMI_ENABLE_EVENTS).has_value());
}

TEST_F(TraceProvider, OneSessionAtATimeAndDestructionDisables)
{
    TestProvider provider;
    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    {
        TraceSession session(m_recorder);
        ASSERT_EQ(session.Enable(kControl, 3, 1), ERROR_SUCCESS);
        TraceRecorder other;
        TraceSession second(other);
        EXPECT_EQ(second.Enable(kControl, 5, 1), ERROR_ALREADY_EXISTS);
        ASSERT_EQ(session.Enable(kControl, 5, 3), ERROR_SUCCESS);  // a new level from the same session
        ASSERT_EQ(provider.requests.size(), 2u);
        EXPECT_EQ(provider.requests[1].level, 5);
        EXPECT_EQ(provider.requests[1].flags, 3u);
        EXPECT_EQ(provider.requests[1].logger, provider.requests[0].logger);
    }
    ASSERT_EQ(provider.requests.size(), 3u);
    EXPECT_EQ(provider.requests[2].code, WMI_DISABLE_EVENTS);
    EXPECT_EQ(provider.logger, 0u);
}

TEST_F(TraceProvider, ControlRequestReachesTheCallbackWithAnyCode)
{
    TestProvider provider;
    ASSERT_EQ(provider.Register(), ERROR_SUCCESS);
    provider.answer = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(platform::testing::SendTraceControlRequest(kControl, 99), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(provider.requests.size(), 1u);
    EXPECT_EQ(provider.requests[0].code, 99u);
}

}  // namespace
