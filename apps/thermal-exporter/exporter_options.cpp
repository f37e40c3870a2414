#include "thermal-exporter/exporter_options.h"

#include <getopt.h>

#include <charconv>
#include <cstdio>

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

namespace {

void PrintHelp(const std::string& defaultSocket)
{
    std::printf(
        "Serves the thermal sensor's readings, as driver-host reports them, to Prometheus on /metrics (or writes\n"
        "them to a file for a node agent's textfile collector). It keeps one connection and one subscription: a\n"
        "scrape reads the last event and never wakes the device.\n"
        "Usage: thermal-exporter [OPTIONS]\n"
        "\n"
        "Options:\n"
        "  -h, --help           print this help and exit\n"
        "  --version            print the version and exit\n"
        "  --socket PATH        the socket driver-host serves (default %s)\n"
        "  --listen ADDRESS:PORT\n"
        "                       where to serve /metrics (default 127.0.0.1:%u; [::1]:PORT for IPv6; port 0\n"
        "                       takes a free one and prints it)\n"
        "  --textfile PATH      write the metrics to this file (atomically, on every change) instead of\n"
        "                       serving HTTP\n"
        "\n"
        "Exit codes: 0 stopped by SIGINT or SIGTERM; 1 the address cannot be served or the file written;\n"
        "2 usage. A host that is down or restarts is waited for, never an error.\n",
        defaultSocket.c_str(), static_cast<unsigned>(kDefaultPort));
}

int UsageError(const std::string& what)
{
    std::fprintf(stderr, "thermal-exporter: %s\nRun with --help for more information.\n", what.c_str());
    return client::kExitUsage;
}

}  // namespace

// Parsed with getopt_long rather than the command-line library the other programs use: the
// exporter stays resident, and that library's code would stay in its memory for three options.
std::optional<int> ParseExporterOptions(int argc, char** argv, ExporterOptions* options)
{
    enum : int { kVersion = 256, kSocket, kListen, kTextfile };
    static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, kVersion},
                                      {"socket", required_argument, nullptr, kSocket},
                                      {"listen", required_argument, nullptr, kListen},
                                      {"textfile", required_argument, nullptr, kTextfile},
                                      {nullptr, 0, nullptr, 0}};
    options->socketPath = apps::DefaultSocketPath();
    std::optional<std::string> listen;
    ::optind = 0;  // from the start, as if never called
    ::opterr = 0;  // the errors are printed below, in the programs' words
    for (;;) {
        const int option = ::getopt_long(argc, argv, "+:h", kOptions, nullptr);
        if (option == -1) break;
        // The word just read: getopt_long has moved past it.
        const std::string word = ::optopt > 0 && ::optopt < 256 ? std::string("-") + static_cast<char>(::optopt)
                                                                 : argv[::optind - 1];
        switch (option) {
        case 'h':
            PrintHelp(options->socketPath);
            return client::kExitOk;
        case kVersion:
            std::printf("%s\n", THERMAL_EXPORTER_VERSION);
            return client::kExitOk;
        case kSocket:
            options->socketPath = ::optarg;
            options->socketGiven = true;
            break;
        case kListen:
            listen = ::optarg;
            break;
        case kTextfile:
            options->textfile = ::optarg;
            break;
        case ':':
            return UsageError(word + " needs a value");
        default:
            return UsageError("unknown option " + word);
        }
    }
    if (::optind < argc) return UsageError(std::string("unexpected argument ") + argv[::optind]);
    if (listen) {
        std::string why;
        if (!ParseListenAddress(*listen, &options->listen, &why)) return UsageError("--listen " + *listen + ": " + why);
    }
    if (listen && !options->textfile.empty()) return UsageError("give --listen or --textfile, not both");
    return std::nullopt;
}

}  // namespace exporter
