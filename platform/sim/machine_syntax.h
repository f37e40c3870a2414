// The words and values that the machine file and the machine commands share: how a line splits
// into words, and how each kind of value reads. Every function returns an error text, empty on
// success; none throws for any input (allocation failure aside).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device_tree.h"
#include "sim/machine.h"
#include "sim/probe_devices.h"
#include "platform_support/text_coding.h"

namespace sim::detail {

// Serialises ApplyMachine, ResetMachine and the machine commands.
std::mutex& MachineLock();

// The hosted device's entry as it was when it was removed, so that a restore brings it back.
// Guarded by MachineLock().
std::optional<HostedDeviceEntry>& RemovedHostedDeviceLocked();

// One word of a line: a run of characters without blanks, or a quoted text ("" stands for one
// quote inside it). `begin` is its offset in the text it was split from.
struct Word {
    std::string text;
    bool quoted = false;
    std::size_t begin = 0;
};

std::string_view Trim(std::string_view text);
bool IsBlank(char c);
// ASCII letters compared without regard to case.
bool SameWord(std::string_view a, std::string_view b);
std::string Lower(std::string_view text);

// Cuts the comment: from the first '#' outside quotes. A quote left open is an error.
std::string StripComment(std::string_view line, std::string_view& kept);
// A control character other than a tab is an error.
std::string CheckCharacters(std::string_view line);
std::string SplitWords(std::string_view text, std::vector<Word>& words);
// A text value: one quoted word, or the text itself as written (which then holds no quote).
std::string TextValue(std::string_view text, std::string& value);

// Strict: text that is not valid UTF-8 is an error.
std::string Utf8ToUtf16(std::string_view text, std::u16string& out);
using platform::support::Utf16ToUtf8;
// The text in double quotes, as the machine file would quote it.
std::string Quoted(std::string_view text);

// Values.
std::string ParseYesNo(std::string_view word, bool& value);
std::string ParsePower(std::string_view word, std::uint8_t& acLineStatus);
const char* PowerWord(std::uint8_t acLineStatus);
// Degrees Celsius that the probes can answer: -15 to 105.
std::string ParseTemperature(std::string_view word, double& celsius);
// Decimal, or hexadecimal after "0x"; a sign only when `min` is negative.
std::string ParseInteger(std::string_view word, std::int64_t min, std::int64_t max, std::int64_t& value);
std::string ParseRawValue(std::string_view word, std::uint32_t& raw);
std::string ParseKind(std::string_view word, std::uint8_t& kind);
std::string ParseUint16(std::string_view word, std::uint16_t& value);

// "REQUEST ERROR [TIMES|always]" or "REQUEST off" for one probe. `request` names the request.
std::string ParseFailure(Probe probe, std::span<const Word> words, ProbeFailure& failure);
std::string RequestWord(DWORD controlCode);

// "[TYPE] VALUE", "null" or "none" (no property).
std::string ParseWmiValue(std::span<const Word> words, std::optional<WmiValue>& value);
std::string DescribeWmiValue(const std::optional<WmiValue>& value);
// An instance name: one word.
std::string ParseInstanceName(const Word& word, std::u16string& name);

// A value name under the driver's key ("TestMode"), or ROOT\key\path\name.
std::string ParseRegistryPath(const Word& word, RegistryValueDescription& target);
std::string RegistryPathText(const RegistryValueDescription& target);
// "[TYPE] DATA" from the text as written; a plain text is a REG_SZ string.
std::string ParseRegistryData(std::string_view text, RegistryValueDescription& target);

}  // namespace sim::detail
