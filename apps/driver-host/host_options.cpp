#include "driver-host/host_options.h"

#include <grp.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <map>

#include "common/paths.h"
#include "driver-host/exit_codes.h"

namespace driver_host {
namespace {

constexpr const char* kDescription =
    "Hosts the thermal sensor driver on a simulated machine and serves sensor clients (sensorctl) "
    "on a local socket. Loading the driver takes about 5 seconds: its thermal map settles first.";

constexpr const char* kFooter =
    "Exit codes:\n"
    "  0  shut down cleanly after SIGINT or SIGTERM (the driver was released and unloaded)\n"
    "  1  the driver failed: loading the module, adding or starting the device, or releasing it\n"
    "  2  usage: the command line is wrong\n"
    "  3  the machine file or the state directory cannot be used (another host has the state directory,\n"
    "     a state file cannot be read, the directory is not writable)\n"
    "  4  the socket cannot be served (another host is live on it, no permission, or the default socket's\n"
    "     directory is not this user's alone)\n"
    "A signal during the start (even during the 5-second load) ends the host at once, with 0.\n";

// The installed module (lib/thermal-driver/ beside bin/), else the one of the build tree (lib/).
std::string DefaultModulePath()
{
    const auto lib = std::filesystem::path(apps::ProgramDirectory()) / ".." / "lib";
    std::error_code error;
    if (const auto installed = lib / "thermal-driver" / "thermal_driver.so";
        std::filesystem::exists(installed, error)) {
        return installed.lexically_normal().string();
    }
    return (lib / "thermal_driver.so").lexically_normal().string();
}

bool ResolveGroup(const std::string& name, gid_t* id)
{
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        *id = found->gr_gid;
        return true;
    }
    // A number names the group directly.
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
        *id = static_cast<gid_t>(std::stoul(name));
        return true;
    }
    return false;
}

}  // namespace

std::string DefaultTraceFormats()
{
    const auto installed =
        std::filesystem::path(apps::ProgramDirectory()) / ".." / "share" / "thermal-driver" / "trace_formats";
    std::error_code error;
    if (std::filesystem::is_directory(installed, error)) return installed.lexically_normal().string();
    return THERMAL_SOURCE_TRACE_FORMATS;
}

std::optional<int> ParseHostOptions(int argc, char** argv, HostOptions* options)
{
    CLI::App app(kDescription, "driver-host");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("driver-host ") + DRIVER_HOST_VERSION);
    app.get_formatter()->column_width(30);

    app.add_option("--machine", options->machineFile,
                   "the simulated machine's description file (default: the embedded machine; see "
                   "docs/machine-file.md); \"host\": probes that follow this machine's first thermal zone")
        ->option_text("FILE|host");
    options->socketPath = apps::DefaultSocketPath();
    CLI::Option* socketOption = app.add_option("--socket", options->socketPath, "the socket that clients connect to")
                                    ->option_text("PATH (default: " + options->socketPath + ")");
    options->stateDirectory = apps::DefaultStateDirectory();
    CLI::Option* stateOption =
        app.add_option("--state-dir", options->stateDirectory,
                       "where the registry, the device's property store and the map files are kept")
            ->option_text("DIR (default: " + options->stateDirectory + ")");
    std::string idle = "on";
    app.add_option("--idle", idle,
                   "the user idle setting; off keeps the device in D0, where its acquisition (which only a "
                   "return from low power starts) does not start until sim sleep and sim resume")
        ->option_text("on|off (default: on)")
        ->check(CLI::IsMember({"on", "off"}));
    app.add_option("--allow-group", options->allowGroups,
                   "members of this group get read-write access too (besides this user and root); may be repeated")
        ->option_text("NAME");
    const std::map<std::string, int> levels{{"off", 0},  {"0", 0},    {"error", 1},   {"1", 1},  {"warning", 2},
                                            {"2", 2},    {"info", 3}, {"3", 3},       {"verbose", 4}, {"4", 4}};
    int traceLevel = 0;
    app.add_option("--trace", traceLevel, "print the driver's traces, decoded, up to this level")
        ->option_text("LEVEL (error|warning|info|verbose, or 1-4)")
        ->transform(CLI::CheckedTransformer(levels, CLI::ignore_case));
    app.add_option("--trace-formats", options->traceFormats, "the directory of the trace format files")
        ->option_text("DIR");
    options->modulePath = DefaultModulePath();
    app.add_option("--module", options->modulePath, "the driver module to load")
        ->option_text("PATH (default: " + options->modulePath + ")");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& success) {
        app.exit(success);
        return kExitOk;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "driver-host: %s\nRun driver-host --help for the options.\n", error.what());
        return kExitUsage;
    }

    options->stateDirectoryGiven = stateOption->count() > 0;
    options->socketGiven = socketOption->count() > 0;
    options->idle = idle == "on";
    options->traceLevel = static_cast<std::uint8_t>(traceLevel);
    if (options->traceFormats.empty()) options->traceFormats = DefaultTraceFormats();
    if (options->socketPath.empty() || options->stateDirectory.empty()) {
        std::fprintf(stderr, "driver-host: --socket and --state-dir need a path\n");
        return kExitUsage;
    }
    for (const std::string& name : options->allowGroups) {
        gid_t id = 0;
        if (!ResolveGroup(name, &id)) {
            std::fprintf(stderr, "driver-host: --allow-group: no group named \"%s\"\n", name.c_str());
            return kExitUsage;
        }
        options->allowGroupIds.push_back(id);
    }
    return std::nullopt;
}

}  // namespace driver_host
