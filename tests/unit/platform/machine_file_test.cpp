#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "platform/com/oleauto.h"
#include "platform/kernel/registry.h"
#include "platform/probe/probe_ioctl.h"
#include "platform/win32_error.h"
#include "sim/device_tree.h"
#include "sim/machine.h"
#include "sim/power_source.h"
#include "sim/probe_devices.h"
#include "support/temp_dir.h"

namespace {

using sim::ParseMachine;

sim::MachineDescription Parsed(std::string_view text)
{
    sim::ParsedMachine parsed = ParseMachine(text);
    EXPECT_TRUE(parsed.machine) << parsed.error;
    return parsed.machine.value_or(sim::MachineDescription{});
}

// The VARIANT type and the value of a WMI value, as text for comparisons.
std::string Show(const std::optional<sim::WmiValue>& value)
{
    if (!value) return "none";
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(value->CopyTo(&v), S_OK);
    std::string text = "vt" + std::to_string(v.vt) + ":";
    switch (v.vt) {
        case VT_I2:
            text += std::to_string(v.iVal);
            break;
        case VT_I4:
            text += std::to_string(v.lVal);
            break;
        case VT_UI4:
            text += std::to_string(v.ulVal);
            break;
        case VT_R8:
            text += std::to_string(v.dblVal);
            break;
        case VT_BOOL:
            text += v.boolVal ? "true" : "false";
            break;
        case VT_BSTR:
            text += std::string(value->Text().begin(), value->Text().end());
            break;
        default:
            break;
    }
    VariantClear(&v);
    return text;
}

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text)
{
    std::vector<std::uint8_t> bytes;
    for (const char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

TEST(MachineFile, ParseMachine_ReadsEverySectionOfACompleteFile)
{
    const auto machine = Parsed(R"(# a lab machine
[machine]
power = dc
state-directory = /var/lib/thermal
windows-directory = "win dir"

[interface-probe]
present = no
raw = 0x21C
fail = read-value gen-failure 3

[fixed-probe]
status = 0x1501
counts = 960
fail = counts 1167
fail = status timeout always

[wmi]
instance = "ACPI\PNP0C14\0_0" 564
instance = other r8 29.5

[registry]
TestMode = Enable
HKEY_LOCAL_MACHINE\Software\Lab\Level = dword 0x10

[device]
instance-id = ROOT\LAB\0001
description = "Probe in the rack"

[map ac]
100 = 25.5
)");
    EXPECT_EQ(machine.acLineStatus, 0);
    EXPECT_EQ(machine.stateDirectory, "/var/lib/thermal");
    EXPECT_EQ(machine.windowsDirectory, "win dir");

    ASSERT_TRUE(machine.interfaceProbe);
    EXPECT_FALSE(machine.interfaceProbe->present);
    EXPECT_EQ(machine.interfaceProbe->raw, 0x21Cu);
    ASSERT_EQ(machine.interfaceProbe->failures.size(), 1u);
    EXPECT_EQ(machine.interfaceProbe->failures[0].controlCode, IOCTL_PROBE_READ_VALUE);
    EXPECT_EQ(machine.interfaceProbe->failures[0].error, ERROR_GEN_FAILURE);
    EXPECT_EQ(machine.interfaceProbe->failures[0].times, 3);

    ASSERT_TRUE(machine.fixedProbe);
    EXPECT_TRUE(machine.fixedProbe->present);
    EXPECT_EQ(machine.fixedProbe->status, 0x1501);
    EXPECT_EQ(machine.fixedProbe->counts, 960);
    ASSERT_EQ(machine.fixedProbe->failures.size(), 2u);
    EXPECT_EQ(machine.fixedProbe->failures[0].controlCode, IOCTL_PROBE_GET_COUNTS);
    EXPECT_EQ(machine.fixedProbe->failures[0].error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(machine.fixedProbe->failures[0].times, sim::kAlways);
    EXPECT_EQ(machine.fixedProbe->failures[1].controlCode, IOCTL_PROBE_GET_STATUS);
    EXPECT_EQ(machine.fixedProbe->failures[1].error, ERROR_TIMEOUT);

    ASSERT_EQ(machine.wmiInstances.size(), 2u);
    EXPECT_EQ(machine.wmiInstances[0].instanceName, u"ACPI\\PNP0C14\\0_0");
    EXPECT_EQ(Show(machine.wmiInstances[0].temperature), "vt3:564");
    EXPECT_EQ(machine.wmiInstances[1].instanceName, u"other");
    EXPECT_EQ(Show(machine.wmiInstances[1].temperature), "vt5:29.500000");

    ASSERT_EQ(machine.registry.size(), 2u);
    EXPECT_EQ(machine.registry[0].root, sim::RegistryRoot::CurrentConfig);
    EXPECT_EQ(machine.registry[0].keyPath, u"Software\\Varmel\\Configure");
    EXPECT_EQ(machine.registry[0].name, u"TestMode");
    EXPECT_EQ(machine.registry[0].type, REG_SZ);
    EXPECT_EQ(machine.registry[0].data, Utf16Bytes(u"Enable"));
    EXPECT_EQ(machine.registry[1].root, sim::RegistryRoot::LocalMachine);
    EXPECT_EQ(machine.registry[1].keyPath, u"Software\\Lab");
    EXPECT_EQ(machine.registry[1].name, u"Level");
    EXPECT_EQ(machine.registry[1].type, REG_DWORD);
    EXPECT_EQ(machine.registry[1].data, (std::vector<std::uint8_t>{0x10, 0, 0, 0}));

    ASSERT_TRUE(machine.hostedDevice);
    EXPECT_TRUE(machine.hostedDevice->present);
    EXPECT_EQ(machine.hostedDevice->instanceId, u"ROOT\\LAB\\0001");
    EXPECT_EQ(machine.hostedDevice->description, u"Probe in the rack");

    EXPECT_EQ(machine.acMap, "100 = 25.5\n");
    EXPECT_FALSE(machine.dcMap);
}

TEST(MachineFile, ParseMachine_ADeviceSectionStartsFromTheDefaultEntry)
{
    EXPECT_FALSE(Parsed("[machine]\n").hostedDevice);
    const auto machine = Parsed("[device]\ndescription = \"\"\n");
    ASSERT_TRUE(machine.hostedDevice);
    EXPECT_TRUE(machine.hostedDevice->present);
    EXPECT_EQ(machine.hostedDevice->instanceId, sim::kDefaultHostedDeviceInstanceId);
    EXPECT_EQ(machine.hostedDevice->description, u"");
    EXPECT_FALSE(Parsed("[device]\npresent = no\n").hostedDevice->present);
}

TEST(MachineFile, ParseMachine_AnEmptyTextIsAMachineWithNothingInIt)
{
    for (const char* text : {"", "\n\n", "# only a comment\n", "[machine]\n"}) {
        const auto machine = Parsed(text);
        EXPECT_EQ(machine.acLineStatus, 1) << text;
        EXPECT_FALSE(machine.interfaceProbe);
        EXPECT_FALSE(machine.fixedProbe);
        EXPECT_TRUE(machine.wmiInstances.empty());
        EXPECT_TRUE(machine.registry.empty());
        EXPECT_TRUE(machine.stateDirectory.empty());
        EXPECT_TRUE(machine.windowsDirectory.empty());
    }
}

TEST(MachineFile, ParseMachine_ProbeSectionsStartFromAPresentProbeAt25Degrees)
{
    const auto machine = Parsed("[interface-probe]\n[fixed-probe]\nkind = 21\n");
    ASSERT_TRUE(machine.interfaceProbe && machine.fixedProbe);
    EXPECT_TRUE(machine.interfaceProbe->present);
    EXPECT_EQ(machine.interfaceProbe->temperature, 25.0);
    EXPECT_FALSE(machine.interfaceProbe->raw);
    EXPECT_EQ(machine.fixedProbe->kind, 21);
    EXPECT_EQ(machine.fixedProbe->temperature, 25.0);
    EXPECT_FALSE(machine.fixedProbe->status);
    EXPECT_FALSE(machine.fixedProbe->counts);
}

TEST(MachineFile, ParseMachine_KeywordsIgnoreCaseAndCommentsStopAtQuotes)
{
    const auto machine = Parsed(
        "[MACHINE]  # the machine\n"
        "Power = DC\n"
        "windows-directory = \"/srv/a#b \"\"c\"\"\"   # quoted\n"
        "[Interface-Probe]\n"
        "Temperature = -15\n"
        "fail = ANY Not-Ready\n");
    EXPECT_EQ(machine.acLineStatus, 0);
    EXPECT_EQ(machine.windowsDirectory, "/srv/a#b \"c\"");
    ASSERT_TRUE(machine.interfaceProbe);
    EXPECT_EQ(machine.interfaceProbe->temperature, -15.0);
    EXPECT_EQ(machine.interfaceProbe->failures.at(0).controlCode, 0u);
    EXPECT_EQ(machine.interfaceProbe->failures.at(0).error, 21u);
}

TEST(MachineFile, ParseMachine_TakesMapSectionsVerbatimUpToTheNextSection)
{
    const auto machine = Parsed(
        "[map ac]\r\n"
        "# the AC map\r\n"
        "  100 = 25.5  # note\r\n"
        "abc\r\n"
        "\r\n"
        "=7\r\n"
        "\r\n"
        "   \r\n"
        "  [map dc]\r\n"
        "[machine]\r\n"
        "power = unknown\r\n");
    EXPECT_EQ(machine.acMap, "# the AC map\n  100 = 25.5  # note\nabc\n\n=7\n");
    EXPECT_EQ(machine.dcMap, "");  // an empty file: the DC map loads nothing
    EXPECT_EQ(machine.acLineStatus, 255);
}

TEST(MachineFile, ParseMachine_ReadsEachWmiValueType)
{
    struct Case {
        const char* value;
        std::string shown;
    };
    const Case cases[] = {
        {"3000", "vt3:3000"},
        {"-2147483648", "vt3:-2147483648"},
        {"i4 0x10", "vt3:16"},
        {"i2 -32768", "vt2:-32768"},
        {"ui4 4294967295", "vt19:4294967295"},
        {"r8 -1.5e1", "vt5:-15.000000"},
        {"bool TRUE", "vt11:true"},
        {"bstr \"30 00\"", "vt8:30 00"},
        {"bstr 3000", "vt8:3000"},
        {"null", "vt1:"},
        {"none", "none"},
    };
    for (const Case& c : cases) {
        const auto machine = Parsed(std::string("[wmi]\ninstance = x ") + c.value + "\n");
        ASSERT_EQ(machine.wmiInstances.size(), 1u) << c.value;
        EXPECT_EQ(Show(machine.wmiInstances[0].temperature), c.shown) << c.value;
    }
}

TEST(MachineFile, ParseMachine_ReadsEachRegistryDataForm)
{
    const auto machine = Parsed(
        "[registry]\n"
        "TestMode = enable me   # two words, one text\n"
        "HKCC\\Software\\Varmel\\Configure\\Empty =\n"
        "\"HKLM\\Soft ware\\A\" = \"dword 1\"\n"
        "HKLM\\Software\\B = expand-sz \"%x%\"\n"
        "HKLM\\Software\\C = binary 00 ff 7\n"
        "HKLM\\Software\\D = dword -1\n");
    ASSERT_EQ(machine.registry.size(), 6u);
    EXPECT_EQ(machine.registry[0].data, Utf16Bytes(u"enable me"));
    EXPECT_EQ(machine.registry[1].name, u"Empty");
    EXPECT_EQ(machine.registry[1].data, Utf16Bytes(u""));
    EXPECT_EQ(machine.registry[2].keyPath, u"Soft ware");
    EXPECT_EQ(machine.registry[2].type, REG_SZ);
    EXPECT_EQ(machine.registry[2].data, Utf16Bytes(u"dword 1"));
    EXPECT_EQ(machine.registry[3].type, 2u);  // REG_EXPAND_SZ
    EXPECT_EQ(machine.registry[3].data, Utf16Bytes(u"%x%"));
    EXPECT_EQ(machine.registry[4].type, REG_BINARY);
    EXPECT_EQ(machine.registry[4].data, (std::vector<std::uint8_t>{0x00, 0xFF, 0x07}));
    EXPECT_EQ(machine.registry[5].data, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(MachineFile, ParseMachine_ConvertsUtf8TextToUtf16)
{
    const auto machine = Parsed("[wmi]\ninstance = \"Zone \xC3\xA9\xF0\x9F\x94\xA5\" 1\n");
    ASSERT_EQ(machine.wmiInstances.size(), 1u);
    EXPECT_EQ(machine.wmiInstances[0].instanceName, u"Zone \u00E9\U0001F525");
}

struct BadCase {
    const char* name;
    const char* text;
    int line;
    const char* message;  // a part of the error text
};

void PrintTo(const BadCase& c, std::ostream* out)
{
    *out << c.name;
}

const BadCase kBadCases[] = {
    {"SettingOutsideASection", "\npower = ac\n", 2, "outside any section"},
    {"UnknownSection", "[machine]\n[probe]\n", 2, "unknown section [probe]"},
    {"TextAfterAHeader", "[machine] power\n", 1, "ends with ']'"},
    {"RepeatedSection", "[wmi]\n[machine]\n[wmi]\n", 3, "[wmi] appears again (first at line 1)"},
    {"UnknownKey", "[interface-probe]\ntempreature = 25\n", 2, "unknown key \"tempreature\" in [interface-probe]"},
    {"NoEquals", "[machine]\npower ac\n", 2, "expected KEY = VALUE"},
    {"NoKey", "[machine]\n= ac\n", 2, "key before '=' is missing"},
    {"RepeatedKey", "[machine]\npower = ac\n\npower = dc\n", 4, "power is given again (first at line 2)"},
    {"UnknownPower", "[machine]\npower = battery\n", 2, "expected ac, dc or unknown"},
    {"TwoWordsForOne", "[machine]\npower = ac dc\n", 2, "expected one word"},
    {"MissingValue", "[machine]\npower =\n", 2, "the value is missing"},
    {"EmptyPath", "[machine]\nstate-directory = \"\"\n", 2, "the path is empty"},
    {"BadYesNo", "[fixed-probe]\npresent = maybe\n", 2, "expected yes or no"},
    {"TemperatureNotANumber", "[interface-probe]\ntemperature = warm\n", 2, "\"warm\" is not a temperature"},
    {"TemperatureNotFinite", "[interface-probe]\ntemperature = nan\n", 2, "not a temperature"},
    {"TemperatureTooHigh", "[interface-probe]\ntemperature = 105.1\n", 2, "out of range (-15 to 105"},
    {"RawTooLarge", "[interface-probe]\nraw = 4294967296\n", 2, "out of range (-2147483648 to 4294967295)"},
    {"RawHugeHex", "[interface-probe]\nraw = 0xFFFFFFFFFFFFFFFFFF\n", 2, "out of range"},
    {"RawWithTrailingText", "[interface-probe]\nraw = 12a\n", 2, "\"12a\" is not a number"},
    {"RawAndTemperature", "[interface-probe]\ntemperature = 20\n\nraw = 1\n", 4,
     "raw and temperature (line 2) cannot both be given"},
    {"SourceAndRaw", "[interface-probe]\nraw = 1\nsource = /t\n", 3, "source and raw (line 2) cannot both be given"},
    {"CountsAndSource", "[fixed-probe]\nsource = /t\ncounts = 5\n", 3, "counts and source (line 2)"},
    {"SourceEmpty", "[fixed-probe]\nsource = \"\"\n", 2, "source: the path is empty"},
    {"KindNotKnown", "[fixed-probe]\nkind = 22\n", 2, "kind must be 20 or 21"},
    {"StatusTooLarge", "[fixed-probe]\nstatus = 0x10000\n", 2, "out of range (0 to 65535)"},
    {"StatusBadHex", "[fixed-probe]\nstatus = 0x1g00\n", 2, "\"0x1g00\" is not a number"},
    {"StatusAndKind", "[fixed-probe]\nkind = 21\nstatus = 0x1501\n", 3, "status and kind (line 2)"},
    {"CountsAndTemperature", "[fixed-probe]\ntemperature = 30\ncounts = 5\n", 3, "counts and temperature (line 2)"},
    {"FailOtherProbesRequest", "[fixed-probe]\nfail = read-value gen-failure\n", 2,
     "expected the request status, counts or any"},
    {"FailWithoutError", "[interface-probe]\nfail = read-value\n", 2, "expected an error"},
    {"FailWithErrorZero", "[interface-probe]\nfail = any 0\n", 2, "expected an error number"},
    {"FailZeroTimes", "[interface-probe]\nfail = any 31 0\n", 2, "expected the times"},
    {"FailTooManyWords", "[interface-probe]\nfail = any 31 2 3\n", 2, "too many words"},
    {"FailRepeated", "[fixed-probe]\nfail = counts 31\nfail = status 31\nfail = counts 21\n", 4,
     "fail counts is given again (first at line 2)"},
    {"UnclosedQuote", "[wmi]\ninstance = \"ACPI\\PNP0C14\\0_0 564\n", 2, "a quote is not closed"},
    {"QuoteInsideAWord", "[wmi]\ninstance = AC\"PI\" 564\n", 2, "quote inside the word"},
    {"WmiWithoutValue", "[wmi]\ninstance = \"ACPI\\PNP0C14\\0_0\"\n", 2, "the Temperature value is missing"},
    {"WmiUnknownType", "[wmi]\ninstance = x i8 5\n", 2, "unknown type \"i8\""},
    {"WmiI2TooLarge", "[wmi]\ninstance = x i2 40000\n", 2, "out of range (-32768 to 32767)"},
    {"WmiQuotedValue", "[wmi]\ninstance = x \"3000\"\n", 2, "needs its type: bstr"},
    {"WmiBadBool", "[wmi]\ninstance = x bool yes\n", 2, "expected true or false"},
    {"WmiUnknownKey", "[wmi]\nzone = x 1\n", 2, "unknown key \"zone\" in [wmi]"},
    {"BadUtf8", "[wmi]\ninstance = \"\xC3\x28\" 1\n", 2, "not valid UTF-8"},
    {"Utf8Surrogate", "[wmi]\ninstance = \"\xED\xA0\x80\" 1\n", 2, "not valid UTF-8"},
    {"RegistryUnknownRoot", "[registry]\nHKEY_USERS\\x\\y = 1\n", 2, "unknown registry root \"HKEY_USERS\""},
    {"RegistryNoKey", "[registry]\nHKLM\\y = 1\n", 2, "expected ROOT\\KEY\\NAME"},
    {"RegistryEmptyPart", "[registry]\nHKLM\\a\\\\b = 1\n", 2, "has an empty part"},
    {"RegistryBadDword", "[registry]\nTestMode = dword one\n", 2, "\"one\" is not a number"},
    {"RegistryBadByte", "[registry]\nTestMode = binary 100\n", 2, "expected a byte in hexadecimal"},
    {"RegistryRepeatedInAnotherCase", "[registry]\nTestMode = a\ntestmode = b\n", 3,
     "is given again (first at line 2)"},
    {"DeviceEmptyId", "[device]\ninstance-id = \"\"\n", 2, "instance-id: the identifier is empty"},
    {"DeviceUnknownKey", "[device]\nname = x\n", 2, "unknown key \"name\" in [device]"},
    {"ControlCharacter", "[machine]\npower = ac\x01\n", 2, "control character 0x01"},
    {"CrLfCountsLines", "[machine]\r\npower = ac\r\n\r\nbogus = 1\r\n", 4, "unknown key \"bogus\""},
    {"ErrorAfterAMapSection", "[map ac]\n1=2\n# x\n[machine]\nfoo = 1\n", 5, "unknown key \"foo\""},
};

class MachineFileError : public ::testing::TestWithParam<BadCase> {};

TEST_P(MachineFileError, ParseMachine_NamesTheLineAndTheFault)
{
    const BadCase& c = GetParam();
    const sim::ParsedMachine parsed = ParseMachine(c.text);
    EXPECT_FALSE(parsed.machine);
    EXPECT_EQ(parsed.errorLine, c.line);
    EXPECT_EQ(parsed.error.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << parsed.error;
    EXPECT_NE(parsed.error.find(c.message), std::string::npos) << parsed.error;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
}

INSTANTIATE_TEST_SUITE_P(BadLines, MachineFileError, ::testing::ValuesIn(kBadCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(MachineFile, DefaultMachine_HasBothProbesAt25DegreesOneWmiInstanceAndMainsPower)
{
    const auto machine = Parsed(sim::kDefaultMachine);
    EXPECT_EQ(machine.acLineStatus, 1);
    ASSERT_TRUE(machine.interfaceProbe && machine.fixedProbe);
    EXPECT_TRUE(machine.interfaceProbe->present);
    EXPECT_EQ(machine.interfaceProbe->temperature, 25.0);
    EXPECT_TRUE(machine.fixedProbe->present);
    EXPECT_EQ(machine.fixedProbe->kind, 20);
    EXPECT_EQ(machine.fixedProbe->temperature, 25.0);
    ASSERT_EQ(machine.wmiInstances.size(), 1u);
    EXPECT_EQ(machine.wmiInstances[0].instanceName, u"ACPI\\PNP0C14\\0_0");
    // The instance's value is the default thermal map's key for 25.0 degrees.
    EXPECT_EQ(Show(machine.wmiInstances[0].temperature), "vt3:" + std::to_string(sim::RawKeyForTemperature(25.0)));
    EXPECT_TRUE(machine.registry.empty());
    EXPECT_FALSE(machine.acMap || machine.dcMap);
}

TEST(MachineFile, ReadMachineFile_NamesTheFileAndResolvesTheStateDirectoryBesideIt)
{
    test_support::TempDir dir;
    const std::string path = (dir.path() / "lab.machine").string();
    std::ofstream(path) << "[machine]\nstate-directory = state/../here\n";
    const sim::ParsedMachine parsed = sim::ReadMachineFile(path);
    ASSERT_TRUE(parsed.machine) << parsed.error;
    EXPECT_EQ(parsed.machine->stateDirectory, (dir.path() / "here").string());

    std::ofstream(path) << "[machine]\nstate-directory = /abs\n\n[bogus]\n";
    const sim::ParsedMachine bad = sim::ReadMachineFile(path);
    EXPECT_FALSE(bad.machine);
    EXPECT_EQ(bad.errorLine, 4);
    EXPECT_EQ(bad.error.rfind(path + ":4: unknown section [bogus]", 0), 0u) << bad.error;
}

// Only a regular file of at most 16 MiB is read, and none of the others blocks or fills memory.
TEST(MachineFile, ReadMachineFile_RefusesWhatIsNotASmallRegularFileSayingWhy)
{
    test_support::TempDir dir;
    const std::string fifo = (dir.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = (dir.path() / "large.machine").string();
    std::ofstream(large) << "[machine]\n";
    std::filesystem::resize_file(large, sim::kMaxMachineFileBytes + 1);
    const struct {
        std::string path;
        const char* why;
    } cases[] = {
        {(dir.path() / "none").string(), "cannot be used: No such file or directory"},
        {dir.path().string(), "cannot be used: it is a directory, not a regular file"},
        {"/dev/zero", "cannot be used: it is a character device, not a regular file"},
        {fifo, "cannot be used: it is a FIFO, not a regular file"},
        {large, "cannot be used: it is larger than a machine file may be (16 MiB)"},
    };
    for (const auto& c : cases) {
        const sim::ParsedMachine parsed = sim::ReadMachineFile(c.path);
        EXPECT_FALSE(parsed.machine) << c.path;
        EXPECT_EQ(parsed.error, c.path + ": " + c.why);
    }
}

TEST(MachineFile, ByteOrderMark_AtTheStartIsSkippedElsewhereRefused)
{
    const sim::ParsedMachine marked = sim::ParseMachine("\xEF\xBB\xBF[machine]\npower = dc\n");
    ASSERT_TRUE(marked.machine) << marked.error;
    EXPECT_EQ(marked.machine->acLineStatus, sim::kAcOffline);
    EXPECT_FALSE(sim::ParseMachine("[machine]\n\xEF\xBB\xBFpower = dc\n").machine);
}

}  // namespace
