// thermal-exporter's command line.
//
// Thread safety: plain values; the functions keep no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace exporter {

// The port /metrics is served on when --listen does not say.
inline constexpr std::uint16_t kDefaultPort = 9763;

struct ListenAddress {
    std::string host = "127.0.0.1";     // an IPv4 address, an IPv6 address (without brackets) or a name
    std::uint16_t port = kDefaultPort;  // 0: any free port (the one taken is printed)
};

struct ExporterOptions {
    std::string socketPath;
    bool socketGiven = false;
    ListenAddress listen;
    std::string textfile;  // when not empty: write the metrics there instead of serving HTTP
};

// "HOST:PORT" or "[IPV6]:PORT"; false with why in *why.
bool ParseListenAddress(std::string_view text, ListenAddress* address, std::string* why);

// Parses the command line into *options; an exit code when the program should end at once (help,
// version, or a usage error, which is printed).
std::optional<int> ParseExporterOptions(int argc, char** argv, ExporterOptions* options);

}  // namespace exporter
