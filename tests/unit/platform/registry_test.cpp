#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/kernel/registry.h"
#include "platform_testing/faults.h"
#include "sim/registry.h"
#include "sim/state_directory.h"
#include "support/temp_dir.h"

namespace {

constexpr const char16_t* kConfigure = u"Software\\Varmel\\Configure";

class Registry : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim::SetStateDirectory(m_dir.path())); }
    void TearDown() override
    {
        sim::ResetRegistry();
        sim::ClearStateDirectory();
    }

    std::u16string ReadString(const char16_t* keyPath, const char16_t* name, LSTATUS* status)
    {
        HKEY key = nullptr;
        *status = RegOpenKeyExW(HKEY_CURRENT_CONFIG, keyPath, 0, KEY_READ, &key);
        if (*status != ERROR_SUCCESS) return {};
        char16_t buffer[1024] = {};
        DWORD size = 1024;
        DWORD type = 0;
        *status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        return buffer;
    }

    test_support::TempDir m_dir;
    platform::testing::ScopedFaults m_faults;
};

TEST_F(Registry, ReadsWhatTheMachineSetIgnoringCase)
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Enable");
    LSTATUS status = 0;
    EXPECT_EQ(ReadString(u"software\\VARMEL\\configure", u"testmode", &status), u"Enable");
    EXPECT_EQ(status, ERROR_SUCCESS);
}

TEST_F(Registry, MissingKeyOrValueIsFileNotFound)
{
    LSTATUS status = 0;
    ReadString(kConfigure, u"TestMode", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"Other", u"x");
    ReadString(kConfigure, u"TestMode", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(sim::DeleteRegistryKey(sim::RegistryRoot::CurrentConfig, kConfigure));
    ReadString(kConfigure, u"Other", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, SizeQueryAndShortBuffer)
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Enable");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_CONFIG, kConfigure, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = 0;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"TestMode", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(type, REG_SZ);
    BYTE small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"TestMode", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(small[0], 0xAA);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(key, u"TestMode", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, SurvivesAReloadFromTheStateDirectory)
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"enable");
    sim::ClearStateDirectory();
    LSTATUS status = 0;
    ReadString(kConfigure, u"TestMode", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);  // another machine state
    ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
    EXPECT_EQ(ReadString(kConfigure, u"TestMode", &status), u"enable");
    EXPECT_TRUE(sim::LastRegistryLoadProblem().empty());
}

TEST_F(Registry, DamagedFileIsReportedAndReplaced)
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"enable");
    sim::ClearStateDirectory();
    const auto file = m_dir.path() / "registry";
    const auto size = std::filesystem::file_size(file);
    std::filesystem::resize_file(file, size - 5);  // a torn write
    ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
    LSTATUS status = 0;
    ReadString(kConfigure, u"TestMode", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(sim::LastRegistryLoadProblem().find("damaged"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(m_dir.path() / "registry.corrupt"));

    for (const char* garbage : {"", "thermal-registry 1\nvalue 41 1 00\nend 1\n", "thermal-registry 1\nkey 9 -\nend 1\n",
                                "thermal-registry 1\nkey 1 zz\nend 1\n", "\x01\x02\xff"}) {
        sim::ClearStateDirectory();
        std::ofstream(file, std::ios::binary | std::ios::trunc) << garbage;
        ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
        ReadString(kConfigure, u"TestMode", &status);
        EXPECT_EQ(status, ERROR_FILE_NOT_FOUND) << garbage;
        EXPECT_FALSE(sim::LastRegistryLoadProblem().empty()) << garbage;
    }
}

TEST_F(Registry, OpenAndQueryCanBeMadeToFail)
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Enable");
    platform::testing::FailCall("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED);
    LSTATUS status = 0;
    ReadString(kConfigure, u"TestMode", &status);
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
    platform::testing::FailCall("RegQueryValueExW");
    ReadString(kConfigure, u"TestMode", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadString(kConfigure, u"TestMode", &status), u"Enable");
}

}  // namespace
