// Device setup for a device instance: an empty set, the device opened into it by its instance ID,
// and its description property, answered from the simulated machine's entry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kernel/handle.h"
#include "platform/kernel/last_error.h"
#include "platform/setupapi/setupapi.h"
#include "platform_testing/faults.h"
#include "sim/device_tree.h"

namespace {

using platform::testing::FailCall;

class SetupApiDeviceInfo : public ::testing::Test {
protected:
    SetupApiDeviceInfo()
    {
        sim::SetHostedDevice({u"ROOT\\SENSOR\\0007", u"Probe by the window"});
        m_set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        EXPECT_NE(m_set, INVALID_HANDLE_VALUE);
        m_info.cbSize = sizeof(m_info);
    }
    ~SetupApiDeviceInfo() override
    {
        if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
        sim::ResetHostedDevice();
    }

    // Reads the description into a 520-byte buffer, as the driver does.
    BOOL ReadDescription(std::u16string* text, DEVPROPTYPE* type, DWORD* required, DWORD bufferSize = 520)
    {
        BYTE buffer[520] = {};
        const BOOL ok = SetupDiGetDevicePropertyW(m_set, &m_info, &DEVPKEY_Device_DeviceDesc, type, buffer, bufferSize,
                                                  required, 0);
        if (ok) *text = reinterpret_cast<const char16_t*>(buffer);
        return ok;
    }

    platform::testing::ScopedFaults m_faults;
    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_info{};
};

TEST_F(SetupApiDeviceInfo, OpenedDevice_AnswersItsDescriptionAsAString)
{
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(m_set, u"root\\sensor\\0007", nullptr, 0, &m_info));
    std::u16string text;
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    ASSERT_TRUE(ReadDescription(&text, &type, &required));
    EXPECT_EQ(text, u"Probe by the window");
    EXPECT_EQ(type, DEVPROP_TYPE_STRING);
    EXPECT_EQ(required, 40u);  // 19 characters and the terminator
}

TEST_F(SetupApiDeviceInfo, Description_IsTheOneOfTheMomentTheDeviceWasOpened)
{
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 0, &m_info));
    sim::SetHostedDeviceDescription(u"");
    std::u16string text;
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    ASSERT_TRUE(ReadDescription(&text, &type, &required));
    EXPECT_EQ(text, u"Probe by the window");

    SP_DEVINFO_DATA second{};
    second.cbSize = sizeof(second);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 0, &second));
    m_info = second;
    ASSERT_TRUE(ReadDescription(&text, &type, &required));
    EXPECT_EQ(text, u"");
    EXPECT_EQ(required, 2u);
}

TEST_F(SetupApiDeviceInfo, SmallBuffer_GivesTheSizeAndInsufficientBuffer)
{
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 0, &m_info));
    std::u16string text = u"untouched";
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    EXPECT_FALSE(ReadDescription(&text, &type, &required, 10));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 40u);
    EXPECT_EQ(text, u"untouched");

    EXPECT_FALSE(
        SetupDiGetDevicePropertyW(m_set, &m_info, &DEVPKEY_Device_DeviceDesc, &type, nullptr, 0, &required, 0));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 40u);
}

TEST_F(SetupApiDeviceInfo, OpenDeviceInfo_FailsForADeviceTheMachineDoesNotHave)
{
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0008", nullptr, 0, &m_info));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    sim::RemoveHostedDevice();
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 0, &m_info));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(m_set, u"", nullptr, 0, &m_info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DEVINST_NAME);
}

TEST_F(SetupApiDeviceInfo, BadArguments_AreRefusedWithTheirErrors)
{
    SP_DEVINFO_DATA wrongSize{};
    wrongSize.cbSize = 28;
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 0, &wrongSize));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 1, &m_info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    EXPECT_FALSE(
        SetupDiOpenDeviceInfoW(reinterpret_cast<HDEVINFO>(0x1234), u"ROOT\\SENSOR\\0007", nullptr, 0, &m_info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    const GUID cls{};
    EXPECT_EQ(SetupDiCreateDeviceInfoList(&cls, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 0, &m_info));
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    BYTE buffer[8];
    const DEVPROPKEY other = {DEVPKEY_Device_DeviceDesc.fmtid, 3};
    EXPECT_FALSE(SetupDiGetDevicePropertyW(m_set, &m_info, &other, &type, buffer, sizeof(buffer), &required, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_FALSE(
        SetupDiGetDevicePropertyW(m_set, &m_info, &DEVPKEY_Device_DeviceDesc, &type, nullptr, 8, &required, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    EXPECT_FALSE(SetupDiGetDevicePropertyW(m_set, &m_info, &DEVPKEY_Device_DeviceDesc, &type, buffer, 8, &required, 1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    SP_DEVINFO_DATA notOpened = m_info;
    notOpened.Reserved = 5;
    EXPECT_FALSE(
        SetupDiGetDevicePropertyW(m_set, &notOpened, &DEVPKEY_Device_DeviceDesc, &type, buffer, 8, &required, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SetupApiDeviceInfo, EachCall_HasAFaultPointNamedAfterIt)
{
    FailCall("SetupDiCreateDeviceInfoList");
    EXPECT_EQ(SetupDiCreateDeviceInfoList(nullptr, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);

    FailCall("SetupDiOpenDeviceInfoW");
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 0, &m_info));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(m_set, u"ROOT\\SENSOR\\0007", nullptr, 0, &m_info));

    FailCall("SetupDiGetDevicePropertyW", 1, ERROR_INVALID_DATA);
    std::u16string text;
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    EXPECT_FALSE(ReadDescription(&text, &type, &required));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_TRUE(ReadDescription(&text, &type, &required));
}

}  // namespace
