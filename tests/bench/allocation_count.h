// The benchmark binary replaces the global operator new (allocation_count.cpp) to count its calls
// on every thread, so a benchmark can report the allocations per iteration of what it runs,
// including those of the platform library and the driver module loaded into the process.
//
// Thread safety: the count is atomic.
#pragma once

#include <cstdint>

namespace bench {

// The operator new calls made in this process so far.
std::uint64_t AllocationCount();

}  // namespace bench
