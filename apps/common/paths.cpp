#include "common/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace apps {
namespace {

// An environment variable that names an absolute path; empty otherwise (a relative value is
// ignored, as the base-directory convention asks).
std::string AbsoluteFromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return {};
    return value;
}

std::string HomeDirectory()
{
    if (std::string home = AbsoluteFromEnvironment("HOME"); !home.empty()) return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/tmp";
}

}  // namespace

std::string DefaultSocketPath()
{
    if (std::string runtime = AbsoluteFromEnvironment("XDG_RUNTIME_DIR"); !runtime.empty()) {
        return (std::filesystem::path(runtime) / "thermal-driver.sock").string();
    }
    return "/tmp/thermal-driver-" + std::to_string(::getuid()) + ".sock";
}

std::string DefaultStateDirectory()
{
    std::filesystem::path base = AbsoluteFromEnvironment("XDG_STATE_HOME");
    if (base.empty()) base = std::filesystem::path(HomeDirectory()) / ".local" / "state";
    return (base / "thermal-driver").string();
}

std::string ProgramDirectory()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return ".";
    return self.parent_path().string();
}

}  // namespace apps
