// The trace format table: parses the format files and puts a message's arguments into its text.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform_support/trace_consumer.h"

namespace platform::support {
namespace {

using Bytes = std::vector<BYTE>;

std::string_view Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Splits off the first word; the rest is trimmed.
std::string_view TakeWord(std::string_view* text)
{
    const auto end = text->find_first_of(" \t");
    const std::string_view word = text->substr(0, end);
    *text = end == std::string_view::npos ? std::string_view{} : Trim(text->substr(end));
    return word;
}

bool SetError(std::string* error, std::size_t line, const std::string& what)
{
    if (error != nullptr) *error = "line " + std::to_string(line) + ": " + what;
    return false;
}

bool IsText(const Bytes& bytes)
{
    if (bytes.empty() || bytes.back() != 0) return false;
    return std::all_of(bytes.begin(), bytes.end() - 1, [](BYTE b) { return b >= 0x20 || b == '\t'; });
}

template <class T>
T Load(const Bytes& bytes)
{
    T value;
    std::memcpy(&value, bytes.data(), sizeof(T));
    return value;
}

std::string Double(double value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%g", value);
    return buffer;
}

// Hexadecimal, most significant byte first, as the little-endian value the bytes hold.
std::string HexBytes(const Bytes& bytes)
{
    if (bytes.empty()) return "<empty>";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) {
        text += kDigits[*it >> 4];
        text += kDigits[*it & 0xF];
    }
    return text;
}

std::string ByShape(const Bytes& bytes)
{
    if (IsText(bytes)) return std::string(reinterpret_cast<const char*>(bytes.data()));
    if (bytes.size() == 4) return std::to_string(Load<std::int32_t>(bytes));
    if (bytes.size() == 8) return Double(Load<double>(bytes));
    return HexBytes(bytes);
}

std::string ByKind(const Bytes& bytes, std::string_view kind)
{
    if (kind == "s" && IsText(bytes)) return std::string(reinterpret_cast<const char*>(bytes.data()));
    if (bytes.size() == 4) {
        if (kind == "d") return std::to_string(Load<std::int32_t>(bytes));
        if (kind == "u") return std::to_string(Load<std::uint32_t>(bytes));
        if (kind == "x") return HexBytes(bytes);
    }
    if (bytes.size() == 8) {
        if (kind == "f") return Double(Load<double>(bytes));
        if (kind == "I64d") return std::to_string(Load<std::int64_t>(bytes));
        if (kind == "I64u") return std::to_string(Load<std::uint64_t>(bytes));
        if (kind == "I64x") return HexBytes(bytes);
    }
    return ByShape(bytes);
}

std::string Substitute(std::string_view text, const std::vector<Bytes>& arguments)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        if (text[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        std::size_t index = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9' && index < 1000) {
            index = index * 10 + static_cast<std::size_t>(text[j] - '0');
            ++j;
        }
        if (j == i + 1) {
            out += '%';
            continue;
        }
        std::string_view kind;
        if (j < text.size() && text[j] == '!') {
            const auto close = text.find('!', j + 1);
            if (close != std::string_view::npos) {
                kind = text.substr(j + 1, close - j - 1);
                j = close + 1;
            }
        }
        if (index == 0 || index > arguments.size()) {
            out += "<missing %" + std::to_string(index) + ">";
        } else {
            out += kind.empty() ? ByShape(arguments[index - 1]) : ByKind(arguments[index - 1], kind);
        }
        i = j - 1;
    }
    return out;
}

}  // namespace

bool TraceFormatTable::Parse(std::string_view text, std::string* error)
{
    Component* current = nullptr;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++lineNumber;
        if (line.empty() || line.front() == '#') continue;

        const std::string_view first = TakeWord(&line);
        if (first == "component") {
            GUID guid{};
            if (!ParseGuid(TakeWord(&line), &guid)) return SetError(error, lineNumber, "bad component GUID");
            if (line.empty()) return SetError(error, lineNumber, "component without a name");
            current = &m_components[GuidToString(guid)];
            current->name = std::string(line);
            continue;
        }
        unsigned long number = 0;
        const std::string word(first);
        char* parsedEnd = nullptr;
        number = std::strtoul(word.c_str(), &parsedEnd, 10);
        if (word.empty() || *parsedEnd != '\0' || number > 0xFFFF) {
            return SetError(error, lineNumber, "expected \"component\" or a message number, got \"" + word + "\"");
        }
        if (current == nullptr) return SetError(error, lineNumber, "message before any component");
        const std::string_view level = TakeWord(&line);
        if (level.empty()) return SetError(error, lineNumber, "message without a level");
        const auto [it, added] =
            current->messages.emplace(static_cast<USHORT>(number), Message{std::string(level), std::string(line)});
        if (!added) return SetError(error, lineNumber, "message number " + word + " given twice");
    }
    return true;
}

bool TraceFormatTable::LoadFile(const std::string& path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error != nullptr) *error = path + ": cannot be opened";
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    std::string parseError;
    if (!Parse(content.str(), &parseError)) {
        if (error != nullptr) *error = path + ": " + parseError;
        return false;
    }
    return true;
}

bool TraceFormatTable::LoadDirectory(const std::string& directory, std::string* error)
{
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError) && it->path().extension() == ".txt") files.push_back(it->path());
    }
    if (ec) {
        if (error != nullptr) *error = directory + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        if (!LoadFile(file.string(), error)) return false;
    }
    return true;
}

std::vector<TraceFormatTable::Entry> TraceFormatTable::Entries() const
{
    std::vector<Entry> entries;
    for (const auto& [component, messages] : m_components) {
        for (const auto& [number, message] : messages.messages) {
            entries.push_back({component, number, message.level, message.text});
        }
    }
    return entries;
}

std::string TraceFormatTable::Format(const TraceMessageRecord& record) const
{
    const auto component = m_components.find(GuidToString(record.messageGuid));
    if (component != m_components.end()) {
        const auto message = component->second.messages.find(record.number);
        if (message != component->second.messages.end()) {
            return component->second.name + " " + message->second.level + " " +
                   Substitute(message->second.text, record.arguments);
        }
    }
    std::string line = GuidToString(record.messageGuid) + " #" + std::to_string(record.number);
    for (const auto& argument : record.arguments) line += " " + ByShape(argument);
    return line;
}

}  // namespace platform::support
