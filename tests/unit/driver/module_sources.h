// The module's source files as the source tree holds them, for the tests that read them.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace module_sources {

inline const std::filesystem::path kSourceDirectory = THERMAL_SOURCE_DIR;

// The module's floors, from the top: each builds on the floors below it.
inline constexpr const char* kFloors[] = {"driver", "sensor", "acquisition", "base"};

// Every .cpp and .h file of the floors, in a fixed order.
inline std::vector<std::filesystem::path> Files()
{
    std::vector<std::filesystem::path> files;
    for (const char* floor : kFloors) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(kSourceDirectory / floor)) {
            const std::filesystem::path extension = entry.path().extension();
            if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h")) files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

inline std::string Read(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The file's name from the source directory, such as "sensor/sensor.cpp".
inline std::string NameOf(const std::filesystem::path& path)
{
    return std::filesystem::relative(path, kSourceDirectory).generic_string();
}

}  // namespace module_sources
