#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/file.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "sim/device_tree.h"

namespace {

using platform::testing::FailCall;
using platform::testing::ScopedFaults;
using platform::testing::ScopedVirtualClock;

constexpr GUID kClass = platform::MakeGuid("{7A3C2B10-4D5E-4F60-8172-93A4B5C6D7E8}");
constexpr WCHAR kInstance[] = u"ROOT\\ECHO\\0000";
constexpr WCHAR kInterfacePath[] = u"\\\\?\\ROOT#ECHO#0000#{7a3c2b10-4d5e-4f60-8172-93a4b5c6d7e8}";
constexpr WCHAR kName[] = u"\\\\.\\ECHO0";

constexpr DWORD kEcho = CTL_CODE(0x8000, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kNeedsWrite = CTL_CODE(0x8000, 0x901, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr DWORD kDirect = CTL_CODE(0x8000, 0x902, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

// Answers its reply (or fails with its error) and remembers what each request showed it.
class EchoDevice final : public sim::DeviceBehavior {
public:
    DWORD IoControl(DWORD, std::span<const BYTE> input, std::span<BYTE> output, DWORD& bytesWritten) override
    {
        std::lock_guard guard(mutex);
        seenInput.assign(input.begin(), input.end());
        seenOutputSize = output.size();
        outputWasZeroed = std::all_of(output.begin(), output.end(), [](BYTE b) { return b == 0; });
        if (error != ERROR_SUCCESS) return error;
        std::copy_n(reply.begin(), std::min(reply.size(), output.size()), output.begin());
        bytesWritten = claimedBytes;
        return ERROR_SUCCESS;
    }

    std::mutex mutex;
    std::vector<BYTE> reply{1, 2, 3, 4};
    DWORD claimedBytes = 4;
    DWORD error = ERROR_SUCCESS;
    std::vector<BYTE> seenInput;
    std::size_t seenOutputSize = 0;
    bool outputWasZeroed = false;
};

class DeviceIo : public ::testing::Test {
protected:
    DeviceIo() { EXPECT_TRUE(sim::AddDevice({kInstance, {{kClass, kInterfacePath}}, {kName}, m_device})); }
    ~DeviceIo() override { sim::ResetDeviceTree(); }

    static HANDLE Open(LPCWSTR path, DWORD access, DWORD share)
    {
        return CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    std::shared_ptr<EchoDevice> m_device = std::make_shared<EchoDevice>();
    ScopedFaults m_faults;
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

TEST_F(DeviceIo, CreateFile_OpensByInterfacePathOrNameWithoutRegardToCase)
{
    HANDLE byInterface = Open(kInterfacePath, kReadWrite, kShareAll);
    ASSERT_NE(byInterface, INVALID_HANDLE_VALUE);
    HANDLE byName = Open(u"\\\\.\\echo0", kReadWrite, kShareAll);
    ASSERT_NE(byName, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::DeviceOpenCount(kInstance), 2u);
    EXPECT_EQ(sim::DeviceOpenHandleCount(kInstance), 2u);
    EXPECT_TRUE(CloseHandle(byInterface));
    EXPECT_TRUE(CloseHandle(byName));
    EXPECT_EQ(sim::DeviceOpenHandleCount(kInstance), 0u);
    EXPECT_FALSE(CloseHandle(byName));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceIo, CreateFile_FailsWithTheLastError)
{
    EXPECT_EQ(Open(u"\\\\.\\NOTHING", kReadWrite, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(u"", kReadWrite, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(kName, kReadWrite, 0, nullptr, 1 /* CREATE_NEW */, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateFileW(kName, kReadWrite, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    FailCall("CreateFileW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(kName, kReadWrite, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(sim::DeviceOpenCount(kInstance), 0u);
}

TEST_F(DeviceIo, CreateFile_ExclusiveOpenRefusesOthersUntilClosed)
{
    HANDLE first = Open(kName, kReadWrite, 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(kName, kReadWrite, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(kInterfacePath, GENERIC_READ, kShareAll), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(first);
    HANDLE second = Open(kName, kReadWrite, 0);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
}

TEST_F(DeviceIo, CreateFile_SharedOpensCoexistAndBindTheLaterOnes)
{
    HANDLE reader = Open(kName, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    HANDLE otherReader = Open(kName, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(otherReader, INVALID_HANDLE_VALUE);
    // The readers do not share write access, and a writer that does not share reading is refused.
    EXPECT_EQ(Open(kName, GENERIC_WRITE, kShareAll), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(kName, GENERIC_READ, FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(reader);
    CloseHandle(otherReader);

    HANDLE shared = Open(kName, kReadWrite, kShareAll);
    HANDLE alsoShared = Open(kInterfacePath, kReadWrite, kShareAll);
    EXPECT_NE(shared, INVALID_HANDLE_VALUE);
    EXPECT_NE(alsoShared, INVALID_HANDLE_VALUE);
    CloseHandle(shared);
    CloseHandle(alsoShared);
}

TEST_F(DeviceIo, DeviceIoControl_DeviceWorksOnSystemBuffersAndOnlyReportedBytesComeBack)
{
    HANDLE device = Open(kName, kReadWrite, 0);
    std::array<BYTE, 3> input{7, 8, 9};
    std::array<BYTE, 8> output;
    output.fill(0xEE);
    m_device->claimedBytes = 2;
    DWORD bytes = 99;
    ASSERT_TRUE(DeviceIoControl(device, kEcho, input.data(), 3, output.data(), 6, &bytes, nullptr));
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(m_device->seenInput, (std::vector<BYTE>{7, 8, 9}));
    EXPECT_EQ(m_device->seenOutputSize, 6u);
    EXPECT_TRUE(m_device->outputWasZeroed);  // the caller's 0xEE never reaches the device
    EXPECT_EQ(output, (std::array<BYTE, 8>{1, 2, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

    // A device that claims more than the buffer holds gets no more than the buffer copied back.
    m_device->claimedBytes = 100;
    ASSERT_TRUE(DeviceIoControl(device, kEcho, nullptr, 0, output.data(), 3, &bytes, nullptr));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(output[3], 0xEE);
    EXPECT_EQ(sim::DeviceRequestCount(kInstance, kEcho), 2u);
    CloseHandle(device);
}

TEST_F(DeviceIo, DeviceIoControl_FailedRequestLeavesTheCallerBufferAlone)
{
    HANDLE device = Open(kName, kReadWrite, 0);
    m_device->error = ERROR_INSUFFICIENT_BUFFER;
    std::array<BYTE, 4> output{0xEE, 0xEE, 0xEE, 0xEE};
    DWORD bytes = 99;
    EXPECT_FALSE(DeviceIoControl(device, kEcho, nullptr, 0, output.data(), 1, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(output, (std::array<BYTE, 4>{0xEE, 0xEE, 0xEE, 0xEE}));

    // A platform-level fault for one control code only.
    m_device->error = ERROR_SUCCESS;
    FailCall("DeviceIoControl:0x80002400", 1, ERROR_GEN_FAILURE);
    EXPECT_FALSE(DeviceIoControl(device, kEcho, nullptr, 0, output.data(), 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(output[0], 0xEE);
    EXPECT_EQ(sim::DeviceRequestCount(kInstance, kEcho), 1u);
    CloseHandle(device);
}

TEST_F(DeviceIo, DeviceIoControl_RefusesWhatThePlatformDoesNotCarry)
{
    HANDLE readOnly = Open(kName, GENERIC_READ, 0);
    BYTE output[4] = {};
    DWORD bytes = 0;
    OVERLAPPED* overlapped = reinterpret_cast<OVERLAPPED*>(output);
    EXPECT_FALSE(DeviceIoControl(readOnly, kNeedsWrite, nullptr, 0, output, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeviceIoControl(readOnly, kDirect, nullptr, 0, output, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(DeviceIoControl(readOnly, kEcho, nullptr, 0, output, 4, &bytes, overlapped));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(DeviceIoControl(readOnly, kEcho, nullptr, 0, output, 4, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(readOnly, kEcho, nullptr, 0, nullptr, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(sim::DeviceRequestCount(kInstance, kEcho), 0u);
    CloseHandle(readOnly);
    EXPECT_FALSE(DeviceIoControl(readOnly, kEcho, nullptr, 0, output, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(event, kEcho, nullptr, 0, output, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

TEST_F(DeviceIo, RemovedDevice_FailsOpenHandlesForGood)
{
    HANDLE device = Open(kName, kReadWrite, 0);
    ASSERT_TRUE(sim::SetDevicePresent(kInstance, false));
    std::array<BYTE, 4> output{0xEE, 0xEE, 0xEE, 0xEE};
    DWORD bytes = 99;
    EXPECT_FALSE(DeviceIoControl(device, kEcho, nullptr, 0, output.data(), 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(output[0], 0xEE);
    EXPECT_EQ(Open(kName, kReadWrite, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // Back again: the old handle stays dead, and does not block a new exclusive open.
    ASSERT_TRUE(sim::SetDevicePresent(kInstance, true));
    EXPECT_FALSE(DeviceIoControl(device, kEcho, nullptr, 0, output.data(), 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    HANDLE fresh = Open(kName, kReadWrite, 0);
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeviceIoControl(fresh, kEcho, nullptr, 0, output.data(), 4, &bytes, nullptr));
    EXPECT_EQ(sim::DeviceRequestCount(kInstance, kEcho), 1u);
    EXPECT_TRUE(CloseHandle(device));
    CloseHandle(fresh);

    // A handle outlives the whole tree's reset, and still fails cleanly.
    HANDLE last = Open(kName, kReadWrite, 0);
    sim::ResetDeviceTree();
    EXPECT_FALSE(DeviceIoControl(last, kEcho, nullptr, 0, output.data(), 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(CloseHandle(last));
}

struct GatedRequest {
    HANDLE device;
    BOOL result = FALSE;
    DWORD error = 0;
    std::array<BYTE, 4> output{0xEE, 0xEE, 0xEE, 0xEE};
};

DWORD WINAPI SendRequest(LPVOID parameter)
{
    auto* request = static_cast<GatedRequest*>(parameter);
    DWORD bytes = 0;
    request->result = DeviceIoControl(request->device, kEcho, nullptr, 0, request->output.data(), 4, &bytes, nullptr);
    request->error = GetLastError();
    return 0;
}

// Sends the request on a thread of its own, and lets it reach the gate.
HANDLE SendOnThread(GatedRequest* request)
{
    HANDLE thread = CreateThread(nullptr, 0, SendRequest, request, 0, nullptr);
    platform::testing::VirtualClock::RunUntilIdle();
    return thread;
}

void Join(HANDLE thread)
{
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
}

TEST_F(DeviceIo, HeldRequests_WaitUntilReleasedOrRemoved)
{
    ScopedVirtualClock clock;
    HANDLE device = Open(kName, kReadWrite, 0);
    ASSERT_TRUE(sim::HoldRequests(kInstance));

    GatedRequest released{device};
    HANDLE thread = SendOnThread(&released);
    EXPECT_EQ(sim::HeldRequestCount(kInstance), 1u);
    EXPECT_EQ(sim::DeviceRequestCount(kInstance, kEcho), 0u);
    ASSERT_TRUE(sim::ReleaseRequests(kInstance));
    Join(thread);
    EXPECT_TRUE(released.result);
    EXPECT_EQ(released.output, (std::array<BYTE, 4>{1, 2, 3, 4}));

    ASSERT_TRUE(sim::HoldRequests(kInstance));
    GatedRequest removed{device};
    thread = SendOnThread(&removed);
    EXPECT_EQ(sim::HeldRequestCount(kInstance), 1u);
    ASSERT_TRUE(sim::SetDevicePresent(kInstance, false));
    Join(thread);
    EXPECT_FALSE(removed.result);
    EXPECT_EQ(removed.error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(removed.output[0], 0xEE);
    EXPECT_EQ(sim::DeviceRequestCount(kInstance, kEcho), 1u);
    CloseHandle(device);
}

// While the hosted device is being removed, what would wait at the gate ends at once; what the
// device answers at once is served; afterwards the gate holds again.
TEST_F(DeviceIo, HeldRequests_EndWhileTheHostedDeviceIsRemoved)
{
    ScopedVirtualClock clock;
    HANDLE device = Open(kName, kReadWrite, 0);
    ASSERT_TRUE(sim::HoldRequests(kInstance));
    GatedRequest pending{device};
    HANDLE thread = SendOnThread(&pending);
    ASSERT_EQ(sim::HeldRequestCount(kInstance), 1u);
    {
        sim::ScopedHostedDeviceRemoval removal;
        Join(thread);
        GatedRequest later{device};
        SendRequest(&later);
        ASSERT_TRUE(sim::ReleaseRequests(kInstance));
        GatedRequest served{device};
        SendRequest(&served);
        ASSERT_TRUE(sim::HoldRequests(kInstance));
        EXPECT_EQ(pending.error, ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(later.error, ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_TRUE(served.result);
    }
    EXPECT_FALSE(pending.result);
    EXPECT_EQ(sim::DeviceRequestCount(kInstance, kEcho), 1u);

    GatedRequest afterwards{device};
    thread = SendOnThread(&afterwards);
    EXPECT_EQ(sim::HeldRequestCount(kInstance), 1u);
    ASSERT_TRUE(sim::ReleaseRequests(kInstance));
    Join(thread);
    EXPECT_TRUE(afterwards.result);
    CloseHandle(device);
}

TEST(DeviceTree, AddDevice_RefusesTakenIdsAndPaths)
{
    auto device = std::make_shared<EchoDevice>();
    EXPECT_TRUE(sim::AddDevice({u"ROOT\\X\\0", {{kClass, u"\\\\?\\x"}}, {u"\\\\.\\X"}, device}));
    EXPECT_FALSE(sim::AddDevice({u"root\\x\\0", {}, {u"\\\\.\\Y"}, device}));
    EXPECT_FALSE(sim::AddDevice({u"ROOT\\Y\\0", {}, {u"\\\\.\\x"}, device}));
    EXPECT_FALSE(sim::AddDevice({u"ROOT\\Y\\0", {{kClass, u"\\\\?\\X"}}, {}, device}));
    EXPECT_FALSE(sim::AddDevice({u"ROOT\\Y\\0", {}, {u""}, device}));
    EXPECT_FALSE(sim::AddDevice({u"ROOT\\Y\\0", {}, {u"\\\\.\\Y"}, nullptr}));
    EXPECT_TRUE(sim::RemoveDevice(u"ROOT\\X\\0"));
    EXPECT_FALSE(sim::RemoveDevice(u"ROOT\\X\\0"));
    EXPECT_TRUE(sim::AddDevice({u"ROOT\\Y\\0", {}, {u"\\\\.\\X"}, device}));
    sim::ResetDeviceTree();
    EXPECT_FALSE(sim::IsDevicePresent(u"ROOT\\Y\\0"));
}

}  // namespace
