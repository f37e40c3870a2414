#include "sensorctl/ctl_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>

#include "common/paths.h"
#include "sensorctl/ctl_exit.h"

namespace sensorctl {
namespace {

constexpr const char* kDescription =
    "Talks to the thermal sensor driver through driver-host's socket: lists the sensor and its "
    "properties, reads and watches temperatures, reads and sets the radio state, changes the "
    "simulated machine and shows the driver's traces.";

constexpr const char* kFooter =
    "A fresh host's device is idle: the first client that connects wakes it, and the driver then\n"
    "settles for about 5 seconds before the first reading. get and watch wait for it.\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  the request failed (its HRESULT is printed)\n"
    "  2  usage: the command line is wrong\n"
    "  3  the host cannot be reached, or the connection was lost\n";

}  // namespace

std::optional<int> ParseCtlOptions(int argc, char** argv, CtlOptions* options)
{
    CLI::App app(kDescription, "sensorctl");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("sensorctl ") + SENSORCTL_VERSION);
    app.require_subcommand(1);
    app.get_formatter()->column_width(30);

    options->socketPath = apps::DefaultSocketPath();
    CLI::Option* socketOption = app.add_option("--socket", options->socketPath,
                                               "the host's socket (the default one only if served by this "
                                               "user or root)")
                                    ->option_text("PATH (default: " + options->socketPath + ")");
    app.add_flag("--json", options->json, "print one JSON object per line, with stable keys");
    app.add_option("--sensor", options->sensorId, "the sensor's object ID (default: the first sensor)")
        ->option_text("ID");

    CLI::App* list = app.add_subcommand("list", "list the sensors with their properties");
    CLI::App* props = app.add_subcommand("props", "show the sensor's properties (all, or the keys named)");
    props->add_option("keys", options->keys, "property keys by platform name, e.g. SENSOR_PROPERTY_MODEL")
        ->option_text("KEY...");
    CLI::App* get = app.add_subcommand("get", "connect, wait until the sensor is ready, read its data fields, disconnect");
    get->add_option("--timeout", options->timeoutSeconds, "how long to wait for the sensor to become ready")
        ->option_text("SECONDS (default: 30)")
        ->check(CLI::Range(1u, 3600u));
    CLI::App* watch = app.add_subcommand("watch", "connect, subscribe and print each event until Ctrl-C");
    watch->add_option("--interval", options->intervalMs, "ask for this report interval first")
        ->option_text("MS")
        ->check(CLI::Range(0u, 0xFFFFFFFFu));
    watch->add_option("--count", options->count, "stop after this many events (data-updated and state-changed)")
        ->option_text("N")
        ->check(CLI::PositiveNumber);
    watch->add_flag("--passive", options->passive,
                    "subscribe without connecting: the device is neither woken nor kept awake");

    CLI::App* radio = app.add_subcommand("radio", "read or set the radio state (0 on, 1 off)");
    radio->require_subcommand(1);
    CLI::App* radioGet = radio->add_subcommand("get", "print the radio state");
    CLI::App* radioSet = radio->add_subcommand("set", "set the radio state (needs write access)");
    radioSet->add_option("value", options->radioValue, "the new value (the driver takes 0 to 6, acts on 0 and 1)")
        ->required();
    for (CLI::App* sub : {radio, radioGet, radioSet}) {
        sub->add_flag("--previous", options->previous, "the previous radio state instead");
    }

    CLI::App* sim = app.add_subcommand("sim", "change the simulated machine (\"sensorctl sim help\" lists the commands)");
    sim->prefix_command();
    sim->allow_extras();

    CLI::App* trace = app.add_subcommand("trace", "print the driver's traces, decoded, until Ctrl-C");
    const std::map<std::string, int> levels{{"error", 1}, {"1", 1},    {"warning", 2}, {"2", 2},
                                            {"info", 3},  {"3", 3},    {"verbose", 4}, {"4", 4}};
    int traceLevel = 3;
    trace->add_option("--level", traceLevel, "the highest level to show")
        ->option_text("LEVEL (error|warning|info|verbose, or 1-4; default: info)")
        ->transform(CLI::CheckedTransformer(levels, CLI::ignore_case));

    // sim takes every word after it as the command (global options go before "sim").
    for (CLI::App* sub : {list, props, get, watch, radio, trace}) sub->fallthrough();
    radioGet->fallthrough();
    radioSet->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& success) {
        app.exit(success);
        return kExitOk;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "sensorctl: %s\nRun sensorctl --help for the commands.\n", error.what());
        return kExitUsage;
    }

    if (*list) options->command = Command::kList;
    if (*props) options->command = Command::kProps;
    if (*get) options->command = Command::kGet;
    if (*watch) options->command = Command::kWatch;
    if (*radioGet) options->command = Command::kRadioGet;
    if (*radioSet) options->command = Command::kRadioSet;
    if (*sim) {
        options->command = Command::kSim;
        options->simWords = sim->remaining();
        if (options->simWords.empty()) {
            std::fprintf(stderr, "sensorctl: sim needs a command; \"sensorctl sim help\" lists them\n");
            return kExitUsage;
        }
    }
    if (options->passive && options->intervalMs) {
        std::fprintf(stderr, "sensorctl: watch --interval needs a connected client; it cannot go with --passive\n");
        return kExitUsage;
    }
    if (*trace) {
        options->command = Command::kTrace;
        options->traceLevel = static_cast<std::uint8_t>(traceLevel);
    }
    if (options->socketPath.empty()) {
        std::fprintf(stderr, "sensorctl: --socket needs a path\n");
        return kExitUsage;
    }
    options->socketGiven = socketOption->count() > 0;
    return std::nullopt;
}

}  // namespace sensorctl
