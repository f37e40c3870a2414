#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/handle.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/memory.h"
#include "platform/setupapi/setupapi.h"
#include "platform_testing/faults.h"
#include "sim/device_tree.h"

namespace {

using platform::testing::FailCall;
using platform::testing::ScopedFaults;

constexpr GUID kClass = platform::MakeGuid("{6E1F4A20-3C5B-4D7E-9A8B-0C1D2E3F4A5B}");
constexpr GUID kOtherClass = platform::MakeGuid("{0B9D7C1E-2F3A-4B5C-8D6E-7F8091A2B3C4}");

class NullDevice final : public sim::DeviceBehavior {
public:
    DWORD IoControl(DWORD, std::span<const BYTE>, std::span<BYTE>, DWORD&) override { return ERROR_INVALID_FUNCTION; }
};

void AddInterfaceDevice(const std::u16string& id, const GUID& cls, const std::u16string& path)
{
    ASSERT_TRUE(sim::AddDevice({id, {{cls, path}}, {}, std::make_shared<NullDevice>()}));
}

// Enumerates the set's interfaces of the class, in order, with their paths.
std::vector<std::u16string> Paths(HDEVINFO set, const GUID& cls)
{
    std::vector<std::u16string> paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data); ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        std::vector<std::byte> buffer(required);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        paths.emplace_back(detail->DevicePath);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    return paths;
}

class SetupApi : public ::testing::Test {
protected:
    ~SetupApi() override { sim::ResetDeviceTree(); }

    ScopedFaults m_faults;
};

TEST_F(SetupApi, EnumDeviceInterfaces_ListsPresentInterfacesOfTheClassInOrder)
{
    AddInterfaceDevice(u"ROOT\\A\\0", kClass, u"\\\\?\\a#0");
    AddInterfaceDevice(u"ROOT\\B\\0", kOtherClass, u"\\\\?\\b#0");
    AddInterfaceDevice(u"ROOT\\C\\0", kClass, u"\\\\?\\c#0");
    AddInterfaceDevice(u"ROOT\\D\\0", kClass, u"\\\\?\\d#0");
    ASSERT_TRUE(sim::SetDevicePresent(u"ROOT\\C\\0", false));

    HDEVINFO present = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(present, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Paths(present, kClass), (std::vector<std::u16string>{u"\\\\?\\a#0", u"\\\\?\\d#0"}));

    HDEVINFO all = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Paths(all, kClass), (std::vector<std::u16string>{u"\\\\?\\a#0", u"\\\\?\\c#0", u"\\\\?\\d#0"}));
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(all, nullptr, &kClass, 1, &data));
    EXPECT_EQ(data.Flags, 0u);  // the unplugged device's interface is not active
    EXPECT_EQ(data.InterfaceClassGuid, kClass);

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(present));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
}

TEST_F(SetupApi, GetClassDevs_TakesASnapshot)
{
    HDEVINFO empty = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(empty, INVALID_HANDLE_VALUE);
    AddInterfaceDevice(u"ROOT\\A\\0", kClass, u"\\\\?\\a#0");
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(empty, nullptr, &kClass, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    HDEVINFO one = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    sim::ResetDeviceTree();  // the set keeps what it saw
    EXPECT_EQ(Paths(one, kClass), (std::vector<std::u16string>{u"\\\\?\\a#0"}));
    SetupDiDestroyDeviceInfoList(empty);
    SetupDiDestroyDeviceInfoList(one);
}

TEST_F(SetupApi, GetDeviceInterfaceDetail_SizeQueryThenFixedHeaderRecord)
{
    const std::u16string path = u"\\\\?\\ROOT#A#0000#{6e1f4a20-3c5b-4d7e-9a8b-0c1d2e3f4a5b}";
    AddInterfaceDevice(u"ROOT\\A\\0", kClass, path);
    HDEVINFO set = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const DWORD expected = static_cast<DWORD>(4 + (path.size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(required, expected);

    // One byte short: refused, and nothing written past what was offered.
    std::vector<BYTE> buffer(required + 16, 0xCD);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    DWORD again = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required - 1, &again, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(again, required);
    EXPECT_EQ(buffer[4], 0xCD);

    // The whole record's size in cbSize is the classic mistake: refused.
    detail->cbSize = required;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    detail->cbSize = 8;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(std::u16string(detail->DevicePath), path);
    EXPECT_EQ(buffer[required], 0xCD);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApi, BadArgumentsAndDestroyedSetsFailCleanly)
{
    AddInterfaceDevice(u"ROOT\\A\\0", kClass, u"\\\\?\\a#0");
    EXPECT_EQ(SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    HDEVINFO set = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data) - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    // Interface data that no enumeration filled names no interface.
    data.cbSize = sizeof(data);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    EXPECT_FALSE(CloseHandle(set));  // sets are not kernel handles
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SetupApi, CheckedCallsFailOnDemand)
{
    AddInterfaceDevice(u"ROOT\\A\\0", kClass, u"\\\\?\\a#0");
    FailCall("SetupDiGetClassDevsW", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);

    HDEVINFO set = SetupDiGetClassDevsW(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    FailCall("SetupDiEnumDeviceInterfaces");
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));

    // The second call of the pair fails: the size query still answers.
    FailCall("SetupDiGetDeviceInterfaceDetailW", 1, ERROR_GEN_FAILURE, 1);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = 8;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(LocalMemory, LocalAlloc_FixedBlocksOnly)
{
    ScopedFaults faults;
    HLOCAL block = LocalAlloc(LMEM_FIXED, 64);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xAB, 64);
    EXPECT_EQ(LocalFree(block), nullptr);
    HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr);
    LocalFree(empty);
    EXPECT_EQ(LocalFree(nullptr), nullptr);

    EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    FailCall("LocalAlloc");
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, 16), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

}  // namespace
