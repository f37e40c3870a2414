// Loaded into driver-host by the bench harness (LD_PRELOAD): wraps the platform's GetSystemTime and
// logs each call's monotonic time and answer into the stamp log (stamp_log.h) named by the
// environment. Nothing else of the host changes; without the environment variable the wrapper only
// forwards.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/kernel/time.h"
#include "stamp_log.h"

namespace {

using GetSystemTimeFunction = void (*)(LPSYSTEMTIME);

GetSystemTimeFunction RealGetSystemTime()
{
    static const auto real = reinterpret_cast<GetSystemTimeFunction>(dlsym(RTLD_NEXT, "_Z13GetSystemTimeP10SYSTEMTIME"));
    return real;
}

bench::StampLogHeader* OpenLog()
{
    const char* path = std::getenv(bench::kStampLogEnvironment);
    if (path == nullptr || *path == '\0') return nullptr;
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    void* mapped = ::mmap(nullptr, bench::kStampLogBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) return nullptr;
    auto* header = static_cast<bench::StampLogHeader*>(mapped);
    if (header->magic != bench::StampLogHeader::kMagic) {
        ::munmap(mapped, bench::kStampLogBytes);
        return nullptr;
    }
    return header;
}

bench::StampLogHeader* Log()
{
    static bench::StampLogHeader* const log = OpenLog();
    return log;
}

}  // namespace

void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const GetSystemTimeFunction real = RealGetSystemTime();
    if (real == nullptr) std::abort();  // preloaded into a process without the platform
    real(lpSystemTime);
    bench::StampLogHeader* log = Log();
    if (log == nullptr || lpSystemTime == nullptr) return;
    const std::uint64_t index = log->next.fetch_add(1, std::memory_order_relaxed);
    bench::StampEntry& entry = bench::StampEntries(log)[index % bench::kStampCapacity];
    entry.sequence.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    entry.monotonicNs = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ull + static_cast<std::uint64_t>(now.tv_nsec);
    std::memcpy(entry.systemTime, lpSystemTime, sizeof(entry.systemTime));
    entry.sequence.store(index + 1, std::memory_order_release);
}
