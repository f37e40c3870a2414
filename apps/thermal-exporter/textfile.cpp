#include "thermal-exporter/textfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace exporter {

std::string WriteFileAtomically(const std::string& path, std::string_view text)
{
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot create " + temporary + ": " + std::strerror(errno);
    std::string why;
    for (std::size_t written = 0; written < text.size() && why.empty();) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) why = "cannot write " + temporary + ": " + std::strerror(errno);
        if (n > 0) written += static_cast<std::size_t>(n);
    }
    if (why.empty() && ::fsync(fd) != 0) why = "cannot flush " + temporary + ": " + std::strerror(errno);
    ::close(fd);
    if (why.empty() && std::rename(temporary.c_str(), path.c_str()) != 0) {
        why = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    }
    if (!why.empty()) ::unlink(temporary.c_str());
    return why;
}

}  // namespace exporter
