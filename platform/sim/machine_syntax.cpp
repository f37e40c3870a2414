#include "machine_syntax.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "platform/win32_error.h"

namespace sim::detail {
namespace {

constexpr double kLowestCelsius = -15.0;
constexpr double kHighestCelsius = 105.0;

constexpr char16_t kDriverKey[] = u"Software\\Varmel\\Configure";

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

struct NamedError {
    const char* name;
    DWORD code;
};

// Errors a device commonly fails a request with; any other is given by its number.
constexpr NamedError kErrorNames[] = {
    {"invalid-function", ERROR_INVALID_FUNCTION},
    {"gen-failure", ERROR_GEN_FAILURE},
    {"not-ready", 21},
    {"not-supported", ERROR_NOT_SUPPORTED},
    {"insufficient-buffer", ERROR_INSUFFICIENT_BUFFER},
    {"io-device", 1117},
    {"device-not-connected", ERROR_DEVICE_NOT_CONNECTED},
    {"timeout", ERROR_TIMEOUT},
};

struct NamedRequest {
    const char* name;
    DWORD code;
};

constexpr NamedRequest kInterfaceRequests[] = {{"read-value", IOCTL_PROBE_READ_VALUE}, {"any", 0}};
constexpr NamedRequest kFixedRequests[] = {
    {"status", IOCTL_PROBE_GET_STATUS}, {"counts", IOCTL_PROBE_GET_COUNTS}, {"any", 0}};

char LowerChar(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Shown(std::string_view word)
{
    return Quoted(word);
}

std::string NotANumber(std::string_view word)
{
    return Shown(word) + " is not a number";
}

template <class T>
std::string Number(T value)
{
    return std::to_string(value);
}

std::string Utf16Bytes(std::u16string_view text, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    for (const char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return {};
}

}  // namespace

std::mutex& MachineLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::optional<HostedDeviceEntry>& RemovedHostedDeviceLocked()
{
    static auto* entry = new std::optional<HostedDeviceEntry>;
    return *entry;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool SameWord(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerChar(a[i]) != LowerChar(b[i])) return false;
    }
    return true;
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) c = LowerChar(c);
    return lower;
}

std::string StripComment(std::string_view line, std::string_view& kept)
{
    bool inQuote = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            inQuote = !inQuote;
        } else if (line[i] == '#' && !inQuote) {
            kept = line.substr(0, i);
            return {};
        }
    }
    kept = line;
    return inQuote ? "a quote is not closed" : "";
}

std::string CheckCharacters(std::string_view line)
{
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            char text[8];
            std::snprintf(text, sizeof(text), "0x%02X", u);
            return std::string("the control character ") + text + " is not allowed";
        }
    }
    return {};
}

std::string SplitWords(std::string_view text, std::vector<Word>& words)
{
    words.clear();
    std::size_t i = 0;
    while (true) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        if (i == text.size()) return {};
        Word word;
        word.begin = i;
        if (text[i] == '"') {
            word.quoted = true;
            ++i;
            while (true) {
                if (i == text.size()) return "a quote is not closed";
                if (text[i] != '"') {
                    word.text += text[i++];
                } else if (i + 1 < text.size() && text[i + 1] == '"') {
                    word.text += '"';
                    i += 2;
                } else {
                    ++i;
                    break;
                }
            }
            if (i < text.size() && !IsBlank(text[i])) return "a quoted text must end its word";
        } else {
            while (i < text.size() && !IsBlank(text[i])) {
                if (text[i] == '"') {
                    return "a quote inside the word " + Shown(text.substr(word.begin, i - word.begin)) +
                           "; quote the whole word";
                }
                word.text += text[i++];
            }
        }
        words.push_back(std::move(word));
    }
}

std::string TextValue(std::string_view text, std::string& value)
{
    text = Trim(text);
    if (!text.empty() && text.front() == '"') {
        std::vector<Word> words;
        if (auto error = SplitWords(text, words); !error.empty()) return error;
        if (words.size() != 1) return "expected one quoted text";
        value = words.front().text;
        return {};
    }
    if (text.find('"') != std::string_view::npos) return "a quote inside a text; quote the whole text";
    value = text;
    return {};
}

std::string Utf8ToUtf16(std::string_view text, std::u16string& out)
{
    auto decoded = platform::support::StrictUtf8ToUtf16(text);
    out = decoded ? std::move(*decoded) : std::u16string();
    return decoded ? std::string() : "the text is not valid UTF-8";
}

std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + "\"";
}

std::string ParseYesNo(std::string_view word, bool& value)
{
    if (SameWord(word, "yes")) {
        value = true;
    } else if (SameWord(word, "no")) {
        value = false;
    } else {
        return "expected yes or no, not " + Shown(word);
    }
    return {};
}

std::string ParsePower(std::string_view word, std::uint8_t& acLineStatus)
{
    if (SameWord(word, "ac")) {
        acLineStatus = 1;
    } else if (SameWord(word, "dc")) {
        acLineStatus = 0;
    } else if (SameWord(word, "unknown")) {
        acLineStatus = 255;
    } else {
        return "expected ac, dc or unknown, not " + Shown(word);
    }
    return {};
}

const char* PowerWord(std::uint8_t acLineStatus)
{
    if (acLineStatus == 1) return "ac";
    if (acLineStatus == 0) return "dc";
    return "unknown";
}

std::string ParseTemperature(std::string_view word, double& celsius)
{
    std::string_view digits = word;
    if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-') digits.remove_prefix(1);
    double value = 0.0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) {
        return Shown(word) + " is not a temperature";
    }
    if (value < kLowestCelsius || value > kHighestCelsius) {
        return std::string(word) + " is out of range (-15 to 105 degrees)";
    }
    celsius = value;
    return {};
}

std::string ParseInteger(std::string_view word, std::int64_t min, std::int64_t max, std::int64_t& value)
{
    std::string_view digits = word;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    const std::string range = " is out of range (" + Number(min) + " to " + Number(max) + ")";
    if (digits.empty() || end != digits.data() + digits.size() ||
        (error != std::errc() && error != std::errc::result_out_of_range)) {
        return NotANumber(word);
    }
    if (error == std::errc::result_out_of_range || magnitude > (std::uint64_t{1} << 62))
        return std::string(word) + range;
    const auto signedValue = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    if (signedValue < min || signedValue > max) return std::string(word) + range;
    value = signedValue;
    return {};
}

std::string ParseRawValue(std::string_view word, std::uint32_t& raw)
{
    std::int64_t value = 0;
    if (auto error = ParseInteger(word, INT32_MIN, UINT32_MAX, value); !error.empty()) return error;
    raw = static_cast<std::uint32_t>(value);
    return {};
}

std::string ParseKind(std::string_view word, std::uint8_t& kind)
{
    std::int64_t value = 0;
    if (auto error = ParseInteger(word, 0, 255, value); !error.empty()) return error;
    if (value != PROBE_KIND_20 && value != PROBE_KIND_21) {
        return "the kind must be 20 or 21 (a status word gives any other kind)";
    }
    kind = static_cast<std::uint8_t>(value);
    return {};
}

std::string ParseUint16(std::string_view word, std::uint16_t& value)
{
    std::int64_t parsed = 0;
    if (auto error = ParseInteger(word, 0, 0xFFFF, parsed); !error.empty()) return error;
    value = static_cast<std::uint16_t>(parsed);
    return {};
}

std::string ParseFailure(Probe probe, std::span<const Word> words, ProbeFailure& failure)
{
    const std::span<const NamedRequest> requests =
        probe == Probe::kInterface ? std::span<const NamedRequest>(kInterfaceRequests) : kFixedRequests;
    if (words.empty()) return "expected a request and an error";
    const NamedRequest* request = nullptr;
    for (const auto& candidate : requests) {
        if (SameWord(words[0].text, candidate.name)) request = &candidate;
    }
    if (request == nullptr) {
        return std::string("expected the request ") +
               (probe == Probe::kInterface ? "read-value or any" : "status, counts or any") + ", not " +
               Shown(words[0].text);
    }
    failure.controlCode = request->code;
    if (words.size() == 2 && SameWord(words[1].text, "off")) {
        failure.error = 0;
        failure.times = 0;
        return {};
    }
    if (words.size() < 2) return "expected an error after " + Shown(words[0].text);
    if (words.size() > 3) return "too many words after the times: " + Shown(words[3].text);

    const NamedError* named = nullptr;
    for (const auto& candidate : kErrorNames) {
        if (SameWord(words[1].text, candidate.name)) named = &candidate;
    }
    if (named != nullptr) {
        failure.error = named->code;
    } else {
        std::int64_t code = 0;
        if (ParseInteger(words[1].text, 1, UINT32_MAX, code).empty()) {
            failure.error = static_cast<DWORD>(code);
        } else {
            return "expected an error number (1 or more) or name, not " + Shown(words[1].text);
        }
    }
    failure.times = kAlways;
    if (words.size() == 3 && !SameWord(words[2].text, "always")) {
        std::int64_t times = 0;
        if (auto error = ParseInteger(words[2].text, 1, INT32_MAX, times); !error.empty()) {
            return "expected the times (1 or more) or always: " + error;
        }
        failure.times = static_cast<int>(times);
    }
    return {};
}

std::string RequestWord(DWORD controlCode)
{
    if (controlCode == IOCTL_PROBE_READ_VALUE) return "read-value";
    if (controlCode == IOCTL_PROBE_GET_STATUS) return "status";
    if (controlCode == IOCTL_PROBE_GET_COUNTS) return "counts";
    return "any";
}

std::string ParseWmiValue(std::span<const Word> words, std::optional<WmiValue>& value)
{
    if (words.empty()) return "the Temperature value is missing";
    if (words.size() > 2) return "too many words after the value: " + Shown(words[2].text);
    if (words.size() == 1) {
        const Word& word = words[0];
        if (word.quoted) return "a quoted value needs its type: bstr " + Quoted(word.text);
        if (SameWord(word.text, "null")) {
            value = WmiValue::Null();
        } else if (SameWord(word.text, "none")) {
            value.reset();
        } else {
            std::int64_t number = 0;
            if (auto error = ParseInteger(word.text, INT32_MIN, INT32_MAX, number); !error.empty()) {
                return error + "; a value is an i4 number, TYPE VALUE, null or none";
            }
            value = WmiValue::I4(static_cast<std::int32_t>(number));
        }
        return {};
    }
    const std::string type = Lower(words[0].text);
    const std::string_view text = words[1].text;
    std::int64_t number = 0;
    if (words[0].quoted) return "expected a type, not the quoted " + Quoted(words[0].text);
    if (type == "i2") {
        if (auto error = ParseInteger(text, INT16_MIN, INT16_MAX, number); !error.empty()) return error;
        value = WmiValue::I2(static_cast<std::int16_t>(number));
    } else if (type == "i4") {
        if (auto error = ParseInteger(text, INT32_MIN, INT32_MAX, number); !error.empty()) return error;
        value = WmiValue::I4(static_cast<std::int32_t>(number));
    } else if (type == "ui4") {
        if (auto error = ParseInteger(text, 0, UINT32_MAX, number); !error.empty()) return error;
        value = WmiValue::UI4(static_cast<std::uint32_t>(number));
    } else if (type == "r8") {
        double real = 0.0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), real);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(real)) {
            return NotANumber(text);
        }
        value = WmiValue::R8(real);
    } else if (type == "bool") {
        if (SameWord(text, "true")) {
            value = WmiValue::Bool(true);
        } else if (SameWord(text, "false")) {
            value = WmiValue::Bool(false);
        } else {
            return "expected true or false, not " + Shown(text);
        }
    } else if (type == "bstr") {
        std::u16string wide;
        if (auto error = Utf8ToUtf16(text, wide); !error.empty()) return error;
        value = WmiValue::String(wide);
    } else {
        return "unknown type " + Shown(words[0].text) + "; expected i2, i4, ui4, r8, bool or bstr";
    }
    return {};
}

std::string DescribeWmiValue(const std::optional<WmiValue>& value)
{
    if (!value) return "none";
    VARIANT variant;
    VariantInit(&variant);
    if (FAILED(value->CopyTo(&variant))) return "?";
    std::string text;
    switch (variant.vt) {
        case VT_NULL:
            text = "null";
            break;
        case VT_I2:
            text = "i2 " + Number(variant.iVal);
            break;
        case VT_I4:
            text = "i4 " + Number(variant.lVal);
            break;
        case VT_UI4:
            text = "ui4 " + Number(variant.ulVal);
            break;
        case VT_R8: {
            char number[32];
            std::snprintf(number, sizeof(number), "%g", variant.dblVal);
            text = std::string("r8 ") + number;
            break;
        }
        case VT_BOOL:
            text = variant.boolVal != VARIANT_FALSE ? "bool true" : "bool false";
            break;
        case VT_BSTR:
            text = "bstr " + Quoted(Utf16ToUtf8(variant.bstrVal == nullptr ? u"" : variant.bstrVal));
            break;
        default:
            text = "vt " + Number(variant.vt);
            break;
    }
    VariantClear(&variant);
    return text;
}

std::string ParseInstanceName(const Word& word, std::u16string& name)
{
    return Utf8ToUtf16(word.text, name);
}

std::string ParseRegistryPath(const Word& word, RegistryValueDescription& target)
{
    const std::string_view path = word.text;
    if (path.empty()) return "the value name is empty";
    if (path.find('\\') == std::string_view::npos) {
        target.root = RegistryRoot::CurrentConfig;
        target.keyPath = kDriverKey;
        return Utf8ToUtf16(path, target.name);
    }
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        parts.push_back(path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    for (const auto part : parts) {
        if (part.empty()) return "the registry path " + Shown(path) + " has an empty part";
    }
    if (parts.size() < 3) return "expected ROOT\\KEY\\NAME, not " + Shown(path);
    if (SameWord(parts[0], "HKEY_CURRENT_CONFIG") || SameWord(parts[0], "HKCC")) {
        target.root = RegistryRoot::CurrentConfig;
    } else if (SameWord(parts[0], "HKEY_LOCAL_MACHINE") || SameWord(parts[0], "HKLM")) {
        target.root = RegistryRoot::LocalMachine;
    } else {
        return "unknown registry root " + Shown(parts[0]) + "; expected HKEY_CURRENT_CONFIG or HKEY_LOCAL_MACHINE";
    }
    std::string key;
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        if (!key.empty()) key += '\\';
        key += parts[i];
    }
    if (auto error = Utf8ToUtf16(key, target.keyPath); !error.empty()) return error;
    return Utf8ToUtf16(parts.back(), target.name);
}

std::string RegistryPathText(const RegistryValueDescription& target)
{
    const char* root = target.root == RegistryRoot::CurrentConfig ? "HKEY_CURRENT_CONFIG" : "HKEY_LOCAL_MACHINE";
    return std::string(root) + "\\" + Utf16ToUtf8(target.keyPath) + "\\" + Utf16ToUtf8(target.name);
}

std::string ParseRegistryData(std::string_view text, RegistryValueDescription& target)
{
    std::vector<Word> words;
    if (auto error = SplitWords(text, words); !error.empty()) return error;
    const std::string type = words.size() >= 2 && !words[0].quoted ? Lower(words[0].text) : std::string();
    if (type == "dword") {
        if (words.size() != 2) return "expected one number after dword";
        std::int64_t number = 0;
        if (auto error = ParseInteger(words[1].text, INT32_MIN, UINT32_MAX, number); !error.empty()) return error;
        const auto dword = static_cast<std::uint32_t>(number);
        target.type = kRegDword;
        target.data = {static_cast<std::uint8_t>(dword), static_cast<std::uint8_t>(dword >> 8),
                       static_cast<std::uint8_t>(dword >> 16), static_cast<std::uint8_t>(dword >> 24)};
        return {};
    }
    if (type == "binary") {
        target.type = kRegBinary;
        target.data.clear();
        for (std::size_t i = 1; i < words.size(); ++i) {
            const std::string_view byte = words[i].text;
            std::uint32_t value = 0;
            const auto [end, error] = std::from_chars(byte.data(), byte.data() + byte.size(), value, 16);
            if (words[i].quoted || byte.empty() || byte.size() > 2 || error != std::errc() ||
                end != byte.data() + byte.size()) {
                return "expected a byte in hexadecimal (00 to ff), not " + Shown(byte);
            }
            target.data.push_back(static_cast<std::uint8_t>(value));
        }
        return {};
    }
    std::string value;
    if (type == "sz" || type == "expand-sz") {
        target.type = type == "sz" ? kRegSz : kRegExpandSz;
        if (auto error = TextValue(text.substr(words[1].begin), value); !error.empty()) return error;
    } else {
        target.type = kRegSz;
        if (auto error = TextValue(text, value); !error.empty()) return error;
    }
    std::u16string wide;
    if (auto error = Utf8ToUtf16(value, wide); !error.empty()) return error;
    return Utf16Bytes(wide, target.data);
}

}  // namespace sim::detail
