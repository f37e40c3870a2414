#include "sim/state_directory.h"

#include <mutex>
#include <system_error>

namespace sim {
namespace {

std::mutex g_mutex;
std::filesystem::path g_directory;  // guarded by g_mutex
unsigned g_generation = 0;          // guarded by g_mutex

}  // namespace

bool SetStateDirectory(const std::filesystem::path& directory)
{
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error || !std::filesystem::is_directory(directory)) return false;
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all, error);
    {
        std::lock_guard guard(g_mutex);
        g_directory = directory;
        ++g_generation;
    }
    return true;
}

void ClearStateDirectory()
{
    {
        std::lock_guard guard(g_mutex);
        g_directory.clear();
        ++g_generation;
    }
}

std::filesystem::path StateDirectory()
{
    std::lock_guard guard(g_mutex);
    return g_directory;
}

unsigned StateDirectoryGeneration()
{
    std::lock_guard guard(g_mutex);
    return g_generation;
}

}  // namespace sim
