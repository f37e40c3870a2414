#include "sim/windows_directory.h"

#include <mutex>
#include <vector>

namespace sim {
namespace {

struct WindowsDirectoryState {
    std::mutex mutex;
    std::string linuxDirectory;  // guarded by mutex; empty: no Windows directory
};

WindowsDirectoryState& State()
{
    static auto* state = new WindowsDirectoryState;
    return *state;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The components of an absolute, drive-less path after "." and ".." are applied.
std::optional<std::vector<std::string_view>> Components(std::string_view path)
{
    if (path.empty() || !IsSeparator(path.front())) return std::nullopt;
    std::vector<std::string_view> components;
    std::size_t pos = 0;
    while (pos < path.size()) {
        while (pos < path.size() && IsSeparator(path[pos])) ++pos;
        std::size_t end = pos;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        const std::string_view component = path.substr(pos, end - pos);
        if (component == "..") {
            if (!components.empty()) components.pop_back();
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        pos = end;
    }
    return components;
}

}  // namespace

void SetWindowsDirectory(std::string linuxDirectory)
{
    while (linuxDirectory.size() > 1 && linuxDirectory.back() == '/') linuxDirectory.pop_back();
    std::lock_guard guard(State().mutex);
    State().linuxDirectory = std::move(linuxDirectory);
}

std::string WindowsDirectory()
{
    std::lock_guard guard(State().mutex);
    return State().linuxDirectory;
}

std::optional<std::string> MapWindowsPath(std::string_view windowsPath)
{
    // The one component of the drive-less directory text: "Windows".
    constexpr std::string_view kRoot = std::string_view(kWindowsDirectoryText).substr(1);
    const auto components = Components(windowsPath);
    if (!components || components->empty() || !EqualsIgnoringAsciiCase(components->front(), kRoot)) {
        return std::nullopt;
    }
    std::string path = WindowsDirectory();
    if (path.empty()) return std::nullopt;
    for (std::size_t i = 1; i < components->size(); ++i) {
        if (path.back() != '/') path += '/';
        path += (*components)[i];
    }
    return path;
}

}  // namespace sim
