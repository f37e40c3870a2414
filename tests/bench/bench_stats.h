// Figures of the bench harness: summaries of samples, the monotonic clock it reads, and the
// socket round-trip floor.
//
// Thread safety: plain functions and values; EchoFloor starts and ends its own child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds: the clock the harness and the stamp library share.
std::uint64_t MonotonicNs();

// Starts `words` (the program first) with its standard output on a pipe. Returns the child's pid
// and sets *readEnd to the pipe's end to read; on failure returns -1 and says why in *error.
pid_t SpawnWithOutputPipe(std::vector<std::string> words, int* readEnd, std::string* error);

struct Summary {
    std::size_t count = 0;
    double mean = 0;
    double min = 0;
    double max = 0;
    double p2_5 = 0;
    double p50 = 0;
    double p97_5 = 0;
    double p99 = 0;
};

// Percentiles by nearest rank on the sorted samples; an empty set gives a Summary of zeros.
Summary Summarize(std::vector<double> samples);

// "p50 12.3 us  p99 45.6 us  max 78.9 us  (n=1000)" for samples in microseconds.
std::string LatencyText(const Summary& us);

// The round trip of a minimal echo over a Unix-domain stream socket between this process and a
// child process it forks: `roundTrips` exchanges of `messageBytes` bytes, after a warm-up. The
// samples are in microseconds. With a `spacing`, each exchange starts that long after the last one
// ended, so both ends are asleep when it starts, as the host's threads are when a reading comes
// every report interval.
Summary EchoFloor(std::size_t roundTrips, std::size_t messageBytes, std::chrono::microseconds spacing = {});

}  // namespace bench
