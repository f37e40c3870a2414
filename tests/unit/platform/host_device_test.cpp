// The host device on its own: what the driver gets from IWDFDevice, IWDFDevice2 and IWDFDevice3,
// and what the host keeps of it.
#include "host/host_device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>

#include "host_test_doubles.h"
#include "platform_testing/faults.h"
#include "sim/device_tree.h"
#include "support/com_test_kit.h"

namespace {

using platform::ComPtr;
using platform::host::CHostDevice;
using platform::host::HostDeviceOptions;
using platform::host::RecordKind;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr GUID kSensorInterface = platform::MakeGuid("{3BA2B796-B3F0-4225-9F8E-62A38E444208}");

class HostDevice : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CHostDevice::Create({}, nullptr, &m_device), S_OK); }
    ~HostDevice() override
    {
        if (m_device) m_device->ReleaseDriverReferences();
        sim::ResetHostedDevice();
    }

    std::vector<std::string> DriverErrors() const
    {
        std::vector<std::string> errors;
        for (const auto& entry : m_device->Record().Entries(RecordKind::kDriverError)) {
            errors.push_back(entry.name + ": " + entry.result);
        }
        return errors;
    }

    platform::testing::ScopedFaults m_faults;
    ComPtr<CHostDevice> m_device;
};

TEST_F(HostDevice, AnswersTheThreeDeviceInterfaces)
{
    test_support::ExpectInterface(m_device->GetUnknown(), __uuidof(IWDFDevice), true);
    test_support::ExpectInterface(m_device->GetUnknown(), __uuidof(IWDFDevice2), true);
    test_support::ExpectInterface(m_device->GetUnknown(), __uuidof(IWDFDevice3), true);
    test_support::ExpectInterface(m_device->GetUnknown(), __uuidof(IWDFIoQueue), false);
}

TEST_F(HostDevice, RetrieveDeviceInstanceId_GivesTheSizeThenTheText)
{
    ASSERT_TRUE(sim::SetHostedDevice({u"ROOT\\PROBE\\0001", u"Probe"}));
    DWORD size = 0;
    ASSERT_EQ(m_device->RetrieveDeviceInstanceId(nullptr, &size), S_OK);
    EXPECT_EQ(size, 16u);  // 15 characters and the terminator

    std::u16string buffer(size, u'#');
    ASSERT_EQ(m_device->RetrieveDeviceInstanceId(buffer.data(), &size), S_OK);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(buffer, std::u16string(u"ROOT\\PROBE\\0001") + u'\0');

    const auto calls = m_device->Record().Named("IWDFDevice::RetrieveDeviceInstanceId");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].arguments, "buffer=null");
    EXPECT_EQ(calls[1].result, "S_OK size=16 \"ROOT\\PROBE\\0001\"");
}

TEST_F(HostDevice, RetrieveDeviceInstanceId_RefusesSmallBuffersAndMissingEntries)
{
    DWORD size = 4;
    char16_t small[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_EQ(m_device->RetrieveDeviceInstanceId(small, &size), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, std::u16string_view(sim::kDefaultHostedDeviceInstanceId).size() + 1);
    EXPECT_EQ(small[0], u'a');  // untouched
    EXPECT_EQ(m_device->RetrieveDeviceInstanceId(nullptr, nullptr), E_POINTER);

    sim::RemoveHostedDevice();
    EXPECT_EQ(m_device->RetrieveDeviceInstanceId(nullptr, &size), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));

    sim::ResetHostedDevice();
    platform::testing::FailCall("IWDFDevice::RetrieveDeviceInstanceId");
    EXPECT_EQ(m_device->RetrieveDeviceInstanceId(nullptr, &size), E_OUTOFMEMORY);
    EXPECT_EQ(m_device->RetrieveDeviceInstanceId(nullptr, &size), S_OK);
}

TEST_F(HostDevice, GetDefaultIoQueue_IsNoneUntilCreated)
{
    ComPtr<IWDFIoQueue> queue;
    m_device->GetDefaultIoQueue(queue.GetAddressOf());
    EXPECT_EQ(queue, nullptr);
    EXPECT_FALSE(m_device->HasDefaultQueue());

    auto callback = host_test::MakeCompletingQueueCallback();
    ComPtr<IWDFIoQueue> created;
    ASSERT_EQ(m_device->CreateIoQueue(callback->GetUnknown(), TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE,
                                      created.GetAddressOf()),
              S_OK);
    m_device->GetDefaultIoQueue(queue.GetAddressOf());
    EXPECT_EQ(queue, created);
    EXPECT_EQ(m_device->Record().Named("IWDFDevice::CreateIoQueue")[0].arguments,
              "default=TRUE dispatch=2 powerManaged=FALSE allowZeroLength=TRUE");
}

TEST_F(HostDevice, CreateIoQueue_RefusesWhatTheHostDoesNotRun)
{
    auto callback = host_test::MakeCompletingQueueCallback();
    IUnknown* unknown = callback->GetUnknown();
    ComPtr<IWDFIoQueue> queue;
    EXPECT_EQ(m_device->CreateIoQueue(unknown, TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE, nullptr), E_POINTER);
    EXPECT_EQ(m_device->CreateIoQueue(nullptr, TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE, queue.GetAddressOf()),
              E_INVALIDARG);
    EXPECT_EQ(m_device->CreateIoQueue(unknown, TRUE, WdfIoQueueDispatchInvalid, FALSE, TRUE, queue.GetAddressOf()),
              E_INVALIDARG);
    EXPECT_EQ(m_device->CreateIoQueue(unknown, TRUE, WdfIoQueueDispatchSequential, FALSE, TRUE, queue.GetAddressOf()),
              E_NOTIMPL);
    EXPECT_EQ(m_device->CreateIoQueue(unknown, TRUE, WdfIoQueueDispatchParallel, TRUE, TRUE, queue.GetAddressOf()),
              E_NOTIMPL);
    EXPECT_EQ(queue, nullptr);

    platform::testing::FailCall("IWDFDevice::CreateIoQueue", 1, static_cast<std::uint32_t>(E_FAIL));
    EXPECT_EQ(m_device->CreateIoQueue(unknown, TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE, queue.GetAddressOf()),
              E_FAIL);
    EXPECT_FALSE(m_device->HasDefaultQueue());

    ASSERT_EQ(m_device->CreateIoQueue(unknown, TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE, queue.GetAddressOf()),
              S_OK);
    ComPtr<IWDFIoQueue> second;
    EXPECT_EQ(m_device->CreateIoQueue(unknown, TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE, second.GetAddressOf()),
              HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(m_device->CreateIoQueue(unknown, FALSE, WdfIoQueueDispatchParallel, FALSE, TRUE, second.GetAddressOf()),
              S_OK);
    EXPECT_NE(second, queue);
}

TEST_F(HostDevice, DeviceInterfaceState_IsKeptPerInterfaceClass)
{
    constexpr GUID kOther = platform::MakeGuid("{0B9D7C1E-2F3A-4B5C-8D6E-7F8091A2B3C4}");
    EXPECT_EQ(m_device->AssignDeviceInterfaceState(&kSensorInterface, nullptr, TRUE),
              HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    ASSERT_EQ(m_device->CreateDeviceInterface(&kSensorInterface, nullptr), S_OK);
    EXPECT_EQ(m_device->DeviceInterfaceEnabled(kSensorInterface), false);
    ASSERT_EQ(m_device->AssignDeviceInterfaceState(&kSensorInterface, nullptr, TRUE), S_OK);
    EXPECT_EQ(m_device->DeviceInterfaceEnabled(kSensorInterface), true);
    EXPECT_EQ(m_device->DeviceInterfaceEnabled(kOther), std::nullopt);
    EXPECT_EQ(m_device->DeviceInterfaceEnabled(kSensorInterface, u"ref"), std::nullopt);
    EXPECT_EQ(m_device->CreateDeviceInterface(nullptr, nullptr), E_INVALIDARG);

    EXPECT_EQ(m_device->Record().Named("IWDFDevice::AssignDeviceInterfaceState").back().arguments,
              "{3BA2B796-B3F0-4225-9F8E-62A38E444208} reference=null enable=TRUE");
}

TEST_F(HostDevice, StopIdleAndResumeIdle_CountPowerReferences)
{
    m_device->StopIdle(FALSE);
    m_device->StopIdle(FALSE);
    EXPECT_EQ(m_device->PowerReferenceCount(), 2);
    m_device->ResumeIdle();
    EXPECT_EQ(m_device->PowerReferenceCount(), 1);
    EXPECT_EQ(m_device->Record().Named("IWDFDevice2::StopIdle")[0].arguments, "fWaitForD0=FALSE");
    EXPECT_EQ(m_device->Record().Named("IWDFDevice2::ResumeIdle")[0].result, "references=1");
    EXPECT_TRUE(DriverErrors().empty());
}

TEST_F(HostDevice, ResumeIdle_WithoutAReferenceIsADriverError)
{
    m_device->ResumeIdle();
    EXPECT_EQ(m_device->PowerReferenceCount(), 0);
    EXPECT_THAT(DriverErrors(), ElementsAre(HasSubstr("IWDFDevice2::ResumeIdle: no power reference")));
    m_device->StopIdle(FALSE);
    EXPECT_EQ(m_device->PowerReferenceCount(), 1);
}

TEST_F(HostDevice, AssignS0IdleSettingsEx_KeepsTheRecord)
{
    WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings{32,       IdleCannotWakeFromS0,    PowerDeviceD2,
                                                    100,      IdleAllowUserControl,    WdfFalse,
                                                    WdfFalse, SystemManagedIdleTimeout};
    ComPtr<IWDFDevice3> device3;
    ASSERT_EQ(m_device.As(&device3), S_OK);
    ASSERT_EQ(device3->AssignS0IdleSettingsEx(&settings), S_OK);

    const auto kept = m_device->Record().LastIdleSettings();
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->DxState, PowerDeviceD2);
    EXPECT_EQ(kept->IdleTimeoutType, SystemManagedIdleTimeout);
    EXPECT_EQ(m_device->IdleSettings()->IdleTimeout, 100u);
    EXPECT_EQ(m_device->Record().Named("IWDFDevice3::AssignS0IdleSettingsEx")[0].arguments,
              "Size=32 IdleCaps=1 DxState=3 IdleTimeout=100 UserControlOfIdleSettings=2 Enabled=0 "
              "PowerUpIdleDeviceOnSystemWake=0 IdleTimeoutType=1");

    settings.Size = 28;
    EXPECT_EQ(device3->AssignS0IdleSettingsEx(&settings), E_INVALIDARG);
    EXPECT_EQ(device3->AssignS0IdleSettingsEx(nullptr), E_INVALIDARG);
    EXPECT_EQ(m_device->IdleSettings()->Size, 32u);
}

TEST_F(HostDevice, AssignS0IdleSettingsEx_NeedsPowerPolicyOwnership)
{
    HostDeviceOptions options;
    options.powerPolicyOwner = false;
    ComPtr<CHostDevice> device;
    ASSERT_EQ(CHostDevice::Create(options, nullptr, &device), S_OK);
    WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings{32,       IdleCannotWakeFromS0,    PowerDeviceD3,
                                                    100,      IdleAllowUserControl,    WdfFalse,
                                                    WdfFalse, SystemManagedIdleTimeout};
    EXPECT_EQ(device->AssignS0IdleSettingsEx(&settings), HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(device->IdleSettings().has_value());
    EXPECT_FALSE(device->Record().LastIdleSettings().has_value());
}

TEST_F(HostDevice, DeviceCallbacks_AreCalledOnlyWhenAnsweredAndRecordedWithTheirResults)
{
    auto callbacks = host_test::MakeCallbacks();
    callbacks->d0EntryResult = E_FAIL;
    ComPtr<CHostDevice> device;
    ASSERT_EQ(CHostDevice::Create({}, callbacks->GetUnknown(), &device), S_OK);
    EXPECT_EQ(device->CallPrepareHardware(), S_OK);
    EXPECT_EQ(device->CallD0Entry(WdfPowerDeviceD3Final), E_FAIL);
    device->CallSelfManagedIoFlush();
    const auto entries = device->Record().Entries(RecordKind::kCallback);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].name, "IPnpCallback::OnD0Entry");
    EXPECT_EQ(entries[1].arguments, "previousState=5");
    EXPECT_EQ(entries[1].result, "E_FAIL (0x80004005)");
    device->ReleaseDriverReferences();

    // A device without callbacks answers S_OK and calls nothing.
    EXPECT_EQ(m_device->CallPrepareHardware(), S_OK);
    EXPECT_TRUE(m_device->Record().Entries(RecordKind::kCallback).empty());
}

TEST_F(HostDevice, ReleaseDriverReferences_LetsTheCallbackObjectGo)
{
    auto callbacks = host_test::MakeCallbacks();
    callbacks->queueCallback = host_test::MakeCompletingQueueCallback();
    ComPtr<CHostDevice> device;
    ASSERT_EQ(CHostDevice::Create({}, callbacks->GetUnknown(), &device), S_OK);
    ASSERT_EQ(device->CallPrepareHardware(), S_OK);
    EXPECT_GT(test_support::RefCount(callbacks->GetUnknown()), 1u);
    EXPECT_GT(test_support::RefCount(callbacks->queueCallback->GetUnknown()), 1u);

    device->ReleaseDriverReferences();
    EXPECT_EQ(test_support::RefCount(callbacks->GetUnknown()), 1u);
    EXPECT_EQ(test_support::RefCount(callbacks->queueCallback->GetUnknown()), 1u);
    EXPECT_EQ(device->CallPrepareHardware(), S_OK);  // nothing left to call
}

TEST(HostRecord, KeepsTheLatestEntriesAndCountsTheDropped)
{
    platform::host::HostRecord record;
    record.SetCapacity(2);
    const auto first = record.Add(RecordKind::kHostEvent, "one");
    record.Add(RecordKind::kHostEvent, "two");
    const auto third = record.Add(RecordKind::kHostEvent, "three");
    record.SetResult(first, "lost");  // dropped already: nothing happens
    record.SetResult(third, "kept");
    EXPECT_EQ(record.DroppedEntries(), 1u);
    EXPECT_THAT(record.Names(RecordKind::kHostEvent), ElementsAre("two", "three"));
    EXPECT_EQ(record.ToText(), "host event two()\nhost event three() -> kept\n");
}

// Entries are written into the storage of dropped or cleared ones: whatever the order of adds,
// results, capacity changes and clears, the record reads like a plain list of the latest entries.
TEST(HostRecord, ReusedStorageKeepsTheLatestEntriesInOrder)
{
    platform::host::HostRecord record;
    struct Kept {
        platform::host::HostRecord::Token token;
        std::string text;
    };
    std::deque<Kept> expected;
    std::size_t capacity = platform::host::HostRecord::kDefaultCapacity;
    std::uint32_t seed = 7;
    const auto next = [&seed](std::uint32_t bound) { return (seed = seed * 1103515245u + 12345u) / 65536u % bound; };
    for (int step = 0; step < 2000; ++step) {
        const std::uint32_t action = next(20);
        if (action == 0) {
            capacity = 1 + next(6);
            record.SetCapacity(capacity);
        } else if (action == 1) {
            record.Clear();
            expected.clear();
        } else if (action < 5 && !expected.empty()) {
            Kept& entry = expected[next(static_cast<std::uint32_t>(expected.size()))];
            record.SetResult(entry.token, {"result ", step});
            entry.text = entry.text.substr(0, entry.text.find(" -> ")) + " -> result " + std::to_string(step);
        } else {
            const std::string arguments(next(40), 'a');  // some longer than a string holds in place
            const auto token = record.Add(RecordKind::kHostEvent, "entry", {arguments, " #", step});
            expected.push_back({token, "host event entry(" + arguments + " #" + std::to_string(step) + ")"});
        }
        while (expected.size() > capacity) expected.pop_front();
        std::string text;
        for (const Kept& entry : expected) text += entry.text + "\n";
        ASSERT_EQ(record.ToText(), text) << "step " << step;
    }
}

TEST(HostRecord, JoinsTextPiecesAndWritesNumbersInDecimal)
{
    platform::host::HostRecord record;
    const std::string label = "request#12";
    record.Add(RecordKind::kDriverCall, "name",
               {label, " a=", 0, " b=", -7, " c=", std::uint64_t{18446744073709551615u}},
               {std::string_view("4096"), " bytes"});
    EXPECT_EQ(record.ToText(), "driver call name(request#12 a=0 b=-7 c=18446744073709551615) -> 4096 bytes\n");
}

TEST(HostRecord, HresultText_NamesCommonResultsAndGivesEveryOtherInEightHexDigits)
{
    using platform::host::HresultText;
    EXPECT_EQ(HresultText(S_OK), "S_OK");
    EXPECT_EQ(HresultText(E_NOTIMPL), "E_NOTIMPL (0x80004001)");
    EXPECT_EQ(HresultText(static_cast<HRESULT>(0x8007045A)), "0x8007045A");
    EXPECT_EQ(HresultText(static_cast<HRESULT>(0x0000000A)), "0x0000000A");
    EXPECT_EQ(HresultText(static_cast<HRESULT>(0xFEDCBA90)), "0xFEDCBA90");
}

}  // namespace
