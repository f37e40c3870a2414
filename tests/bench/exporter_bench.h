// thermal-exporter beside a running host: its memory, how long a scrape takes, and whether scrapes
// reach the host.
//
//   std::string why;
//   std::optional<bench::ExporterFigures> figures =
//       bench::MeasureExporter(exporterPath, host->SocketPath(), host->LogPath(), 1000, &why);
//
// Thread safety: a plain function; it starts, reads and ends its own child process (by its pid).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "bench_stats.h"

namespace bench {

struct ExporterFigures {
    Summary scrapeUs;                           // one GET /metrics on a kept-alive connection, in microseconds
    std::size_t rssKiB = 0;                     // after the scrapes
    std::size_t sharedKiB = 0;                  // of which pages shared with other processes (libraries' code)
    std::size_t hostConnectsDuringScrapes = 0;  // "client connected" lines the host logged meanwhile
};

// The RSS (KiB) that `httpFloor` (thermal_bench_http_floor: a program that makes a cpp-httplib
// server and does nothing else) prints; 0 when it cannot be run.
std::size_t HttpFloorRssKiB(const std::string& httpFloor);

// Starts `exporter --socket SOCKET --listen 127.0.0.1:0`, waits (up to 60 s) until its metrics
// carry a temperature, then scrapes it `scrapes` times. Nothing, with why in *error, when it fails.
std::optional<ExporterFigures> MeasureExporter(const std::string& exporter, const std::string& socket,
                                               const std::string& hostLog, int scrapes, std::string* error);

}  // namespace bench
