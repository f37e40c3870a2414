#include "sensorctl/ctl_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "common/paths.h"
#include "sensorctl/ctl_exit.h"

namespace sensorctl {
namespace {

constexpr const char* kDescription =
    "Talks to the thermal sensor driver through driver-host's socket: lists the sensor and its "
    "properties, reads and watches temperatures, reads and sets the radio state, changes the "
    "simulated machine and shows the driver's traces.";

constexpr std::string_view kCommands[] = {"list", "props", "get", "watch", "radio", "sim", "trace"};

// A whole number from `low` up to `high`; the check's message says so with `what`.
template <class Number>
CLI::Validator WholeNumber(Number low, Number high, std::string what)
{
    return CLI::Validator(
        [low, high, what](std::string& text) -> std::string {
            Number value{};
            const char* end = text.data() + text.size();
            const auto [last, error] = std::from_chars(text.data(), end, value);
            if (error == std::errc() && last == end && value >= low && value <= high) return {};
            return "takes " + what + ", not \"" + text + "\"";
        },
        "");
}

// The first word that is not an option or an option's value: the command the user meant.
std::string FirstWord(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--socket" || word == "--sensor") {
            ++i;  // its value
            continue;
        }
        if (!word.starts_with("-")) return std::string(word);
    }
    return {};
}

// Says that the command line names no command, or one that is unknown; false when it names a known
// one (the trouble is elsewhere).
bool ReportMissingCommand(int argc, char** argv)
{
    const std::string word = FirstWord(argc, argv);
    std::string commands;
    for (const std::string_view command : kCommands) commands += (commands.empty() ? "" : ", ") + std::string(command);
    if (word.empty()) {
        std::fprintf(stderr, "sensorctl: give a command: %s\n", commands.c_str());
    } else if (std::find(std::begin(kCommands), std::end(kCommands), word) == std::end(kCommands)) {
        std::fprintf(stderr, "sensorctl: unknown command \"%s\"; the commands are %s\n", word.c_str(), commands.c_str());
    } else {
        return false;
    }
    std::fprintf(stderr, "Run sensorctl --help for what each does.\n");
    return true;
}

constexpr const char* kFooter =
    "A fresh host's device is idle: the first client that connects wakes it, and the driver then\n"
    "settles for about 5 seconds before the first reading. get and watch wait for it (get also for\n"
    "a host that is still starting), asking for the sensor's shortest report interval meanwhile.\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  the request failed (its HRESULT is printed)\n"
    "  2  usage: the command line is wrong (also a --sensor the host does not have, or an\n"
    "     --interval below the sensor's minimum)\n"
    "  3  the host or its device cannot be reached: no socket, nobody listening, the connection\n"
    "     was lost, or the device is removed\n";

}  // namespace

std::optional<int> ParseCtlOptions(int argc, char** argv, CtlOptions* options)
{
    CLI::App app(kDescription, "sensorctl");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("sensorctl ") + SENSORCTL_VERSION);
    app.require_subcommand(1);
    app.get_formatter()->column_width(30);

    CLI::Option* socketOption = app.add_option("--socket", options->socketPath,
                                               "the host's socket (the default one only if served by this "
                                               "user or root)")
                                    ->option_text("PATH (default: " + apps::DefaultSocketPath() +
                                                  " when a host serves it, else " + apps::kSystemSocketPath + ")");
    app.add_flag("--json", options->json, "print one JSON object per line, with stable keys");
    app.add_option("--sensor", options->sensorId, "the sensor's object ID (default: the first sensor)")
        ->option_text("ID");

    CLI::App* list = app.add_subcommand("list", "list the sensors with their properties");
    CLI::App* props = app.add_subcommand("props", "show the sensor's properties (all, or the keys named)");
    props->add_option("keys", options->keys, "property keys by platform name, e.g. SENSOR_PROPERTY_MODEL")
        ->option_text("KEY...");
    CLI::App* get = app.add_subcommand("get", "connect, wait until the sensor is ready, read its data fields, disconnect");
    std::string format = "text";
    const auto addFormat = [&format](CLI::App* command) {
        command->add_option("--format", format, "text for people, or value: one number per reading, nothing else")
            ->option_text("text|value (default: text)")
            ->check(CLI::IsMember({"text", "value"}));
    };
    addFormat(get);
    get->add_option("--timeout", options->timeoutSeconds,
                    "how long to wait for the host (while it loads) and for the sensor to become ready")
        ->option_text("SECONDS (default: 30)")
        ->check(WholeNumber(1u, 3600u, "a number of seconds from 1 to 3600"));
    CLI::App* watch = app.add_subcommand("watch", "connect, subscribe and print each event until Ctrl-C");
    watch->add_option("--interval", options->intervalMs,
                      "ask for this report interval (0: no wish)")
        ->option_text("MS")
        ->check(WholeNumber(0u, 0xFFFFFFFFu, "a report interval in milliseconds (0 for no wish)"));
    watch->add_option("--count", options->count,
                      "stop after this many readings (the events between them are printed too)")
        ->option_text("N")
        ->check(WholeNumber<std::uint64_t>(1, UINT64_MAX, "a number of readings, 1 or more"));
    watch->add_flag("--passive", options->passive,
                    "subscribe without connecting: the device is neither woken nor kept awake");
    watch->add_flag("--follow", options->follow,
                    "when the device is removed or the host goes, wait for it to come back and go on");
    addFormat(watch);
    watch->add_flag("--plot", options->plot,
                    "a live view on the terminal: sparkline, current value, min/mean/max, age of the last reading");
    CLI::Option* minOption = watch->add_option("--min", options->plotMin, "--plot: the scale's bottom (default: the lowest reading)")
                                 ->option_text("CELSIUS");
    CLI::Option* maxOption = watch->add_option("--max", options->plotMax, "--plot: the scale's top (default: the highest reading)")
                                 ->option_text("CELSIUS");

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
    int traceLevel = 3;
    trace->add_option("--level", traceLevel, "the highest level to show")
        ->option_text("LEVEL (error|warning|info|verbose, or 1-4; default: info)")
        ->transform(CLI::Validator(
            [](std::string& text) -> std::string {
                static const char* const kNames[] = {"error", "warning", "info", "verbose"};
                for (int level = 1; level <= 4; ++level) {
                    if (text == std::to_string(level) || CLI::detail::to_lower(text) == kNames[level - 1]) {
                        text = std::to_string(level);
                        return {};
                    }
                }
                return "takes error, warning, info or verbose, or 1 to 4, not \"" + text + "\"";
            },
            ""));

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
        if (app.get_subcommands().empty() && ReportMissingCommand(argc, argv)) {
            // said
        } else if (*radio && !*radioGet && !*radioSet) {
            std::fprintf(stderr, "sensorctl: radio takes get or set (sensorctl radio --help)\n");
        } else {
            std::fprintf(stderr, "sensorctl: %s\nRun sensorctl --help for the commands.\n", error.what());
        }
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
    options->valueOnly = format == "value";
    if (options->valueOnly && options->json) {
        std::fprintf(stderr, "sensorctl: --format value and --json are two different outputs; choose one\n");
        return kExitUsage;
    }
    if (options->plot && (options->json || options->valueOnly)) {
        std::fprintf(stderr, "sensorctl: watch --plot draws for people; it cannot go with --json or --format value\n");
        return kExitUsage;
    }
    if ((minOption->count() > 0 || maxOption->count() > 0) && !options->plot) {
        std::fprintf(stderr, "sensorctl: watch --min and --max set the scale of --plot; add --plot\n");
        return kExitUsage;
    }
    if (options->plotMin && options->plotMax && !(*options->plotMin < *options->plotMax)) {
        std::fprintf(stderr, "sensorctl: watch --min %g must be below --max %g\n", *options->plotMin, *options->plotMax);
        return kExitUsage;
    }
    if (options->passive && options->intervalMs) {
        std::fprintf(stderr, "sensorctl: watch --interval needs a connected client; it cannot go with --passive\n");
        return kExitUsage;
    }
    if (*trace) {
        options->command = Command::kTrace;
        options->traceLevel = static_cast<std::uint8_t>(traceLevel);
    }
    options->socketGiven = socketOption->count() > 0;
    if (!options->socketGiven) options->socketPath = apps::ClientSocketPath();
    if (options->socketPath.empty()) {
        std::fprintf(stderr, "sensorctl: --socket needs a path\n");
        return kExitUsage;
    }
    return std::nullopt;
}

}  // namespace sensorctl
