// The machine file's parser: text in, a description or the first error out, nothing else touched.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "core/atomic_file.h"
#include "machine_syntax.h"
#include "sim/machine.h"

namespace sim {
namespace {

using namespace detail;

std::string FileKind(mode_t mode)
{
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

enum class Section { kNone, kMachine, kInterfaceProbe, kFixedProbe, kWmi, kRegistry, kDevice, kMap };

class MachineParser {
public:
    ParsedMachine Parse(std::string_view text)
    {
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            ++m_line;
            if (!Line(line)) return Failed();
            start = end + 1;
        }
        EndMap();
        ParsedMachine parsed;
        parsed.machine = std::move(m_machine);
        return parsed;
    }

private:
    bool Fail(const std::string& message)
    {
        m_error = message;
        return false;
    }

    ParsedMachine Failed() const
    {
        ParsedMachine parsed;
        parsed.error = "line " + std::to_string(m_line) + ": " + m_error;
        parsed.errorLine = m_line;
        return parsed;
    }

    bool Line(std::string_view line)
    {
        if (m_section == Section::kMap && Trim(line).substr(0, 1) != "[") {
            m_mapLines.emplace_back(line);
            return true;
        }
        if (auto error = CheckCharacters(line); !error.empty()) return Fail(error);
        std::string_view kept;
        if (auto error = StripComment(line, kept); !error.empty()) return Fail(error);
        kept = Trim(kept);
        if (kept.empty()) return true;
        if (kept.front() == '[') return Header(kept);
        if (m_section == Section::kNone) {
            return Fail("a setting outside any section; the file starts with a section such as [machine]");
        }
        std::size_t equals = std::string_view::npos;
        bool inQuote = false;
        for (std::size_t i = 0; i < kept.size() && equals == std::string_view::npos; ++i) {
            if (kept[i] == '"') inQuote = !inQuote;
            if (kept[i] == '=' && !inQuote) equals = i;
        }
        if (equals == std::string_view::npos) return Fail("expected KEY = VALUE, not " + Quoted(kept));
        const std::string_view key = Trim(kept.substr(0, equals));
        const std::string_view value = Trim(kept.substr(equals + 1));
        if (key.empty()) return Fail("the key before '=' is missing");
        if (m_section == Section::kRegistry) return RegistryEntry(key, value);

        const std::string name = Lower(key);
        switch (m_section) {
            case Section::kMachine:
                return MachineEntry(name, value);
            case Section::kInterfaceProbe:
                return InterfaceEntry(name, value);
            case Section::kFixedProbe:
                return FixedEntry(name, value);
            case Section::kWmi:
                return WmiEntry(name, value);
            case Section::kDevice:
                return DeviceEntry(name, value);
            default:
                return Fail("unexpected setting");
        }
    }

    bool Header(std::string_view header)
    {
        if (header.back() != ']') return Fail("a section header ends with ']'");
        std::vector<Word> words;
        if (auto error = SplitWords(header.substr(1, header.size() - 2), words); !error.empty()) return Fail(error);
        std::string name;
        for (const auto& word : words) {
            if (word.quoted) return Fail("unknown section " + std::string(header));
            name += (name.empty() ? "" : " ") + Lower(word.text);
        }
        EndMap();
        if (name == "machine") {
            m_section = Section::kMachine;
        } else if (name == "interface-probe") {
            m_section = Section::kInterfaceProbe;
            m_machine.interfaceProbe.emplace();
        } else if (name == "fixed-probe") {
            m_section = Section::kFixedProbe;
            m_machine.fixedProbe.emplace();
        } else if (name == "wmi") {
            m_section = Section::kWmi;
        } else if (name == "registry") {
            m_section = Section::kRegistry;
        } else if (name == "device") {
            m_section = Section::kDevice;
            m_machine.hostedDevice =
                HostedDeviceDescription{true, kDefaultHostedDeviceInstanceId, kDefaultHostedDeviceDescription};
        } else if (name == "map ac" || name == "map dc") {
            m_section = Section::kMap;
            m_map = name == "map ac" ? &m_machine.acMap : &m_machine.dcMap;
        } else {
            return Fail("unknown section " + std::string(header) +
                        "; expected [machine], [interface-probe], [fixed-probe], [wmi], [registry], [device], [map ac] "
                        "or [map dc]");
        }
        const auto [seen, added] = m_sections.emplace(name, m_line);
        if (!added)
            return Fail("the section [" + name + "] appears again (first at line " + std::to_string(seen->second) +
                        ")");
        m_sectionName = name;
        m_keys.clear();
        return true;
    }

    // The map section's lines become the file's contents; blank lines at its end do not.
    void EndMap()
    {
        if (m_section != Section::kMap) return;
        while (!m_mapLines.empty() && Trim(m_mapLines.back()).empty()) m_mapLines.pop_back();
        std::string contents;
        for (const auto& line : m_mapLines) contents += line + "\n";
        *m_map = std::move(contents);
        m_mapLines.clear();
        m_section = Section::kNone;
    }

    // Records a key of the section; false when it was given before.
    bool Once(const std::string& key, const std::string& shown = {})
    {
        const auto [seen, added] = m_keys.emplace(key, m_line);
        if (added) return true;
        return Fail((shown.empty() ? key : shown) + " is given again (first at line " + std::to_string(seen->second) +
                    ")");
    }

    // True, with the error set, when one of the others was given.
    bool Conflicts(const std::string& key, std::initializer_list<const char*> others)
    {
        for (const char* other : others) {
            if (const auto it = m_keys.find(other); it != m_keys.end()) {
                Fail(key + " and " + other + " (line " + std::to_string(it->second) + ") cannot both be given");
                return true;
            }
        }
        return false;
    }

    bool OneWord(std::string_view value, std::string& word)
    {
        std::vector<Word> words;
        if (auto error = SplitWords(value, words); !error.empty()) return Fail(error);
        if (words.size() != 1)
            return Fail(words.empty() ? "the value is missing" : "expected one word, not " + Quoted(value));
        word = words.front().text;
        return true;
    }

    bool Check(const std::string& key, const std::string& error)
    {
        if (error.empty()) return true;
        return Fail(key + ": " + error);
    }

    bool UnknownKey(const std::string& key, const char* known)
    {
        return Fail("unknown key " + Quoted(key) + " in [" + m_sectionName + "]; expected " + known);
    }

    bool PathEntry(const std::string& key, std::string_view value, std::string& path)
    {
        if (!Once(key)) return false;
        if (!Check(key, TextValue(value, path))) return false;
        if (path.empty()) return Fail(key + ": the path is empty");
        return true;
    }

    bool MachineEntry(const std::string& key, std::string_view value)
    {
        std::string word;
        if (key == "power") {
            return Once(key) && OneWord(value, word) && Check(key, ParsePower(word, m_machine.acLineStatus));
        }
        if (key == "state-directory") return PathEntry(key, value, m_machine.stateDirectory);
        if (key == "windows-directory") return PathEntry(key, value, m_machine.windowsDirectory);
        return UnknownKey(key, "power, state-directory or windows-directory");
    }

    bool FailEntry(Probe probe, std::string_view value, std::vector<ProbeFailure>& failures)
    {
        std::vector<Word> words;
        if (auto error = SplitWords(value, words); !error.empty()) return Fail(error);
        ProbeFailure failure;
        if (!Check("fail", ParseFailure(probe, words, failure))) return false;
        if (!Once("fail " + RequestWord(failure.controlCode))) return false;
        failures.push_back(failure);
        return true;
    }

    bool InterfaceEntry(const std::string& key, std::string_view value)
    {
        auto& probe = *m_machine.interfaceProbe;
        std::string word;
        if (key == "fail") return FailEntry(Probe::kInterface, value, probe.failures);
        if (key == "present") return Once(key) && OneWord(value, word) && Check(key, ParseYesNo(word, probe.present));
        if (key == "source") {
            return !Conflicts(key, {"temperature", "raw"}) && PathEntry(key, value, probe.source);
        }
        if (key == "temperature") {
            if (!Once(key) || Conflicts(key, {"raw", "source"}) || !OneWord(value, word)) return false;
            return Check(key, ParseTemperature(word, probe.temperature));
        }
        if (key == "raw") {
            if (!Once(key) || Conflicts(key, {"temperature", "source"}) || !OneWord(value, word)) return false;
            std::uint32_t raw = 0;
            if (!Check(key, ParseRawValue(word, raw))) return false;
            probe.raw = raw;
            return true;
        }
        return UnknownKey(key, "present, temperature, raw, source or fail");
    }

    bool FixedEntry(const std::string& key, std::string_view value)
    {
        auto& probe = *m_machine.fixedProbe;
        std::string word;
        if (key == "fail") return FailEntry(Probe::kFixedPath, value, probe.failures);
        if (key == "present") return Once(key) && OneWord(value, word) && Check(key, ParseYesNo(word, probe.present));
        if (key == "kind") {
            if (!Once(key) || Conflicts(key, {"status"}) || !OneWord(value, word)) return false;
            return Check(key, ParseKind(word, probe.kind));
        }
        if (key == "source") {
            return !Conflicts(key, {"temperature", "status", "counts"}) && PathEntry(key, value, probe.source);
        }
        if (key == "temperature") {
            if (!Once(key) || Conflicts(key, {"status", "counts", "source"}) || !OneWord(value, word)) return false;
            return Check(key, ParseTemperature(word, probe.temperature));
        }
        if (key == "status" || key == "counts") {
            const bool status = key == "status";
            if (!Once(key) || Conflicts(key, status ? std::initializer_list<const char*>{"kind", "temperature", "source"}
                                                    : std::initializer_list<const char*>{"temperature", "source"})) {
                return false;
            }
            std::uint16_t number = 0;
            if (!OneWord(value, word) || !Check(key, ParseUint16(word, number))) return false;
            (status ? probe.status : probe.counts) = number;
            return true;
        }
        return UnknownKey(key, "present, kind, temperature, status, counts, source or fail");
    }

    bool WmiEntry(const std::string& key, std::string_view value)
    {
        if (key != "instance") return UnknownKey(key, "instance");
        std::vector<Word> words;
        if (auto error = SplitWords(value, words); !error.empty()) return Fail(error);
        if (words.empty()) return Fail("instance: expected an instance name and a Temperature value");
        WmiInstanceDescription instance;
        if (!Check(key, ParseInstanceName(words[0], instance.instanceName))) return false;
        if (!Check(key, ParseWmiValue(std::span<const Word>(words).subspan(1), instance.temperature))) return false;
        m_machine.wmiInstances.push_back(std::move(instance));
        return true;
    }

    bool DeviceEntry(const std::string& key, std::string_view value)
    {
        auto& device = *m_machine.hostedDevice;
        std::string text;
        if (key == "present") return Once(key) && OneWord(value, text) && Check(key, ParseYesNo(text, device.present));
        if (key != "instance-id" && key != "description") {
            return UnknownKey(key, "instance-id, description or present");
        }
        if (!Once(key) || !Check(key, TextValue(value, text))) return false;
        if (key == "instance-id" && text.empty()) return Fail("instance-id: the identifier is empty");
        return Check(key, Utf8ToUtf16(text, key == "instance-id" ? device.instanceId : device.description));
    }

    bool RegistryEntry(std::string_view key, std::string_view value)
    {
        std::vector<Word> words;
        if (auto error = SplitWords(key, words); !error.empty()) return Fail(error);
        if (words.size() != 1) return Fail("expected one value path before '=', not " + Quoted(key));
        RegistryValueDescription entry;
        if (auto error = ParseRegistryPath(words[0], entry); !error.empty()) return Fail(error);
        const std::string path = RegistryPathText(entry);
        if (!Once(Lower(path), path)) return false;
        if (!Check(path, ParseRegistryData(value, entry))) return false;
        m_machine.registry.push_back(std::move(entry));
        return true;
    }

    MachineDescription m_machine;
    int m_line = 0;
    std::string m_error;
    Section m_section = Section::kNone;
    std::string m_sectionName;
    std::map<std::string, int> m_sections;  // name -> line of its header
    std::map<std::string, int> m_keys;      // keys of the current section -> line
    std::optional<std::string>* m_map = nullptr;
    std::vector<std::string> m_mapLines;
};

}  // namespace

ParsedMachine ParseMachine(std::string_view text)
{
    // A byte-order mark, as some editors write at the start of UTF-8 text, is not part of the text.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
    return MachineParser().Parse(text);
}

ParsedMachine ReadMachineFile(const std::string& path)
{
    ParsedMachine failed;
    const auto fail = [&](const std::string& why) {
        failed.error = path + ": cannot be used: " + why;
        return failed;
    };
    // Not blocking: opening a FIFO would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(std::strerror(errno));
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(std::strerror(error));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return fail("it is " + FileKind(status.st_mode) + ", not a regular file");
    }
    std::string text;
    const int readError = platform::detail::ReadAll(fd, &text, kMaxMachineFileBytes);
    ::close(fd);
    if (readError == EFBIG) {
        return fail("it is larger than a machine file may be (" + std::to_string(kMaxMachineFileBytes >> 20) + " MiB)");
    }
    if (readError != 0) return fail(std::strerror(readError));

    ParsedMachine parsed = ParseMachine(text);
    if (!parsed.machine) {
        parsed.error = path + ":" + parsed.error.substr(parsed.error.find(' ') + 1);
        return parsed;
    }
    std::error_code error;
    const std::filesystem::path base = std::filesystem::absolute(std::filesystem::path(path), error).parent_path();
    MachineDescription& machine = *parsed.machine;
    for (std::string* named : {&machine.stateDirectory, machine.interfaceProbe ? &machine.interfaceProbe->source : nullptr,
                               machine.fixedProbe ? &machine.fixedProbe->source : nullptr}) {
        if (named != nullptr && !named->empty() && std::filesystem::path(*named).is_relative()) {
            *named = (base / *named).lexically_normal().string();
        }
    }
    return parsed;
}

}  // namespace sim
