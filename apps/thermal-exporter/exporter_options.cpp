#include "thermal-exporter/exporter_options.h"

#include <CLI/CLI.hpp>
#include <charconv>

#include "client/exit_codes.h"
#include "common/paths.h"

namespace exporter {

bool ParseListenAddress(std::string_view text, ListenAddress* address, std::string* why)
{
    const std::size_t colon = text.rfind(':');
    std::string_view host = colon == std::string_view::npos ? std::string_view() : text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        *why = "write an IPv6 address in brackets, as [::1]:" + std::to_string(kDefaultPort);
        return false;
    }
    if (host.empty()) {
        *why = "give ADDRESS:PORT, as 127.0.0.1:" + std::to_string(kDefaultPort) + " (0.0.0.0:PORT for every address)";
        return false;
    }
    const std::string_view portText = text.substr(colon + 1);
    unsigned port = 0;
    const char* end = portText.data() + portText.size();
    const auto [last, error] = std::from_chars(portText.data(), end, port);
    if (portText.empty() || error != std::errc() || last != end || port > 65535) {
        *why = "the port must be a number from 0 to 65535, not \"" + std::string(portText) + "\"";
        return false;
    }
    address->host = std::string(host);
    address->port = static_cast<std::uint16_t>(port);
    return true;
}

std::optional<int> ParseExporterOptions(int argc, char** argv, ExporterOptions* options)
{
    CLI::App app(
        "Serves the thermal sensor's readings, as driver-host reports them, to Prometheus on /metrics "
        "(or writes them to a file for a node agent's textfile collector). It keeps one connection and "
        "one subscription: a scrape reads the last event and never wakes the device.",
        "thermal-exporter");
    app.set_version_flag("--version", THERMAL_EXPORTER_VERSION);
    options->socketPath = apps::DefaultSocketPath();
    CLI::Option* socket =
        app.add_option("--socket", options->socketPath, "the socket driver-host serves")->capture_default_str();
    std::string listen;
    app.add_option("--listen", listen,
                   "ADDRESS:PORT to serve /metrics on ([::1]:PORT for IPv6; port 0 takes a free one and prints it)")
        ->default_str("127.0.0.1:" + std::to_string(kDefaultPort));
    app.add_option("--textfile", options->textfile,
                   "write the metrics to this file (atomically, on every change) instead of serving HTTP");
    app.footer(
        "Exit codes: 0 stopped by SIGINT or SIGTERM; 1 the address cannot be served or the file written;\n"
        "2 usage. A host that is down or restarts is waited for, never an error.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? client::kExitOk : client::kExitUsage;
    }
    options->socketGiven = socket->count() > 0;
    if (!listen.empty()) {
        std::string why;
        if (!ParseListenAddress(listen, &options->listen, &why)) {
            std::fprintf(stderr, "thermal-exporter: --listen %s: %s\n", listen.c_str(), why.c_str());
            return client::kExitUsage;
        }
    }
    if (!listen.empty() && !options->textfile.empty()) {
        std::fprintf(stderr, "thermal-exporter: give --listen or --textfile, not both\n");
        return client::kExitUsage;
    }
    return std::nullopt;
}

}  // namespace exporter
