// Files that take sensor events, and the sensor-protocol transport through the host's device I/O:
// what an in-process client of the host uses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "host/driver_host.h"
#include "host/host_transport.h"
#include "host_test_doubles.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/synch.h"
#include "platform_testing/virtual_clock.h"
#include "transport/client_events.h"

namespace {

using platform::ComPtr;
using platform::host::CHostFile;
using platform::host::DriverHost;
using platform::host::FileAccess;
using Bytes = std::vector<std::uint8_t>;

constexpr ULONG kPostToFile = 0x00222400;  // the queue posts the input to the request's file as an event

// Events a handler received, in order.
class Received {
public:
    platform::host::ClientEventHandler Handler()
    {
        return [this](std::span<const std::uint8_t> event) {
            std::lock_guard guard(m_mutex);
            m_events.emplace_back(event.begin(), event.end());
        };
    }
    std::vector<Bytes> Events() const
    {
        std::lock_guard guard(m_mutex);
        return m_events;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Bytes> m_events;
};

class HostClientFile : public ::testing::Test {
protected:
    HostClientFile()
    {
        auto callbacks = host_test::MakeCallbacks();
        // Stands in for the class extension: delivers the request's input to its file's event sink,
        // and answers with the input echoed.
        callbacks->queueCallback =
            host_test::MakeQueueCallback([this](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
                ComPtr<IWDFMemory> input;
                ComPtr<IWDFMemory> output;
                request->GetInputMemory(input.GetAddressOf());
                request->GetOutputMemory(output.GetAddressOf());
                SIZE_T inputSize = 0;
                SIZE_T outputSize = 0;
                const auto* in = static_cast<const std::uint8_t*>(input->GetDataBuffer(&inputSize));
                ComPtr<IWDFFile> file;
                request->GetFileObject(file.GetAddressOf());
                ComPtr<transport::IClientEventSink> sink;
                m_sinkAnswered = SUCCEEDED(file.As(&sink));
                if (sink) sink->OnSensorEvent(in, inputSize);
                auto* out = static_cast<std::uint8_t*>(output->GetDataBuffer(&outputSize));
                const SIZE_T copied = std::min(inputSize, outputSize);
                if (copied != 0) std::copy(in, in + copied, out);
                request->CompleteWithInformation(S_OK, copied);
            });
        m_driver = ComPtr<host_test::FakeDriverEntry>(new host_test::FakeDriverEntry(callbacks));
        EXPECT_TRUE(m_host.UseDriver(m_driver.Get()).ok());
        EXPECT_TRUE(m_host.AddDevice().ok());
        EXPECT_TRUE(m_host.Start().ok());
    }

    platform::testing::ScopedVirtualClock m_clock;
    ComPtr<host_test::FakeDriverEntry> m_driver;
    std::atomic<bool> m_sinkAnswered{false};
    DriverHost m_host;
};

TEST_F(HostClientFile, EventsReachTheHandlerUntilTheFileIsClosed)
{
    Received received;
    ComPtr<CHostFile> file;
    ASSERT_EQ(m_host.OpenFile(FileAccess::kReadWrite, received.Handler(), &file), S_OK);
    const auto transport = platform::host::MakeSensorTransport(m_host, file.Get());

    const Bytes event{1, 2, 3};
    const transport::TransportReply reply = transport(kPostToFile, event, 8);
    EXPECT_EQ(reply.status, S_OK);
    EXPECT_EQ(reply.information, 3u);
    EXPECT_EQ(reply.output, event);
    EXPECT_TRUE(m_sinkAnswered);
    EXPECT_THAT(received.Events(), ::testing::ElementsAre(event));

    // After the close the file still answers the sink (someone may hold it), but nothing arrives.
    ComPtr<transport::IClientEventSink> sink;
    ASSERT_EQ(file.As(&sink), S_OK);
    ASSERT_EQ(m_host.CloseFile(file.Get()), S_OK);
    sink->OnSensorEvent(event.data(), event.size());
    EXPECT_EQ(received.Events().size(), 1u);
}

TEST_F(HostClientFile, FileWithoutHandler_DoesNotTakeEvents)
{
    ComPtr<CHostFile> file;
    ASSERT_EQ(m_host.OpenFile(FileAccess::kReadWrite, &file), S_OK);
    const Bytes event{9};
    EXPECT_EQ(platform::host::MakeSensorTransport(m_host, file.Get())(kPostToFile, event, 1).status, S_OK);
    EXPECT_FALSE(m_sinkAnswered);
    EXPECT_EQ(m_host.CloseFile(file.Get()), S_OK);
}

TEST_F(HostClientFile, Close_WaitsForAnEventCallInProgressAndEndsWithIt)
{
    HANDLE inHandler = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> calls{0};
    ComPtr<CHostFile> file;
    ASSERT_EQ(m_host.OpenFile(
                  FileAccess::kReadWrite,
                  [&](std::span<const std::uint8_t>) {
                      ++calls;
                      SetEvent(inHandler);
                      WaitForSingleObject(release, INFINITE);
                  },
                  &file),
              S_OK);
    ComPtr<transport::IClientEventSink> sink;
    ASSERT_EQ(file.As(&sink), S_OK);
    const Bytes event{7};
    std::atomic<bool> closed{false};
    // The delivering thread stays (blocked) after the call: its end would wake every waiter anyway.
    HANDLE leave = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::function<void()> deliver = [&] {
        sink->OnSensorEvent(event.data(), event.size());
        WaitForSingleObject(leave, INFINITE);
    };
    std::function<void()> close = [&] {
        EXPECT_EQ(m_host.CloseFile(file.Get()), S_OK);
        closed = true;
    };
    const auto run = [](std::function<void()>* body) {
        return CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
                (*static_cast<std::function<void()>*>(parameter))();
                return 0;
            },
            body, 0, nullptr);
    };
    HANDLE delivering = run(&deliver);
    ASSERT_EQ(WaitForSingleObject(inHandler, INFINITE), WAIT_OBJECT_0);
    HANDLE closing = run(&close);
    m_clock.RunUntilIdle();
    EXPECT_FALSE(closed);  // the handler is still running

    SetEvent(release);
    m_clock.RunUntilIdle();
    EXPECT_TRUE(closed);  // the end of the call let the close go on
    sink->OnSensorEvent(event.data(), event.size());
    EXPECT_EQ(calls.load(), 1);
    SetEvent(leave);
    WaitForSingleObject(delivering, INFINITE);
    for (HANDLE handle : {delivering, closing, inHandler, release, leave}) CloseHandle(handle);
}

}  // namespace
