#include "host_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench_stats.h"
#include "platform/kernel/time.h"
#include "transport/socket_client.h"

namespace bench {

// ---- The stamp log. ----

void StampReader::PollLocked()
{
    const std::uint64_t end = m_log->next.load(std::memory_order_acquire);
    if (end > m_nextIndex + kStampCapacity) m_nextIndex = end - kStampCapacity;  // overwritten meanwhile
    for (; m_nextIndex < end; ++m_nextIndex) {
        const StampEntry& entry = StampEntries(m_log)[m_nextIndex % kStampCapacity];
        if (entry.sequence.load(std::memory_order_acquire) != m_nextIndex + 1) break;  // not complete yet
        SYSTEMTIME systemTime{};
        std::memcpy(&systemTime, entry.systemTime, sizeof(systemTime));
        const std::uint64_t monotonicNs = entry.monotonicNs;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (entry.sequence.load(std::memory_order_relaxed) != m_nextIndex + 1) break;  // overwritten while read
        FILETIME fileTime{};
        if (!SystemTimeToFileTime(&systemTime, &fileTime)) continue;
        const std::uint64_t stamp = (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
        m_recent.emplace_back(stamp, monotonicNs);
        if (m_recent.size() > kStampCapacity) m_recent.pop_front();
    }
}

std::uint64_t StampReader::HandOver(std::uint64_t fileTime, std::uint64_t notAfterNs)
{
    std::lock_guard guard(m_mutex);
    PollLocked();
    for (auto it = m_recent.rbegin(); it != m_recent.rend(); ++it) {
        if (it->first == fileTime && it->second <= notAfterNs) return it->second;
    }
    return 0;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> StampReader::Recent()
{
    std::lock_guard guard(m_mutex);
    PollLocked();
    return {m_recent.begin(), m_recent.end()};
}

// ---- The process. ----

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether a hello is answered on the socket now.
bool Answers(const std::string& socketPath)
{
    transport::SocketClientOptions options;
    options.replyTimeout = std::chrono::seconds(5);
    std::unique_ptr<transport::SocketClient> client;
    return SUCCEEDED(transport::SocketClient::Connect(socketPath, {}, options, &client));
}

}  // namespace

std::unique_ptr<HostProcess> HostProcess::Start(const Options& options, std::string* error)
{
    std::unique_ptr<HostProcess> host(new HostProcess);
    host->m_socketPath = options.workDirectory + "/host.sock";
    host->m_logPath = options.workDirectory + "/host.log";
    const std::string stateDirectory = options.workDirectory + "/state";
    ::mkdir(stateDirectory.c_str(), 0700);

    if (!options.stampLibrary.empty()) {
        host->m_stampPath = options.workDirectory + "/stamps";
        const int fd = ::open(host->m_stampPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kStampLogBytes)) != 0) {
            if (fd >= 0) ::close(fd);
            *error = "cannot make the stamp log " + host->m_stampPath + ": " + std::strerror(errno);
            return nullptr;
        }
        void* mapped = ::mmap(nullptr, kStampLogBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (mapped == MAP_FAILED) {
            *error = "cannot map the stamp log: " + std::string(std::strerror(errno));
            return nullptr;
        }
        auto* header = static_cast<StampLogHeader*>(mapped);
        header->next.store(0);
        header->magic = StampLogHeader::kMagic;
        host->m_stampMapping = mapped;
        host->m_stamps = std::make_unique<StampReader>(header);
    }

    std::vector<std::string> arguments = {options.hostPath,       "--socket", host->m_socketPath,
                                          "--state-dir",          stateDirectory, "--idle", "on"};
    arguments.insert(arguments.end(), options.extraArguments.begin(), options.extraArguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const int log = ::open(host->m_logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) {
        *error = "cannot write " + host->m_logPath;
        return nullptr;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(log);
        *error = "fork failed";
        return nullptr;
    }
    if (pid == 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        if (!host->m_stampPath.empty()) {
            ::setenv("LD_PRELOAD", options.stampLibrary.c_str(), 1);
            ::setenv(kStampLogEnvironment, host->m_stampPath.c_str(), 1);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(log);
    host->m_pid = pid;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            host->m_pid = -1;
            *error = "driver-host ended during start-up (status " + std::to_string(status) + "); its output:\n" +
                     ReadFile(host->m_logPath);
            return nullptr;
        }
        struct stat socketFile {};
        if (::stat(host->m_socketPath.c_str(), &socketFile) == 0 && Answers(host->m_socketPath)) return host;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error = "driver-host did not answer on " + host->m_socketPath + " within two minutes";
    return nullptr;
}

HostProcess::~HostProcess()
{
    Stop();
    if (m_stampMapping != nullptr) ::munmap(m_stampMapping, kStampLogBytes);
}

int HostProcess::Stop()
{
    if (m_pid <= 0) return 0;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_pid = -1;
    return status;
}

std::uint64_t HostProcess::ThreadCpuNs() const
{
    const std::string taskDirectory = "/proc/" + std::to_string(m_pid) + "/task";
    DIR* directory = ::opendir(taskDirectory.c_str());
    if (directory == nullptr) return 0;
    std::uint64_t total = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(taskDirectory + "/" + entry->d_name + "/schedstat");
        std::uint64_t runNs = 0;
        if (in >> runNs) total += runNs;
    }
    ::closedir(directory);
    return total;
}

std::uint64_t HostProcess::StatCpuNs() const
{
    const std::string text = ReadFile("/proc/" + std::to_string(m_pid) + "/stat");
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    std::uint64_t utime = 0;
    std::uint64_t stime = 0;
    // After the command: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && (fields >> field); ++number) {
        if (number == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (number == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return (utime + stime) * 1'000'000'000ull / static_cast<std::uint64_t>(ticks > 0 ? ticks : 100);
}

std::size_t HostProcess::RssKiB() const
{
    std::size_t rss = 0;
    std::istringstream status(ReadFile("/proc/" + std::to_string(m_pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) rss = std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    if (m_stampPath.empty()) return rss;
    std::istringstream maps(ReadFile("/proc/" + std::to_string(m_pid) + "/smaps"));
    bool inStamps = false;
    for (std::string line; std::getline(maps, line);) {
        if (line.find(m_stampPath) != std::string::npos) {
            inStamps = true;
        } else if (inStamps && line.rfind("Rss:", 0) == 0) {
            const std::size_t stamps = std::strtoull(line.c_str() + 4, nullptr, 10);
            rss -= std::min(rss, stamps);
            inStamps = false;
        }
    }
    return rss;
}

std::size_t HostProcess::Threads() const
{
    std::istringstream status(ReadFile("/proc/" + std::to_string(m_pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) return std::strtoull(line.c_str() + 8, nullptr, 10);
    }
    return 0;
}

}  // namespace bench
