#include "core/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/fault_injection.h"

namespace platform::detail {
namespace {

// Each step of a write is a fault point, "WriteFileAtomically:<step>" (create, write, flush,
// rename), so that tests can fail it as the system call would; the error becomes errno.
bool StepFails(std::string_view step)
{
    const auto error = CheckFault("WriteFileAtomically", EIO, step);
    if (error) errno = static_cast<int>(*error);
    return error.has_value();
}

std::string Describe(const char* step, const std::filesystem::path& path)
{
    return std::string(step) + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

std::string WriteFileAtomically(const std::filesystem::path& path, std::string_view contents, unsigned mode)
{
    const std::filesystem::path temporary = path.string() + ".tmp";
    const int fd = StepFails("create") ? -1 : ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return Describe("cannot create", temporary);
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n =
            StepFails("write") ? -1 : ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string error = Describe("cannot write", temporary);
            ::close(fd);
            ::unlink(temporary.c_str());
            return error;
        }
        written += static_cast<std::size_t>(n);
    }
    if (StepFails("flush") || ::fsync(fd) != 0) {
        const std::string error = Describe("cannot flush", temporary);
        ::close(fd);
        ::unlink(temporary.c_str());
        return error;
    }
    ::close(fd);
    if (StepFails("rename") || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string error = Describe("cannot replace", path);
        ::unlink(temporary.c_str());
        return error;
    }
    // Make the rename itself durable.
    const int dir = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

int ReadAll(int fd, std::string* contents, std::size_t limit)
{
    contents->clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        if (contents->size() + static_cast<std::size_t>(n) > limit) return EFBIG;
        contents->append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace platform::detail

namespace platform::support {

using detail::ReadAll;

int ReadWholeFile(const std::filesystem::path& path, std::string* contents)
{
    contents->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = ReadAll(fd, contents, contents->max_size());
    ::close(fd);
    return error;
}

}  // namespace platform::support
