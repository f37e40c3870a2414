// A driver-host process started by the bench harness, and what the harness reads of it: its CPU
// time and memory from /proc, and the stamp log (stamp_log.h) that the stamp library fills in it.
//
//   bench::HostProcess::Options options{hostPath, stampLibrary, workDirectory};
//   std::string why;
//   auto host = bench::HostProcess::Start(options, &why);   // returns once the socket answers
//   ... host->SocketPath(), host->CpuNs(), host->RssKiB(), host->Stamps().HandOver(fileTime) ...
//   host->Stop();                                            // SIGTERM, then waits
//
// Ownership: the object owns the child process; its destructor stops it. Only that process is ever
// signalled, by its pid.
//
// Thread safety: Start, Stop and the /proc readers are called by one thread; Stamps() is used by
// one reader thread at a time (its own mutex guards it).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stamp_log.h"

namespace bench {

// The harness's view of the stamp log: the entries read so far, by calendar stamp.
class StampReader {
public:
    explicit StampReader(StampLogHeader* log) : m_log(log) {}

    // The monotonic time (ns) of the latest GetSystemTime call in the host that answered
    // `fileTime` (100-ns units, as the event carries it) no later than `notAfterNs`; 0 when none.
    std::uint64_t HandOver(std::uint64_t fileTime, std::uint64_t notAfterNs);
    // Every hand-over read so far with its calendar stamp, oldest first (the log keeps the latest
    // kStampCapacity); entries of the same millisecond are all kept.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Recent();

private:
    void PollLocked();

    StampLogHeader* const m_log;
    std::mutex m_mutex;
    // Guarded by m_mutex.
    std::uint64_t m_nextIndex = 0;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> m_recent;  // (fileTime, monotonicNs)
};

class HostProcess {
public:
    struct Options {
        std::string hostPath;       // driver-host
        std::string stampLibrary;   // the stamp library; empty: none is loaded
        std::string workDirectory;  // socket, state directory, stamp log and the host's output go here
        std::vector<std::string> extraArguments;
    };

    // Starts the host and waits until its socket answers a hello (up to two minutes: the module's
    // load settles for about 5 s). Null, with why in *error, when it cannot be started.
    static std::unique_ptr<HostProcess> Start(const Options& options, std::string* error);
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // SIGTERM and wait for the exit (SIGKILL after 60 s); the exit status as waitpid gives it.
    int Stop();

    pid_t Pid() const { return m_pid; }
    const std::string& SocketPath() const { return m_socketPath; }
    const std::string& LogPath() const { return m_logPath; }
    StampReader& Stamps() { return *m_stamps; }
    bool HasStamps() const { return m_stampMapping != nullptr; }

    // CPU time of the process, user and system: the sum of its threads' run time from
    // /proc/PID/task/*/schedstat (ns; threads that ended are not counted), and utime + stime from
    // /proc/PID/stat (all threads, in clock ticks of 10 ms) as ns.
    std::uint64_t ThreadCpuNs() const;
    std::uint64_t StatCpuNs() const;
    // VmRSS of the process, less the resident pages of the stamp log mapping (KiB).
    std::size_t RssKiB() const;
    std::size_t Threads() const;

private:
    HostProcess() = default;

    pid_t m_pid = -1;
    std::string m_socketPath;
    std::string m_logPath;
    std::string m_stampPath;
    void* m_stampMapping = nullptr;
    std::unique_ptr<StampReader> m_stamps;
};

}  // namespace bench
