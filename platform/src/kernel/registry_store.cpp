#include "kernel/registry_store.h"

#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "core/atomic_file.h"
#include "core/text_coding.h"
#include "sim/state_directory.h"

namespace platform::detail {
namespace {

struct Key {
    std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;  // folded name -> (name, value)
    std::map<std::u16string, std::pair<std::u16string, std::unique_ptr<Key>>> subkeys;
};

// Everything below is guarded by g_mutex.
std::mutex g_mutex;
std::map<sim::RegistryRoot, Key> g_roots;
std::filesystem::path g_loadedFrom;
unsigned g_loadedGeneration = ~0u;
std::string g_loadProblem;

constexpr const char* kFileName = "registry";
constexpr const char* kHeader = "thermal-registry 1";

std::vector<std::u16string> SplitPath(std::u16string_view path)
{
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = path.find(u'\\', start);
        const std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (!part.empty()) parts.emplace_back(part);
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

Key* FindKeyLocked(sim::RegistryRoot root, std::u16string_view path, bool create)
{
    Key* key = &g_roots[root];
    for (const auto& part : SplitPath(path)) {
        auto it = key->subkeys.find(FoldCase(part));
        if (it == key->subkeys.end()) {
            if (!create) return nullptr;
            it = key->subkeys.emplace(FoldCase(part), std::make_pair(part, std::make_unique<Key>())).first;
        }
        key = it->second.second.get();
    }
    return key;
}

void SerializeKey(const Key& key, sim::RegistryRoot root, const std::u16string& path, std::ostringstream& out,
                  int& lines)
{
    out << "key " << static_cast<int>(root) << ' ' << HexUtf16(path) << '\n';
    ++lines;
    for (const auto& [folded, entry] : key.values) {
        out << "value " << HexUtf16(entry.first) << ' ' << entry.second.type << ' '
            << HexBytes(entry.second.data.data(), entry.second.data.size()) << '\n';
        ++lines;
    }
    for (const auto& [folded, entry] : key.subkeys) {
        SerializeKey(*entry.second, root, path.empty() ? entry.first : path + u"\\" + entry.first, out, lines);
    }
}

void SaveLocked()
{
    if (g_loadedFrom.empty()) return;
    std::ostringstream out;
    out << kHeader << '\n';
    int lines = 0;
    for (const auto& [root, key] : g_roots) SerializeKey(key, root, u"", out, lines);
    out << "end " << lines << '\n';
    // A failed write leaves the previous file; the in-memory registry stays authoritative.
    WriteFileAtomically(g_loadedFrom / kFileName, out.str());
}

// Parses a whole registry file; nothing when it is damaged in any way.
std::optional<std::map<sim::RegistryRoot, Key>> Parse(const std::string& contents)
{
    std::istringstream in(contents);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return std::nullopt;
    std::map<sim::RegistryRoot, Key> roots;
    Key* current = nullptr;
    int lines = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "end") {
            int count = -1;
            fields >> count;
            std::string rest;
            if (count != lines || (fields >> rest) || std::getline(in, rest)) return std::nullopt;
            return roots;
        }
        ++lines;
        if (kind == "key") {
            int root = -1;
            std::string pathHex;
            fields >> root >> pathHex;
            const auto path = UnhexUtf16(pathHex);
            if (!path || (root != 0 && root != 1)) return std::nullopt;
            current = &roots[static_cast<sim::RegistryRoot>(root)];
            for (const auto& part : SplitPath(*path)) {
                auto& slot = current->subkeys[FoldCase(part)];
                if (!slot.second) slot = std::make_pair(part, std::make_unique<Key>());
                current = slot.second.get();
            }
        } else if (kind == "value" && current != nullptr) {
            std::string nameHex, dataHex;
            std::uint32_t type = 0;
            fields >> nameHex >> type >> dataHex;
            const auto name = UnhexUtf16(nameHex);
            const auto data = UnhexBytes(dataHex);
            if (!fields || !name || !data) return std::nullopt;
            current->values[FoldCase(*name)] = {*name, RegistryValue{type, *data}};
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;  // no end line: a truncated file
}

// Follows the state directory: a new directory means a new machine state, loaded from its file.
void SyncLocked()
{
    const unsigned generation = sim::StateDirectoryGeneration();
    if (generation == g_loadedGeneration) return;
    const std::filesystem::path directory = sim::StateDirectory();
    g_loadedGeneration = generation;
    g_roots.clear();
    g_loadProblem.clear();
    g_loadedFrom = directory;
    if (directory.empty()) return;
    const std::filesystem::path file = directory / kFileName;
    const auto contents = ReadWholeFile(file);
    if (!contents) return;
    if (auto roots = Parse(*contents)) {
        g_roots = std::move(*roots);
        return;
    }
    g_loadProblem = "the registry file " + file.string() + " is damaged; it was moved to " + file.string() +
                    ".corrupt and the registry starts empty";
    std::error_code error;
    std::filesystem::rename(file, directory / "registry.corrupt", error);
}

}  // namespace

bool RegistryKeyExists(sim::RegistryRoot root, const std::u16string& keyPath)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    return FindKeyLocked(root, keyPath, false) != nullptr;
}

std::optional<RegistryValue> ReadRegistryValue(sim::RegistryRoot root, const std::u16string& keyPath,
                                               const std::u16string& name)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    const Key* key = FindKeyLocked(root, keyPath, false);
    if (key == nullptr) return std::nullopt;
    const auto it = key->values.find(FoldCase(name));
    if (it == key->values.end()) return std::nullopt;
    return it->second.second;
}

}  // namespace platform::detail

namespace sim {

using namespace platform::detail;

void SetRegistryValue(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name, std::uint32_t type,
                      std::vector<std::uint8_t> data)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    FindKeyLocked(root, keyPath, true)->values[FoldCase(name)] = {name, RegistryValue{type, std::move(data)}};
    SaveLocked();
}

void SetRegistryString(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name,
                       const std::u16string& text)
{
    std::vector<std::uint8_t> data;
    for (const char16_t c : text) {
        data.push_back(static_cast<std::uint8_t>(c & 0xFF));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    SetRegistryValue(root, keyPath, name, 1 /* REG_SZ */, std::move(data));
}

bool DeleteRegistryValue(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    Key* key = FindKeyLocked(root, keyPath, false);
    if (key == nullptr || key->values.erase(FoldCase(name)) == 0) return false;
    SaveLocked();
    return true;
}

bool DeleteRegistryKey(RegistryRoot root, const std::u16string& keyPath)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    auto parts = SplitPath(keyPath);
    if (parts.empty()) return false;
    const std::u16string last = parts.back();
    parts.pop_back();
    std::u16string parentPath;
    for (const auto& part : parts) parentPath += part + u"\\";
    Key* parent = FindKeyLocked(root, parentPath, false);
    if (parent == nullptr || parent->subkeys.erase(FoldCase(last)) == 0) return false;
    SaveLocked();
    return true;
}

void ResetRegistry()
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    g_roots.clear();
    SaveLocked();
}

std::string LastRegistryLoadProblem()
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    return g_loadProblem;
}

}  // namespace sim
