// The module's includes run one way, down its floors: driver/ -> sensor/ -> acquisition/ -> base/
// -> the platform's API headers. A file may include the headers of its own floor and of the floors
// below it, the platform's API headers (platform/<facility>/include), the shared data tables (data/) and the
// standard library; nothing else. An include that runs upward closes a circle between the floors,
// and one into the simulated machine, the test controls or the host lets the driver know who runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "module_sources.h"

namespace {

using module_sources::kFloors;
using module_sources::kSourceDirectory;

// The floor's place from the top, or -1 for a name that is no floor.
int FloorRank(const std::string& name)
{
    const auto found = std::find(std::begin(kFloors), std::end(kFloors), name);
    return found == std::end(kFloors) ? -1 : static_cast<int>(found - std::begin(kFloors));
}

// The API root that would hold "platform/<facility>/<name>.h" (the facility's include/) or
// "platform/<name>.h" (the base facility's).
std::filesystem::path ApiHeaderRoot(const std::string& target)
{
    const std::size_t first = target.find('/');
    const std::size_t second = target.find('/', first + 1);
    const std::string facility = second == std::string::npos ? "base" : target.substr(first + 1, second - first - 1);
    return kSourceDirectory / "platform" / facility / "include";
}

// What is wrong with an include of `target` ("x/y.h", or <name> when angled) in a file of `floor`;
// empty when it may stay.
std::string IncludeProblem(const std::string& floor, const std::string& target, bool angled)
{
    if (angled) {
        return target.find_first_of("/.") == std::string::npos ? "" : "<" + target + "> is no standard library header";
    }
    const std::string top = target.substr(0, target.find('/'));
    if (top == target) return "\"" + target + "\" is not spelled from the project root";
    if (const int rank = FloorRank(top); rank >= 0) {
        return rank >= FloorRank(floor) ? "" : "\"" + target + "\" runs upward from " + floor + "/";
    }
    if (top == "platform" && std::filesystem::exists(ApiHeaderRoot(target) / target)) return "";
    if (top == "data" && std::filesystem::exists(kSourceDirectory / target)) return "";
    return "\"" + target + "\" is neither the module's, a platform API header nor a data table";
}

TEST(ModuleIncludes, IncludeProblem_JudgesEachKindOfInclude)
{
    struct Case {
        const char* floor;
        const char* target;
        bool angled;
        bool allowed;
    };
    const Case cases[] = {
        {"driver", "driver/thermal_queue.h", false, true},
        {"driver", "sensor/sensor_manager.h", false, true},
        {"sensor", "acquisition/thermal_acquisition.h", false, true},
        {"acquisition", "base/trace.h", false, true},
        {"sensor", "driver/thermal_device.h", false, false},
        {"acquisition", "sensor/thermal_sensor.h", false, false},
        {"base", "acquisition/thermal_map.h", false, false},
        {"base", "platform/kernel/critical_section.h", false, true},
        {"base", "platform/types.h", false, true},
        {"base", "platform/core/wait.h", false, false},
        {"driver", "platform/probe/thermal_driver_contract.h", false, true},
        {"acquisition", "data/default_thermal_table.inc", false, true},
        {"driver", "platform/sim/include/sim/probe_devices.h", false, false},
        {"sensor", "sim/probe_devices.h", false, false},
        {"sensor", "platform_testing/faults.h", false, false},
        {"driver", "host/driver_host.h", false, false},
        {"driver", "thermal_queue.h", false, false},
        {"base", "atomic", true, true},
        {"base", "unistd.h", true, false},
        {"base", "gtest/gtest.h", true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IncludeProblem(c.floor, c.target, c.angled).empty(), c.allowed) << c.floor << ": " << c.target;
    }
}

TEST(ModuleIncludes, EveryIncludeRunsDownTheFloors)
{
    const std::regex include(R"(^\s*#\s*include\s*([<"])([^>"]+)[>"])");
    std::vector<std::string> problems;
    std::size_t includes = 0;
    for (const std::filesystem::path& file : module_sources::Files()) {
        const std::string name = module_sources::NameOf(file);
        const std::string floor = name.substr(0, name.find('/'));
        std::istringstream lines(module_sources::Read(file));
        std::string line;
        for (int number = 1; std::getline(lines, line); ++number) {
            std::smatch match;
            if (!std::regex_search(line, match, include)) continue;
            ++includes;
            const std::string problem = IncludeProblem(floor, match[2], match[1] == "<");
            if (!problem.empty()) problems.push_back(name + ":" + std::to_string(number) + ": " + problem);
        }
    }
    EXPECT_GT(includes, 100u);  // the sources were found and read
    std::ostringstream report;
    for (const std::string& problem : problems) report << problem << "\n";
    EXPECT_TRUE(problems.empty()) << report.str();
}

}  // namespace
