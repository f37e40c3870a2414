#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kernel/system_info.h"
#include "sim/windows_directory.h"

namespace {

class WindowsDirectory : public ::testing::Test {
protected:
    void SetUp() override { sim::SetWindowsDirectory("/srv/machine/windows"); }
    void TearDown() override { sim::SetWindowsDirectory(m_previous); }

    std::string m_previous = sim::WindowsDirectory();
};

TEST_F(WindowsDirectory, GetSystemWindowsDirectoryA_CopiesTheDriveLessText)
{
    char buffer[MAX_PATH];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(GetSystemWindowsDirectoryA(buffer, MAX_PATH), 8u);
    EXPECT_STREQ(buffer, "\\Windows");
}

TEST_F(WindowsDirectory, GetSystemWindowsDirectoryA_TellsTheSizeNeededWhenTheBufferIsShort)
{
    char buffer[8];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(GetSystemWindowsDirectoryA(buffer, sizeof(buffer)), 9u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(GetSystemWindowsDirectoryA(nullptr, 0), 9u);
    EXPECT_EQ(GetSystemWindowsDirectoryA(nullptr, MAX_PATH), 9u);
}

TEST_F(WindowsDirectory, MapWindowsPath_PutsPathsBelowTheWindowsDirectoryUnderTheLinuxDirectory)
{
    const std::string ac = "/srv/machine/windows/system32/drivers/UMDF/ThermalMap_AC.ini";
    EXPECT_EQ(sim::MapWindowsPath("\\Windows\\system32\\drivers\\UMDF\\ThermalMap_AC.ini"), ac);
    // The directory's own name is matched as Windows matches it; separators may be either slash.
    EXPECT_EQ(sim::MapWindowsPath("\\WINDOWS\\system32\\drivers\\UMDF\\ThermalMap_AC.ini"), ac);
    EXPECT_EQ(sim::MapWindowsPath("/windows//system32/./drivers\\UMDF\\ThermalMap_AC.ini"), ac);
    EXPECT_EQ(sim::MapWindowsPath("\\Windows"), "/srv/machine/windows");
    // Below it, names stay as written: they are Linux file names.
    EXPECT_EQ(sim::MapWindowsPath("\\Windows\\SYSTEM32\\x.ini"), "/srv/machine/windows/SYSTEM32/x.ini");
}

TEST_F(WindowsDirectory, MapWindowsPath_KeepsEveryPathInsideTheDirectory)
{
    EXPECT_EQ(sim::MapWindowsPath("\\Windows\\system32\\..\\x.ini"), "/srv/machine/windows/x.ini");
    EXPECT_EQ(sim::MapWindowsPath("\\..\\..\\Windows\\x.ini"), "/srv/machine/windows/x.ini");
    EXPECT_EQ(sim::MapWindowsPath("\\Windows\\..\\..\\etc\\passwd"), std::nullopt);
    EXPECT_EQ(sim::MapWindowsPath("\\Windows\\..\\Windows\\x.ini"), "/srv/machine/windows/x.ini");
}

TEST_F(WindowsDirectory, MapWindowsPath_RefusesOtherPaths)
{
    EXPECT_EQ(sim::MapWindowsPath(""), std::nullopt);
    EXPECT_EQ(sim::MapWindowsPath("\\"), std::nullopt);
    EXPECT_EQ(sim::MapWindowsPath("Windows\\x.ini"), std::nullopt);      // relative
    EXPECT_EQ(sim::MapWindowsPath("C:\\Windows\\x.ini"), std::nullopt);  // with a drive
    EXPECT_EQ(sim::MapWindowsPath("\\WindowsX\\x.ini"), std::nullopt);
    EXPECT_EQ(sim::MapWindowsPath("\\system32\\drivers\\UMDF\\ThermalMap_AC.ini"), std::nullopt);
}

TEST_F(WindowsDirectory, MapWindowsPath_FindsNothingWhileNoDirectoryIsSet)
{
    sim::SetWindowsDirectory("");
    EXPECT_EQ(sim::MapWindowsPath("\\Windows\\x.ini"), std::nullopt);
    sim::SetWindowsDirectory("/srv/w/");
    EXPECT_EQ(sim::WindowsDirectory(), "/srv/w");
    EXPECT_EQ(sim::MapWindowsPath("\\Windows\\x.ini"), "/srv/w/x.ini");
    sim::SetWindowsDirectory("/");
    EXPECT_EQ(sim::MapWindowsPath("\\Windows\\x.ini"), "/x.ini");
}

}  // namespace
