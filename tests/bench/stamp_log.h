// The stamp log that the bench harness shares with the driver-host it starts: a file that the
// stamp library (stamp_preload.cpp, loaded into driver-host with LD_PRELOAD) fills and the
// harness reads while the host runs.
//
// What it records: every call of the platform's GetSystemTime in the host, with the monotonic
// time (CLOCK_MONOTONIC, ns) at which the call was made and the calendar time it answered. The
// sensor stamps each reading that the reporter hands over with GetSystemTime, and that stamp
// travels in the data-updated event (as a FILETIME, to the millisecond). The harness finds the
// log entry whose answer is the event's stamp and so learns, to the nanosecond and on the clock it
// reads itself, when the reading was handed over.
//
// Layout: a Header, then kCapacity entries used as a ring. The writer takes a slot with an atomic
// increment of `next`, fills it, and publishes it by storing the slot's sequence number (its
// index + 1) last; the reader accepts an entry only when the sequence matches the index it expects.
//
// Thread safety: any number of writers (the host's threads) and one reader (the harness), across
// processes, through the shared mapping; the fields are lock-free atomics.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace bench {

inline constexpr char kStampLogEnvironment[] = "THERMAL_BENCH_STAMP_LOG";

struct StampEntry {
    std::atomic<std::uint64_t> sequence;  // index + 1 once the entry is complete
    std::uint64_t monotonicNs;
    std::uint16_t systemTime[8];  // SYSTEMTIME: year, month, day of week, day, hour, minute, second, ms
};

struct StampLogHeader {
    static constexpr std::uint64_t kMagic = 0x314F4C504D415453ull;  // "STAMPLO1"
    std::uint64_t magic;
    std::atomic<std::uint64_t> next;
};

inline constexpr std::size_t kStampCapacity = 8192;
inline constexpr std::size_t kStampLogBytes = sizeof(StampLogHeader) + kStampCapacity * sizeof(StampEntry);

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the log is shared between processes");

inline StampEntry* StampEntries(StampLogHeader* header)
{
    return reinterpret_cast<StampEntry*>(reinterpret_cast<unsigned char*>(header) + sizeof(StampLogHeader));
}

}  // namespace bench
