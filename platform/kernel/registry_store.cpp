#include "kernel/registry_store.h"

#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "core/state_file.h"
#include "platform_support/text_coding.h"
#include "sim/state_directory.h"

namespace platform::detail {
namespace {

using support::FoldCase;
using support::HexBytes;
using support::HexUtf16;
using support::UnhexBytes;
using support::UnhexUtf16;

struct Key {
    std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;  // folded name -> (name, value)
    std::map<std::u16string, std::pair<std::u16string, std::unique_ptr<Key>>> subkeys;
};

using Roots = std::map<sim::RegistryRoot, Key>;

// Everything below is guarded by g_mutex.
std::mutex g_mutex;
Roots g_roots;
// The values set at run time (SetRegistryValueKept) that a restarted host sets again.
Roots g_kept;
std::filesystem::path g_savedTo;  // the directory the files are written to; empty: none
unsigned g_loadedGeneration = ~0u;
std::vector<sim::StateFileLoad> g_loads;

constexpr const char* kFileName = "registry";
constexpr const char* kKeptFileName = "registry-changes";
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

Key* FindKeyLocked(Roots& roots, sim::RegistryRoot root, std::u16string_view path, bool create)
{
    Key* key = &roots[root];
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

// A failed write leaves the previous file; the in-memory registry stays authoritative.
void SaveLocked(const Roots& roots, const char* fileName)
{
    if (g_savedTo.empty()) return;
    std::ostringstream out;
    out << kHeader << '\n';
    int lines = 0;
    for (const auto& [root, key] : roots) SerializeKey(key, root, u"", out, lines);
    out << "end " << lines << '\n';
    WriteStateFile(g_savedTo / fileName, out.str());
}

// Parses a whole registry file; nothing when it is damaged in any way.
std::optional<Roots> Parse(const std::string& contents)
{
    std::istringstream in(contents);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return std::nullopt;
    Roots roots;
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

// Loads one file of the registry into *roots; false when it could not be read.
bool LoadLocked(const std::filesystem::path& file, const char* what, const char* empty, Roots* roots)
{
    std::optional<Roots> parsed;
    const StateFileRead read = ReadStateFile(
        file, [&parsed](const std::string& contents) { return (parsed = Parse(contents)).has_value(); }, what, empty);
    if (read.load.outcome != sim::StateFileOutcome::kMissing) g_loads.push_back(read.load);
    const sim::StateFileOutcome outcome = read.load.outcome;
    if ((outcome == sim::StateFileOutcome::kLoaded || outcome == sim::StateFileOutcome::kRestored) && parsed) {
        *roots = std::move(*parsed);
    }
    return outcome != sim::StateFileOutcome::kUnreadable;
}

// Follows the state directory: a new directory means a new machine state, loaded from its files.
void SyncLocked()
{
    const unsigned generation = sim::StateDirectoryGeneration();
    if (generation == g_loadedGeneration) return;
    const std::filesystem::path directory = sim::StateDirectory();
    g_loadedGeneration = generation;
    g_roots.clear();
    g_kept.clear();
    g_loads.clear();
    g_savedTo.clear();
    if (directory.empty()) return;
    const bool registry = LoadLocked(directory / kFileName, "the registry file", "the registry starts empty", &g_roots);
    const bool kept = LoadLocked(directory / kKeptFileName, "the file of registry changes",
                                 "no registry change made at run time is kept", &g_kept);
    // A file that could not be read is never replaced: nothing is written for this directory.
    if (registry && kept) g_savedTo = directory;
}

const RegistryValue* FindValueLocked(Roots& roots, sim::RegistryRoot root, std::u16string_view path,
                                     std::u16string_view name)
{
    Key* key = FindKeyLocked(roots, root, path, false);
    if (key == nullptr) return nullptr;
    const auto it = key->values.find(FoldCase(name));
    return it == key->values.end() ? nullptr : &it->second.second;
}

void SetValueLocked(Roots& roots, sim::RegistryRoot root, const std::u16string& keyPath, const std::u16string& name,
                    RegistryValue value)
{
    FindKeyLocked(roots, root, keyPath, true)->values[FoldCase(name)] = {name, std::move(value)};
}

bool DeleteValueLocked(Roots& roots, sim::RegistryRoot root, const std::u16string& keyPath, const std::u16string& name)
{
    Key* key = FindKeyLocked(roots, root, keyPath, false);
    return key != nullptr && key->values.erase(FoldCase(name)) == 1;
}

std::u16string RootName(sim::RegistryRoot root)
{
    return root == sim::RegistryRoot::LocalMachine ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_CONFIG";
}

// Calls `visit(root, path, name, value)` for every value below `key`.
template <typename Visit>
void ForEachValue(const Key& key, sim::RegistryRoot root, const std::u16string& path, const Visit& visit)
{
    for (const auto& [folded, entry] : key.values) visit(root, path, entry.first, entry.second);
    for (const auto& [folded, entry] : key.subkeys) {
        ForEachValue(*entry.second, root, path.empty() ? entry.first : path + u"\\" + entry.first, visit);
    }
}

}  // namespace

bool RegistryKeyExists(sim::RegistryRoot root, const std::u16string& keyPath)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    return FindKeyLocked(g_roots, root, keyPath, false) != nullptr;
}

std::optional<RegistryValue> ReadRegistryValue(sim::RegistryRoot root, const std::u16string& keyPath,
                                               const std::u16string& name)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    const RegistryValue* value = FindValueLocked(g_roots, root, keyPath, name);
    if (value == nullptr) return std::nullopt;
    return *value;
}

}  // namespace platform::detail

namespace sim {

using namespace platform::detail;

void SetRegistryValue(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name, std::uint32_t type,
                      std::vector<std::uint8_t> data)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    SetValueLocked(g_roots, root, keyPath, name, RegistryValue{type, std::move(data)});
    SaveLocked(g_roots, kFileName);
}

void SetRegistryValueKept(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name,
                          std::uint32_t type, std::vector<std::uint8_t> data)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    SetValueLocked(g_kept, root, keyPath, name, RegistryValue{type, data});
    SaveLocked(g_kept, kKeptFileName);
    SetValueLocked(g_roots, root, keyPath, name, RegistryValue{type, std::move(data)});
    SaveLocked(g_roots, kFileName);
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
    if (!DeleteValueLocked(g_roots, root, keyPath, name)) return false;
    SaveLocked(g_roots, kFileName);
    return true;
}

bool DeleteRegistryValueKept(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name)
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    if (DeleteValueLocked(g_kept, root, keyPath, name)) SaveLocked(g_kept, kKeptFileName);
    if (!DeleteValueLocked(g_roots, root, keyPath, name)) return false;
    SaveLocked(g_roots, kFileName);
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
    Key* parent = FindKeyLocked(g_roots, root, parentPath, false);
    if (parent == nullptr || parent->subkeys.erase(FoldCase(last)) == 0) return false;
    SaveLocked(g_roots, kFileName);
    return true;
}

void ResetRegistry()
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    g_roots.clear();
    SaveLocked(g_roots, kFileName);
}

void ReapplyKeptRegistryChanges()
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    Roots kept;
    for (const auto& [root, key] : g_kept) {
        ForEachValue(key, root, u"",
                     [&](RegistryRoot valueRoot, const std::u16string& path, const std::u16string& name,
                         const RegistryValue& value) {
                         // A value the registry holds now was set by the machine's description, which wins.
                         if (FindValueLocked(g_roots, valueRoot, path, name) != nullptr) return;
                         SetValueLocked(g_roots, valueRoot, path, name, value);
                         SetValueLocked(kept, valueRoot, path, name, value);
                     });
    }
    g_kept = std::move(kept);
    SaveLocked(g_kept, kKeptFileName);
    SaveLocked(g_roots, kFileName);
}

std::vector<std::u16string> KeptRegistryChanges()
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    std::vector<std::u16string> paths;
    for (const auto& [root, key] : g_kept) {
        ForEachValue(
            key, root, u"",
            [&](RegistryRoot valueRoot, const std::u16string& path, const std::u16string& name, const RegistryValue&) {
                paths.push_back(RootName(valueRoot) + u"\\" + (path.empty() ? name : path + u"\\" + name));
            });
    }
    return paths;
}

std::vector<StateFileLoad> RegistryLoads()
{
    std::lock_guard guard(g_mutex);
    SyncLocked();
    return g_loads;
}

std::string LastRegistryLoadProblem()
{
    std::string problems;
    for (const StateFileLoad& load : RegistryLoads()) {
        if (load.problem.empty()) continue;
        if (!problems.empty()) problems += "; ";
        problems += load.problem;
    }
    return problems;
}

}  // namespace sim
