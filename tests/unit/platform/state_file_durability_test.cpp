// The files of the state directory, the registry and the device's property store, under the
// damage a crash or a failing disk does to them: a file cut short at any byte or with any byte
// changed is reported and gives way to its previous generation, or an empty store (never a
// crash); a file that cannot be read is never replaced; a write that fails at any step leaves the
// old file whole, and a writer killed at any moment leaves the old or the new value, never a
// damaged file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "host/device_property_file.h"
#include "host/host_device.h"
#include "platform/com/propvariant.h"
#include "platform/kernel/registry.h"
#include "platform_testing/faults.h"
#include "sim/registry.h"
#include "sim/state_directory.h"
#include "support/temp_dir.h"

namespace {

using platform::ComPtr;
using platform::host::CHostDevice;
using ::testing::HasSubstr;

constexpr char16_t kRadioState[] = u"SENSOR_PROPERTY_RADIO_STATE";
constexpr char16_t kPreviousRadioState[] = u"SENSOR_PROPERTY_PREVIOUS_RADIO_STATE";
constexpr char16_t kConfigure[] = u"Software\\Varmel\\Configure";
constexpr const char* kWriteSteps[] = {"create", "write", "flush", "rename"};

std::string ReadFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::filesystem::path& file, const std::string& contents)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
}

class StateFiles : public ::testing::Test {
protected:
    StateFiles() { EXPECT_TRUE(sim::SetStateDirectory(m_dir.path())); }
    ~StateFiles() override
    {
        sim::ResetRegistry();
        sim::ClearStateDirectory();
    }

    std::filesystem::path PropertyFile() const { return m_dir.path() / "device-properties"; }
    std::filesystem::path RegistryFile() const { return m_dir.path() / "registry"; }

    // The radio state as a new host device finds it in the state directory, and the problem it
    // reported with the file.
    struct Found {
        std::optional<ULONG> value;
        std::string problem;
    };
    static Found FindRadioState()
    {
        Found found;
        ComPtr<CHostDevice> device;
        EXPECT_EQ(CHostDevice::Create({}, nullptr, &device), S_OK);
        ComPtr<IWDFNamedPropertyStore> store;
        EXPECT_EQ(device->RetrieveDevicePropertyStore(nullptr, WdfPropertyStoreCreateIfMissing, store.GetAddressOf(),
                                                      nullptr),
                  S_OK);
        PROPVARIANT value{};
        if (store && SUCCEEDED(store->GetNamedValue(kRadioState, &value)) && value.vt == VT_UI4) {
            found.value = value.ulVal;
        }
        PropVariantClear(&value);
        found.problem = device->PropertyStoreProblem();
        return found;
    }

    static HRESULT SetRadioState(ULONG state) { return SetStoreValue(kRadioState, state); }

    static HRESULT SetStoreValue(PCWSTR name, ULONG state)
    {
        ComPtr<CHostDevice> device;
        EXPECT_EQ(CHostDevice::Create({}, nullptr, &device), S_OK);
        ComPtr<IWDFNamedPropertyStore> store;
        HRESULT hr = device->RetrieveDevicePropertyStore(nullptr, WdfPropertyStoreCreateIfMissing,
                                                         store.GetAddressOf(), nullptr);
        PROPVARIANT value{};
        InitPropVariantFromUInt32(state, &value);
        if (SUCCEEDED(hr)) hr = store->SetNamedValue(name, &value);
        return hr;
    }

    // The test-mode switch as the registry gives it now; empty when there is none.
    static std::u16string ReadTestMode()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_CONFIG, kConfigure, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
        char16_t buffer[64] = {};
        DWORD size = sizeof(buffer);
        const LSTATUS status =
            RegQueryValueExW(key, u"TestMode", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS ? std::u16string(buffer) : std::u16string();
    }

    // The registry as a restarted host loads it from the state directory.
    void ReloadRegistry()
    {
        sim::ClearStateDirectory();
        ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
    }

    test_support::TempDir m_dir;
    platform::testing::ScopedFaults m_faults;
};

TEST_F(StateFiles, PropertyStore_EveryTruncationIsReportedAndThePreviousGenerationRestored)
{
    ASSERT_EQ(SetRadioState(1), S_OK);
    ASSERT_EQ(SetRadioState(2), S_OK);
    const std::string whole = ReadFile(PropertyFile());
    ASSERT_EQ(whole.back(), '\n');
    // Every cut short of the end line's last character; the line break after it holds nothing.
    for (std::size_t length = 0; length + 1 < whole.size(); ++length) {
        SCOPED_TRACE("cut to " + std::to_string(length) + " of " + std::to_string(whole.size()) + " bytes");
        WriteFile(PropertyFile(), whole.substr(0, length));
        const Found found = FindRadioState();
        EXPECT_EQ(found.value, 1u);
        EXPECT_THAT(found.problem, HasSubstr("is damaged"));
        EXPECT_THAT(found.problem, HasSubstr("previous generation"));
        EXPECT_EQ(ReadFile(m_dir.path() / "device-properties.corrupt"), whole.substr(0, length));
    }
    for (const std::string& complete : {whole.substr(0, whole.size() - 1), whole}) {
        WriteFile(PropertyFile(), complete);
        const Found found = FindRadioState();
        EXPECT_EQ(found.value, 2u);
        EXPECT_EQ(found.problem, "");
    }
}

TEST_F(StateFiles, Registry_EveryTruncationIsReportedAndThePreviousGenerationRestored)
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Disable");
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Enable");
    const std::string whole = ReadFile(RegistryFile());
    ASSERT_EQ(whole.back(), '\n');
    for (std::size_t length = 0; length + 1 < whole.size(); ++length) {
        SCOPED_TRACE("cut to " + std::to_string(length) + " of " + std::to_string(whole.size()) + " bytes");
        sim::ClearStateDirectory();
        WriteFile(RegistryFile(), whole.substr(0, length));
        ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
        EXPECT_EQ(ReadTestMode(), u"Disable");
        EXPECT_THAT(sim::LastRegistryLoadProblem(), HasSubstr("is damaged"));
    }
    for (const std::string& complete : {whole.substr(0, whole.size() - 1), whole}) {
        sim::ClearStateDirectory();
        WriteFile(RegistryFile(), complete);
        ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
        EXPECT_EQ(ReadTestMode(), u"Enable");
        EXPECT_EQ(sim::LastRegistryLoadProblem(), "");
    }
}

// The driver keeps the radio state and the previous radio state, and writes them one after the
// other when the radio changes; the radio switched off survives any damage to the file.
TEST_F(StateFiles, RadioStateOff_SurvivesDamageThroughThePreviousGeneration)
{
    ASSERT_EQ(SetRadioState(0), S_OK);
    ASSERT_EQ(SetStoreValue(kRadioState, 1), S_OK);
    ASSERT_EQ(SetStoreValue(kPreviousRadioState, 0), S_OK);
    const std::string whole = ReadFile(PropertyFile());
    for (const std::string& damaged : {whole.substr(0, whole.size() / 2), std::string("thermal-device-properties 1\n"),
                                       std::string("\xff\xfe garbage"), std::string()}) {
        SCOPED_TRACE(::testing::PrintToString(damaged));
        WriteFile(PropertyFile(), damaged);
        // The host's check before it loads the driver finds what the device will find.
        const platform::host::PropertyFileCheck check = platform::host::CheckDevicePropertyFile();
        EXPECT_EQ(check.load.outcome, sim::StateFileOutcome::kRestored);
        EXPECT_THAT(check.load.problem, HasSubstr(PropertyFile().string() + " is damaged; it was moved to " +
                                                  PropertyFile().string() + ".corrupt"));
        EXPECT_EQ(check.numbers.at(kRadioState), 1u);
        EXPECT_EQ(FindRadioState().value, 1u);
    }
}

// A file that cannot be read is reported with the system's error and never replaced: nothing of
// the state directory is written while it is there.
TEST_F(StateFiles, UnreadableFile_IsReportedAndNeverReplaced)
{
    ASSERT_EQ(SetRadioState(1), S_OK);
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Enable");
    // Root reads any file, so a directory stands in for a file that cannot be read.
    const bool root = ::geteuid() == 0;
    for (const std::filesystem::path& file : {RegistryFile(), m_dir.path() / "registry-changes", PropertyFile()}) {
        SCOPED_TRACE(file.string());
        const std::string kept = std::filesystem::exists(file) ? ReadFile(file) : std::string();
        sim::ClearStateDirectory();
        if (root || kept.empty()) {
            std::filesystem::remove(file);
            std::filesystem::create_directory(file);
        } else {
            std::filesystem::permissions(file, std::filesystem::perms::none);
        }
        const std::string error = root || kept.empty() ? "Is a directory" : "Permission denied";
        ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));

        const std::string unreadable = file.string() + " cannot be read (" + error + ")";
        if (file != PropertyFile()) {
            EXPECT_THAT(sim::LastRegistryLoadProblem(), HasSubstr(unreadable));
            sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Disable");
            EXPECT_EQ(ReadTestMode(), u"Disable");  // this run of the machine keeps what it was told
        } else {
            const platform::host::PropertyFileCheck check = platform::host::CheckDevicePropertyFile();
            EXPECT_EQ(check.load.outcome, sim::StateFileOutcome::kUnreadable);
            EXPECT_THAT(check.load.problem, HasSubstr(unreadable));
            // The device's store stays closed: the driver's write fails rather than replace the file.
            EXPECT_EQ(SetRadioState(0), HRESULT_FROM_WIN32(ERROR_READ_FAULT));
        }

        sim::ClearStateDirectory();
        if (std::filesystem::is_directory(file)) {
            std::filesystem::remove(file);
            if (!kept.empty()) WriteFile(file, kept);
        } else {
            std::filesystem::permissions(file,
                                         std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        }
        EXPECT_EQ(kept.empty() ? std::string() : ReadFile(file), kept) << "the file was replaced";
        ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
    }
    EXPECT_EQ(ReadTestMode(), u"Enable");
    EXPECT_EQ(FindRadioState().value, 1u);
}

TEST_F(StateFiles, AnyChangedByte_LoadsOrIsReported_NeverCrashes)
{
    ASSERT_EQ(SetRadioState(3), S_OK);
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Enable");
    const std::string properties = ReadFile(PropertyFile());
    const std::string registry = ReadFile(RegistryFile());
    for (const char replacement : {'\0', '\n', '0', 'z'}) {
        for (std::size_t at = 0; at < properties.size(); ++at) {
            std::string changed = properties;
            changed[at] = replacement;
            WriteFile(PropertyFile(), changed);
            const Found found = FindRadioState();
            // A change that keeps the file well formed (one hex digit for another) loads; any
            // other is reported, and then nothing of the file is used.
            if (!found.problem.empty()) {
                EXPECT_EQ(found.value, std::nullopt) << "byte " << at << " changed";
            }
        }
        for (std::size_t at = 0; at < registry.size(); ++at) {
            std::string changed = registry;
            changed[at] = replacement;
            sim::ClearStateDirectory();
            WriteFile(RegistryFile(), changed);
            ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
            if (!sim::LastRegistryLoadProblem().empty()) {
                EXPECT_EQ(ReadTestMode(), u"");
            }
        }
    }
}

TEST_F(StateFiles, PropertyStore_WriteFailingAtAnyStep_LeavesTheOldFileAndNoTemporary)
{
    ASSERT_EQ(SetRadioState(1), S_OK);
    const std::string old = ReadFile(PropertyFile());
    for (const char* step : kWriteSteps) {
        SCOPED_TRACE(step);
        platform::testing::FailCall(std::string("WriteFileAtomically:") + step);
        EXPECT_EQ(SetRadioState(2), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
        EXPECT_EQ(ReadFile(PropertyFile()), old);
        EXPECT_FALSE(std::filesystem::exists(m_dir.path() / "device-properties.tmp"));
        EXPECT_EQ(FindRadioState().value, 1u);
    }
    ASSERT_EQ(SetRadioState(2), S_OK);
    EXPECT_EQ(FindRadioState().value, 2u);
}

TEST_F(StateFiles, Registry_WriteFailingAtAnyStep_LeavesTheOldFile)
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Disable");
    const std::string old = ReadFile(RegistryFile());
    for (const char* step : kWriteSteps) {
        SCOPED_TRACE(step);
        platform::testing::FailCall(std::string("WriteFileAtomically:") + step);
        sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Enable");
        EXPECT_EQ(ReadTestMode(), u"Enable");  // this run of the machine keeps what it was told
        EXPECT_EQ(ReadFile(RegistryFile()), old);
        EXPECT_FALSE(std::filesystem::exists(m_dir.path() / "registry.tmp"));
        ReloadRegistry();
        EXPECT_EQ(ReadTestMode(), u"Disable");
        EXPECT_EQ(sim::LastRegistryLoadProblem(), "");
    }
}

TEST_F(StateFiles, TemporaryLeftByACrash_IsIgnoredAndReplacedByTheNextWrite)
{
    ASSERT_EQ(SetRadioState(1), S_OK);
    WriteFile(m_dir.path() / "device-properties.tmp", "thermal-device-properties 1\nval");  // a torn write
    EXPECT_EQ(FindRadioState().value, 1u);
    ASSERT_EQ(SetRadioState(2), S_OK);
    EXPECT_FALSE(std::filesystem::exists(m_dir.path() / "device-properties.tmp"));
    EXPECT_EQ(FindRadioState().value, 2u);
}

TEST_F(StateFiles, AreKeptForTheirOwnerOnly)
{
    ASSERT_EQ(SetRadioState(1), S_OK);
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigure, u"TestMode", u"Enable");
    using std::filesystem::perms;
    const perms others = perms::group_all | perms::others_all;
    EXPECT_EQ(std::filesystem::status(PropertyFile()).permissions() & others, perms::none);
    EXPECT_EQ(std::filesystem::status(RegistryFile()).permissions() & others, perms::none);

    // A state directory the host makes is its owner's only.
    const auto made = m_dir.path() / "made";
    ASSERT_TRUE(sim::SetStateDirectory(made));
    EXPECT_EQ(std::filesystem::status(made).permissions() & others, perms::none);
    ASSERT_TRUE(sim::SetStateDirectory(m_dir.path()));
}

// A child process writes the radio state 1, 2, 3, ... and reports each finished write; it is
// killed at once after a chosen report, mostly in the middle of the next write. The file must hold
// the last reported value or a later one, and load without a problem.
TEST_F(StateFiles, PropertyStore_WriterKilledAtAnyMoment_LeavesTheOldOrTheNewValue)
{
    ASSERT_EQ(SetRadioState(0), S_OK);
    for (ULONG round = 1; round <= 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int reports[2];
        ASSERT_EQ(::pipe(reports), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(reports[0]);
            for (ULONG value = 1;; ++value) {
                if (FAILED(SetRadioState(value))) ::_exit(2);
                if (::write(reports[1], &value, sizeof(value)) != static_cast<ssize_t>(sizeof(value))) ::_exit(3);
            }
        }
        ::close(reports[1]);
        ULONG reported = 0;
        // Later rounds let the writer run longer, so the kill meets writes at varied points.
        while (reported < round) {
            ULONG value = 0;
            ASSERT_EQ(::read(reports[0], &value, sizeof(value)), static_cast<ssize_t>(sizeof(value)));
            reported = value;
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ::close(reports[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself with " << WEXITSTATUS(status);

        const Found found = FindRadioState();
        EXPECT_EQ(found.problem, "");
        ASSERT_TRUE(found.value.has_value());
        EXPECT_GE(*found.value, reported);
    }
}

}  // namespace
