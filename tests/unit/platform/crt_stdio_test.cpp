#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/crt/stdio.h"
#include "sim/windows_directory.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Each test gets an empty temporary directory as the machine's Windows directory.
class CrtStdio : public ::testing::Test {
protected:
    void SetUp() override { sim::SetWindowsDirectory(m_directory.string()); }
    void TearDown() override { sim::SetWindowsDirectory(m_previous); }

    void WriteFile(const std::string& name, const std::string& bytes)
    {
        std::ofstream(m_directory / name, std::ios::binary) << bytes;
    }

    static std::string ReadAll(std::FILE* stream, std::size_t chunk)
    {
        std::string text;
        std::string buffer(chunk, '\0');
        std::size_t count;
        while ((count = std::fread(buffer.data(), 1, chunk, stream)) > 0) text.append(buffer, 0, count);
        return text;
    }

    test_support::TempDir m_temp;
    const fs::path& m_directory = m_temp.path();
    std::string m_previous = sim::WindowsDirectory();
};

TEST_F(CrtStdio, FsopenTextMode_ReadsCrLfAsLfAndKeepsLoneCr)
{
    WriteFile("a.ini", "a\r\nb\rc\r\n\r\r\nd\n\r");
    std::FILE* stream = _fsopen("\\Windows\\a.ini", "r", _SH_DENYNO);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(ReadAll(stream, 64), "a\nb\rc\n\r\nd\n\r");
    EXPECT_EQ(std::fclose(stream), 0);

    stream = _fsopen("\\Windows\\a.ini", "rt", _SH_DENYNO);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(ReadAll(stream, 64), "a\nb\rc\n\r\nd\n\r");
    std::fclose(stream);
}

TEST_F(CrtStdio, FsopenTextMode_JoinsCrLfSplitAcrossReads)
{
    // Lines of every length from 0 to 299 put a CR LF at every offset of the stream's buffers.
    std::string raw;
    std::string expected;
    for (int length = 0; length < 300; ++length) {
        raw += std::string(length, 'k') + "\r\n";
        expected += std::string(length, 'k') + "\n";
    }
    WriteFile("long.ini", raw);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, raw.size()}) {
        std::FILE* stream = _fsopen("\\Windows\\long.ini", "r", _SH_DENYNO);
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(ReadAll(stream, chunk), expected) << "chunk " << chunk;
        std::fclose(stream);
    }
}

TEST_F(CrtStdio, FsopenBinaryMode_ReadsTheBytesAsTheyAre)
{
    const std::string bytes("a\r\nb\0\r\xff", 7);
    WriteFile("b.ini", bytes);
    std::FILE* stream = _fsopen("\\Windows\\b.ini", "rb", _SH_DENYNO);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(ReadAll(stream, 64), bytes);
    std::fclose(stream);
}

TEST_F(CrtStdio, FsopenTextMode_ReadsNulAndHighBytes)
{
    WriteFile("c.ini", std::string("1\0=\xfe\r\n", 6));
    std::FILE* stream = _fsopen("\\Windows\\c.ini", "r", _SH_DENYNO);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(ReadAll(stream, 64), std::string("1\0=\xfe\n", 5));
    std::fclose(stream);
}

TEST_F(CrtStdio, Fsopen_FindsFilesBelowTheWindowsDirectoryOnly)
{
    fs::create_directories(m_directory / "system32" / "drivers" / "UMDF");
    WriteFile("system32/drivers/UMDF/ThermalMap_AC.ini", "1=2\n");
    std::FILE* stream = _fsopen("\\windows\\system32\\drivers\\UMDF\\ThermalMap_AC.ini", "r", _SH_DENYNO);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(ReadAll(stream, 64), "1=2\n");
    std::fclose(stream);

    errno = 0;
    EXPECT_EQ(_fsopen("\\Windows\\missing.ini", "r", _SH_DENYNO), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(_fsopen("\\system32\\drivers\\UMDF\\ThermalMap_AC.ini", "r", _SH_DENYNO), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(_fsopen((m_directory / "system32/drivers/UMDF/ThermalMap_AC.ini").c_str(), "r", _SH_DENYNO), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(_fsopen("\\Windows\\system32", "r", _SH_DENYNO), nullptr);
    EXPECT_EQ(errno, EACCES);
}

TEST_F(CrtStdio, Fsopen_RefusesWritingModesAndDenyModes)
{
    WriteFile("d.ini", "x");
    for (const char* mode : {"w", "a", "r+", "rw", "", "rbt"}) {
        errno = 0;
        EXPECT_EQ(_fsopen("\\Windows\\d.ini", mode, _SH_DENYNO), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
    for (const int deny : {0x10, 0x20, 0x30, 0}) {
        errno = 0;
        EXPECT_EQ(_fsopen("\\Windows\\d.ini", "r", deny), nullptr) << deny;
        EXPECT_EQ(errno, EINVAL) << deny;
    }
    EXPECT_EQ(_fsopen(nullptr, "r", _SH_DENYNO), nullptr);
    EXPECT_EQ(_fsopen("\\Windows\\d.ini", nullptr, _SH_DENYNO), nullptr);
}

}  // namespace
