// Makes every allocation through operator new on the calling thread fail while a scope lives, so
// that a test can call the driver directly and see how it answers running out of memory:
//
//   {
//       integration::ScopedAllocationFailure failing;
//       hr = sensorDriver->OnClientSubscribeToEvents(file, id);   // its allocations throw
//   }
//
// The test binary replaces the global operator new and delete for this (allocation_failure.cpp);
// the driver module, loaded into the same process, allocates through them too. Other threads and
// the code outside the scope allocate as usual.
//
// Thread safety: the switch is per thread.
#pragma once

namespace integration {

class ScopedAllocationFailure {
public:
    ScopedAllocationFailure();
    ~ScopedAllocationFailure();
    ScopedAllocationFailure(const ScopedAllocationFailure&) = delete;
    ScopedAllocationFailure& operator=(const ScopedAllocationFailure&) = delete;
};

}  // namespace integration
