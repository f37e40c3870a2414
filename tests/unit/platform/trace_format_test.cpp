#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform_testing/trace_session.h"

namespace {

using platform::testing::TraceDecoder;
using platform::testing::TraceFormatTable;
using platform::testing::TraceMessageRecord;

constexpr GUID kComponent = platform::MakeGuid("{5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10}");

template <class T>
std::vector<BYTE> Bytes(const T& value)
{
    std::vector<BYTE> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

std::vector<BYTE> Text(const char* text)
{
    return {text, text + std::strlen(text) + 1};
}

TraceMessageRecord Message(USHORT number, std::vector<std::vector<BYTE>> arguments, GUID guid = kComponent)
{
    TraceMessageRecord record;
    record.messageGuid = guid;
    record.number = number;
    record.arguments = std::move(arguments);
    return record;
}

TEST(TraceFormatTable, FormatsTheScopeTimerMessages)
{
    TraceFormatTable table;
    std::string error;
    ASSERT_TRUE(
        table.Parse("# comment\n"
                    "component {5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10} CScopeTimer\n"
                    "\n"
                    "10 INFO %1 begins\n"
                    "11 INFO %1 took %2 ms\r\n",
                    &error))
        << error;
    EXPECT_EQ(table.Format(Message(10, {Text("DllMain")})), "CScopeTimer INFO DllMain begins");
    EXPECT_EQ(table.Format(Message(11, {Text("DllMain"), Bytes(1.5)})), "CScopeTimer INFO DllMain took 1.5 ms");
}

struct PlaceholderCase {
    const char* format;
    std::vector<std::vector<BYTE>> arguments;
    const char* expected;
};

TEST(TraceFormatTable, PutsArgumentsInByShapeOrByNamedKind)
{
    const std::vector<PlaceholderCase> cases = {
        {"%1", {Bytes(std::int32_t{-5})}, "-5"},
        {"%1!x!", {Bytes(std::int32_t{-2147024882})}, "0x8007000E"},
        {"%1!u!", {Bytes(std::uint32_t{4000000000u})}, "4000000000"},
        {"%1!d!", {Bytes(std::int32_t{7})}, "7"},
        {"%1", {Bytes(-1024.0)}, "-1024"},
        {"%1!f!", {Bytes(0.25)}, "0.25"},
        {"%1!I64d!", {Bytes(std::int64_t{-3})}, "-3"},
        {"%1!I64u!", {Bytes(std::uint64_t{18446744073709551615ull})}, "18446744073709551615"},
        {"%1!I64x!", {Bytes(std::uint64_t{0x1122334455667788ull})}, "0x1122334455667788"},
        {"%1!s! and %2", {Text("abc"), Text("")}, "abc and "},
        {"%1!d!", {Text("abcd")}, "abcd"},    // does not fit the named kind: shown by its shape
        {"%1!d!", {Text("abc")}, "6513249"},  // four bytes fit a 32-bit integer
        {"%1", {{1, 2, 3}}, "0x030201"},
        {"100%% of %1", {Bytes(std::int32_t{3})}, "100% of 3"},
        {"%2 then %1", {Bytes(std::int32_t{1}), Bytes(std::int32_t{2})}, "2 then 1"},
        {"%3 is absent", {Bytes(std::int32_t{1})}, "<missing %3> is absent"},
        {"%x is not a placeholder", {}, "%x is not a placeholder"},
        {"ends with %", {}, "ends with %"},
    };
    for (const auto& c : cases) {
        TraceFormatTable table;
        ASSERT_TRUE(
            table.Parse(std::string("component {5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10} C\n1 ERROR ") + c.format));
        EXPECT_EQ(table.Format(Message(1, c.arguments)), std::string("C ERROR ") + c.expected) << c.format;
    }
}

TEST(TraceFormatTable, MessageWithoutFormatShowsGuidNumberAndArguments)
{
    TraceFormatTable table;
    EXPECT_EQ(table.Format(Message(42, {Bytes(std::int32_t{9}), Text("x")})),
              "{5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10} #42 9 x");
}

TEST(TraceFormatTable, MalformedTextIsRefusedWithItsLine)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"10 INFO text", "line 1: message before any component"},
        {"component {nope} C", "line 1: bad component GUID"},
        {"component {5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10}", "line 1: component without a name"},
        {"component {5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10} C\n\n1 INFO a\n1 INFO b",
         "line 4: message number 1 given twice"},
        {"component {5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10} C\n70000 INFO a",
         "line 2: expected \"component\" or a message number, got \"70000\""},
        {"component {5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10} C\n12", "line 2: message without a level"},
    };
    for (const auto& [text, expected] : cases) {
        TraceFormatTable table;
        std::string error;
        EXPECT_FALSE(table.Parse(text, &error)) << text;
        EXPECT_EQ(error, expected) << text;
    }
}

TEST(TraceFormatTable, EveryFormatFileOfTheDriverLoads)
{
    // Not beside __FILE__: a compiler cache may make that path relative to the build directory.
    const auto directory = std::filesystem::path(THERMAL_SOURCE_DIR) / "driver" / "trace_formats";
    TraceFormatTable table;
    std::string error;
    EXPECT_TRUE(table.LoadDirectory(directory.string(), &error)) << error;
    EXPECT_EQ(table.Format(Message(10, {Text("DllMain")})), "CScopeTimer INFO DllMain begins");

    EXPECT_FALSE(table.LoadDirectory((directory / "no-such-directory").string(), &error));
    EXPECT_FALSE(table.LoadFile((directory / "no-such-file.txt").string(), &error));
    EXPECT_NE(error.find("no-such-file.txt"), std::string::npos);
}

TEST(TraceDecoder, HandsEachFormattedLineToItsSink)
{
    TraceFormatTable table;
    ASSERT_TRUE(table.Parse("component {5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10} CScopeTimer\n10 INFO %1 begins"));
    std::vector<std::string> lines;
    TraceDecoder decoder(table, [&](const std::string& line) { lines.push_back(line); });
    decoder.OnMessage(Message(10, {Text("CWmiThermal::InitComComponent()")}));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "CScopeTimer INFO CWmiThermal::InitComComponent() begins");
}

}  // namespace
