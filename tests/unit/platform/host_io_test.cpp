// Device I/O through the host device: files, requests on the default queue, their buffers and
// completion, the checks before the driver, purge and start, requests a caller hands to the driver
// itself, and file cleanup.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "host/host_device.h"
#include "host_test_doubles.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/synch.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "support/com_test_kit.h"

namespace {

using platform::ComPtr;
using platform::host::CHostDevice;
using platform::host::CHostFile;
using platform::host::ClaimedIoRequest;
using platform::host::FileAccess;
using platform::host::HostDeviceOptions;
using platform::host::IoResult;
using platform::host::RecordKind;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr ULONG kAnyAccess = 0x00222400;
constexpr ULONG kReadAccess = IOCTL_GET_RADIO_STATE;
constexpr ULONG kWriteAccess = IOCTL_SET_RADIO_STATE;
constexpr ULONG kReadWriteAccess = 0x0040C108;
constexpr HRESULT kAborted = HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);

// Results of requests sent without waiting, in the order they completed.
class Results {
public:
    platform::host::IoCompletionHandler Handler()
    {
        return [this](IoResult result) {
            std::lock_guard guard(m_mutex);
            m_results.push_back(std::move(result));
        };
    }
    std::vector<HRESULT> Statuses() const
    {
        std::lock_guard guard(m_mutex);
        std::vector<HRESULT> statuses;
        for (const auto& result : m_results) statuses.push_back(result.status);
        return statuses;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<IoResult> m_results;
};

// Runs a function on a platform thread, so that the virtual clock counts it.
HANDLE RunOnPlatformThread(std::function<void()>* body)
{
    return CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            (*static_cast<std::function<void()>*>(parameter))();
            return 0;
        },
        body, 0, nullptr);
}

class HostIo : public ::testing::Test {
protected:
    ~HostIo() override
    {
        if (m_device) m_device->ReleaseDriverReferences();
        if (m_release != nullptr) CloseHandle(m_release);
    }

    // A device whose default queue hands requests to `handler`.
    void MakeDevice(host_test::FakeQueueCallback::Handler handler, std::uint32_t maxDispatchThreads = 16)
    {
        m_callbacks = host_test::MakeCallbacks();
        HostDeviceOptions options;
        options.maxDispatchThreads = maxDispatchThreads;
        ASSERT_EQ(CHostDevice::Create(options, m_callbacks->GetUnknown(), &m_device), S_OK);
        auto callback = host_test::MakeQueueCallback(std::move(handler));
        ASSERT_EQ(m_device->CreateIoQueue(callback->GetUnknown(), TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE,
                                          m_queue.GetAddressOf()),
                  S_OK);
        ASSERT_EQ(m_device->OpenFile(FileAccess::kReadWrite, &m_file), S_OK);
    }

    // A handler that counts itself in, waits for m_release, and completes with S_OK.
    host_test::FakeQueueCallback::Handler Holding()
    {
        m_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return [this](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
            ++m_entered;
            WaitForSingleObject(m_release, INFINITE);
            request->CompleteWithInformation(S_OK, 0);
        };
    }

    std::vector<std::string> DriverErrors() const
    {
        std::vector<std::string> errors;
        for (const auto& entry : m_device->Record().Entries(RecordKind::kDriverError)) {
            errors.push_back(entry.name + ": " + entry.result);
        }
        return errors;
    }

    platform::testing::ScopedVirtualClock m_clock;
    platform::testing::ScopedFaults m_faults;
    ComPtr<host_test::FakeDeviceCallbacks> m_callbacks;
    ComPtr<CHostDevice> m_device;
    ComPtr<IWDFIoQueue> m_queue;
    ComPtr<CHostFile> m_file;
    HANDLE m_release = nullptr;
    std::atomic<int> m_entered{0};
};

TEST_F(HostIo, Request_InputIsACopyAndOutputAZeroedBufferOfTheAskedLength)
{
    std::vector<BYTE> seenInput;
    SIZE_T outputSize = 0;
    bool outputZeroed = false;
    IWDFFile* seenFile = nullptr;
    ULONG seenCode = 0;
    std::pair<SIZE_T, SIZE_T> seenSizes;
    MakeDevice([&](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
        ComPtr<IWDFMemory> input, output;
        ComPtr<IWDFFile> file;
        request->GetInputMemory(input.GetAddressOf());
        request->GetOutputMemory(output.GetAddressOf());
        request->GetFileObject(file.GetAddressOf());
        request->GetDeviceIoControlParameters(&seenCode, &seenSizes.first, &seenSizes.second);
        SIZE_T inputSize = 0;
        const auto* in = static_cast<const BYTE*>(input->GetDataBuffer(&inputSize));
        seenInput.assign(in, in + inputSize);
        auto* out = static_cast<BYTE*>(output->GetDataBuffer(&outputSize));
        outputZeroed = std::all_of(out, out + outputSize, [](BYTE b) { return b == 0; });
        out[0] = 0xAB;
        out[1] = 0xCD;
        seenFile = file.Get();
        request->CompleteWithInformation(S_OK, 2);
    });
    const std::vector<BYTE> input{1, 2, 3};
    const IoResult result = m_device->DeviceIoControl(m_file.Get(), kAnyAccess, input, 8);
    EXPECT_EQ(result.status, S_OK);
    EXPECT_EQ(result.information, 2u);
    EXPECT_THAT(result.output, ElementsAre(0xAB, 0xCD));
    EXPECT_EQ(seenInput, input);
    EXPECT_EQ(outputSize, 8u);
    EXPECT_TRUE(outputZeroed);
    EXPECT_EQ(seenFile, static_cast<IWDFFile*>(m_file.Get()));
    EXPECT_EQ(seenCode, kAnyAccess);
    EXPECT_EQ(seenSizes, std::make_pair(SIZE_T{3}, SIZE_T{8}));
    EXPECT_EQ(m_device->Record().Named("IQueueCallbackDeviceIoControl::OnDeviceIoControl")[0].arguments,
              "queue#1 request#1 code=0x00222400 input=3 output=8");
}

TEST_F(HostIo, Request_ZeroLengthBuffersHaveSizeZeroAndNoData)
{
    SIZE_T inputSize = 99, outputSize = 99;
    void* inputData = reinterpret_cast<void*>(1);
    void* outputData = reinterpret_cast<void*>(1);
    MakeDevice([&](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
        ComPtr<IWDFMemory> input, output;
        request->GetInputMemory(input.GetAddressOf());
        request->GetOutputMemory(output.GetAddressOf());
        inputData = input->GetDataBuffer(&inputSize);
        outputData = output->GetDataBuffer(&outputSize);
        request->CompleteWithInformation(S_OK, 0);
    });
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0).status, S_OK);
    EXPECT_EQ(inputSize, 0u);
    EXPECT_EQ(outputSize, 0u);
    EXPECT_EQ(inputData, nullptr);
    EXPECT_EQ(outputData, nullptr);
}

TEST_F(HostIo, Request_AnOutputBufferBeyondMemoryIsRefusedBeforeTheDriverSeesIt)
{
    bool called = false;
    MakeDevice([&](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
        called = true;
        request->CompleteWithInformation(S_OK, 0);
    });
    for (const SIZE_T length : {std::numeric_limits<SIZE_T>::max(), std::numeric_limits<SIZE_T>::max() - 8}) {
        EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, length).status, E_OUTOFMEMORY);
    }
    EXPECT_FALSE(called);
    EXPECT_EQ(m_device->Record().Count("RefuseRequest"), 2u);
}

TEST_F(HostIo, Request_FailureStatusCarriesNoOutputAndTooLargeInformationIsCut)
{
    HRESULT status = E_FAIL;
    MakeDevice([&](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
        request->CompleteWithInformation(status, 4);
    });
    IoResult failed = m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 4);
    EXPECT_EQ(failed.status, E_FAIL);
    EXPECT_EQ(failed.information, 4u);
    EXPECT_TRUE(failed.output.empty());

    status = S_OK;
    IoResult cut = m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 2);
    EXPECT_EQ(cut.information, 2u);
    EXPECT_EQ(cut.output.size(), 2u);
    EXPECT_THAT(DriverErrors(), ElementsAre(HasSubstr("information 4 exceeds the output buffer of 2 bytes")));
}

TEST_F(HostIo, Requests_RunSeveralAtOnceUpToTheDispatchBound)
{
    MakeDevice(Holding(), 3);
    Results results;
    for (int i = 0; i < 4; ++i) m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler());
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_entered.load(), 3);  // three in the driver at once; the fourth waits in the queue
    EXPECT_TRUE(results.Statuses().empty());

    SetEvent(m_release);
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_entered.load(), 4);
    EXPECT_THAT(results.Statuses(), ElementsAre(S_OK, S_OK, S_OK, S_OK));
}

TEST_F(HostIo, Requests_OneAfterAnotherAreTakenByTheWaitingDispatchThread)
{
    MakeDevice(
        [](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) { request->CompleteWithInformation(S_OK, 0); });
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0).status, S_OK);
    m_clock.RunUntilIdle();  // the dispatching thread is back waiting for the next request
    // No thread can start any more: every later request needs the one that waits.
    platform::testing::FailCallAlways("CreateThread");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0).status, S_OK);
}

TEST_F(HostIo, CompleteWithInformation_ASecondCompletionIsADriverErrorAndIgnored)
{
    MakeDevice([](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
        request->CompleteWithInformation(S_OK, 0);
        request->CompleteWithInformation(E_FAIL, 0);
    });
    Results results;
    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler());
    m_clock.RunUntilIdle();
    EXPECT_THAT(results.Statuses(), ElementsAre(S_OK));
    EXPECT_THAT(DriverErrors(),
                ElementsAre("IWDFIoRequest::CompleteWithInformation: completed a second time; ignored"));
}

TEST_F(HostIo, Request_ReleasedWithoutCompletionIsCompletedAsAborted)
{
    MakeDevice([](IWDFIoQueue*, IWDFIoRequest*, ULONG, SIZE_T, SIZE_T) {});
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0).status, kAborted);
    EXPECT_THAT(DriverErrors(), ElementsAre(HasSubstr("released without being completed")));
}

TEST_F(HostIo, AccessBits_BeyondTheFileAreRefusedBeforeTheDriver)
{
    std::atomic<int> reached{0};
    MakeDevice([&](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
        ++reached;
        request->CompleteWithInformation(S_OK, 0);
    });
    ComPtr<CHostFile> readOnly;
    ASSERT_EQ(m_device->OpenFile(FileAccess::kRead, &readOnly), S_OK);
    EXPECT_EQ(m_device->DeviceIoControl(readOnly.Get(), kWriteAccess, {}, 4).status, E_ACCESSDENIED);
    EXPECT_EQ(m_device->DeviceIoControl(readOnly.Get(), kReadWriteAccess, {}, 4).status, E_ACCESSDENIED);
    EXPECT_EQ(reached.load(), 0);

    EXPECT_EQ(m_device->DeviceIoControl(readOnly.Get(), kReadAccess, {}, 4).status, S_OK);
    EXPECT_EQ(m_device->DeviceIoControl(readOnly.Get(), kAnyAccess, {}, 4).status, S_OK);
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kWriteAccess, {}, 4).status, S_OK);
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kReadWriteAccess, {}, 4).status, S_OK);
    EXPECT_EQ(reached.load(), 4);
    EXPECT_THAT(m_device->Record().Named("RefuseRequest")[0].result,
                HasSubstr("needs write access; the file was opened for read"));
}

TEST_F(HostIo, Requests_WithoutAUsableQueueOrFileFailBeforeTheDriver)
{
    ComPtr<CHostDevice> device;
    ASSERT_EQ(CHostDevice::Create({}, nullptr, &device), S_OK);
    ComPtr<CHostFile> file;
    ASSERT_EQ(device->OpenFile(FileAccess::kReadWrite, &file), S_OK);
    EXPECT_EQ(device->DeviceIoControl(file.Get(), kAnyAccess, {}, 0).status,
              HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));

    // A queue whose callback object answers no IQueueCallbackDeviceIoControl.
    auto notAQueueCallback = host_test::MakeCallbacks();
    ComPtr<IWDFIoQueue> queue;
    ASSERT_EQ(device->CreateIoQueue(notAQueueCallback->GetUnknown(), TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE,
                                    queue.GetAddressOf()),
              S_OK);
    EXPECT_EQ(device->DeviceIoControl(file.Get(), kAnyAccess, {}, 0).status,
              HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));

    MakeDevice(
        [](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) { request->CompleteWithInformation(S_OK, 0); });
    EXPECT_EQ(m_device->DeviceIoControl(file.Get(), kAnyAccess, {}, 0).status, E_HANDLE);  // another device's file
    EXPECT_EQ(m_device->DeviceIoControl(nullptr, kAnyAccess, {}, 0).status, E_HANDLE);
    device->ReleaseDriverReferences();
}

TEST_F(HostIo, PurgeSynchronously_AbortsWaitingRequestsWaitsForDispatchedOnesAndRefusesUntilStart)
{
    MakeDevice(Holding(), 1);
    Results results;
    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler());  // in the driver
    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler());  // waits in the queue
    m_clock.RunUntilIdle();
    ASSERT_EQ(m_entered.load(), 1);

    std::atomic<bool> purged{false};
    std::function<void()> purge = [&] {
        m_queue->PurgeSynchronously();
        purged = true;
    };
    HANDLE purger = RunOnPlatformThread(&purge);
    ASSERT_NE(purger, nullptr);
    m_clock.RunUntilIdle();
    EXPECT_THAT(results.Statuses(), ElementsAre(kAborted));  // the waiting one
    EXPECT_FALSE(purged.load());                             // the dispatched one is still in the driver

    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler());  // refused while purged
    EXPECT_THAT(results.Statuses(), ElementsAre(kAborted, kAborted));

    SetEvent(m_release);
    EXPECT_EQ(WaitForSingleObject(purger, INFINITE), WAIT_OBJECT_0);
    CloseHandle(purger);
    EXPECT_TRUE(purged.load());
    EXPECT_THAT(results.Statuses(), ElementsAre(kAborted, kAborted, S_OK));
    EXPECT_EQ(m_device->Record().Named("IWDFIoQueue::PurgeSynchronously")[0].result, "aborted=1");

    m_queue->Start();
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0).status, S_OK);
    EXPECT_EQ(m_entered.load(), 2);
}

TEST_F(HostIo, ClaimedRequest_RunsOnTheCallersThreadOnlyWhenNoneWaitsBeforeItAndNotAfterRemoval)
{
    std::thread::id ranOn;
    MakeDevice(
        [&](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) {
            ranOn = std::this_thread::get_id();
            ++m_entered;
            if (m_release != nullptr) WaitForSingleObject(m_release, INFINITE);
            request->CompleteWithInformation(S_OK, 0);
        },
        1);
    Results results;
    ClaimedIoRequest claim;
    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler(), &claim);
    ASSERT_TRUE(claim);
    EXPECT_EQ(m_entered.load(), 0);  // nothing runs until the caller hands it on
    claim.Dispatch();
    EXPECT_FALSE(claim);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_THAT(results.Statuses(), ElementsAre(S_OK));

    // A request waits in the queue behind one held in the driver: the next is queued, not claimed.
    m_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler());
    m_clock.RunUntilIdle();
    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler());
    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler(), &claim);
    EXPECT_FALSE(claim);
    SetEvent(m_release);
    m_clock.RunUntilIdle();
    EXPECT_THAT(results.Statuses(), ElementsAre(S_OK, S_OK, S_OK, S_OK));

    // Claimed before the device's host threads closed, handed on after: the driver is not called.
    m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0, results.Handler(), &claim);
    ASSERT_TRUE(claim);
    const int entered = m_entered.load();
    m_device->ReleaseDriverReferences();
    claim.Dispatch();
    EXPECT_EQ(m_entered.load(), entered);
    EXPECT_EQ(results.Statuses().back(), HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(HostIo, CloseFile_RunsTheCleanupCallbackOnAHostThreadOnce)
{
    MakeDevice(
        [](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) { request->CompleteWithInformation(S_OK, 0); });
    const ULONG refs = test_support::RefCount(m_file->GetUnknown());
    ASSERT_EQ(m_device->CloseFile(m_file.Get()), S_OK);
    EXPECT_EQ(m_callbacks->cleanups.load(), 1);
    EXPECT_EQ(test_support::RefCount(m_file->GetUnknown()), refs);  // the host's reference went with the cleanup
    EXPECT_EQ(m_device->CloseFile(m_file.Get()), E_HANDLE);
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0).status, E_HANDLE);
    EXPECT_EQ(m_callbacks->cleanups.load(), 1);
    EXPECT_EQ(m_device->Record().Named("IFileCallbackCleanup::OnCleanupFile")[0].arguments, "file#1");
}

TEST_F(HostIo, CloseFile_ManyAtOnceShareAFewHostThreadsAndEachCleanupRunsOnce)
{
    MakeDevice(Holding());
    std::mutex mutex;
    std::set<std::thread::id> threads;  // guarded by mutex
    m_callbacks->onCleanup = [&] {
        {
            std::lock_guard guard(mutex);
            threads.insert(std::this_thread::get_id());
        }
        WaitForSingleObject(m_release, INFINITE);
    };
    constexpr int kFiles = 30;
    constexpr int kCleanupThreads = 4;  // the host's threads for cleanups
    for (int i = 0; i < kFiles; ++i) {
        ComPtr<CHostFile> file;
        ASSERT_EQ(m_device->OpenFile(FileAccess::kRead, &file), S_OK);
        ASSERT_EQ(m_device->CloseFile(file.Get(), nullptr), S_OK);
    }
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_callbacks->cleanups.load(), kCleanupThreads);
    SetEvent(m_release);
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_callbacks->cleanups.load(), kFiles);
    std::lock_guard guard(mutex);
    EXPECT_EQ(threads.size(), static_cast<std::size_t>(kCleanupThreads));
}

TEST_F(HostIo, WithoutHostThreads_RequestsFailAndCleanupStillRuns)
{
    MakeDevice(
        [](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) { request->CompleteWithInformation(S_OK, 0); });
    platform::testing::FailCallAlways("CreateThread");
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0).status,
              HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    ASSERT_EQ(m_device->CloseFile(m_file.Get()), S_OK);
    EXPECT_EQ(m_callbacks->cleanups.load(), 1);
}

TEST_F(HostIo, AfterReleasingDriverReferences_IoIsRefused)
{
    MakeDevice(
        [](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) { request->CompleteWithInformation(S_OK, 0); });
    m_device->ReleaseDriverReferences();
    ComPtr<CHostFile> file;
    EXPECT_EQ(m_device->OpenFile(FileAccess::kRead, &file), HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(m_device->DeviceIoControl(m_file.Get(), kAnyAccess, {}, 0).status,
              HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(m_device->CloseFile(m_file.Get()), S_OK);  // the file is let go; no driver to tell
    EXPECT_EQ(m_callbacks->cleanups.load(), 0);
}

}  // namespace
