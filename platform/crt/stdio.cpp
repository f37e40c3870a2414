#include "platform/crt/stdio.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "sim/windows_directory.h"

namespace {

// A text-mode stream reads its file through a raw binary stream and turns each CR LF into LF.
ssize_t ReadText(void* cookie, char* buffer, size_t size)
{
    auto* raw = static_cast<std::FILE*>(cookie);
    size_t count = 0;
    while (count < size) {
        int c = std::getc(raw);
        if (c == EOF) break;
        if (c == '\r') {
            const int next = std::getc(raw);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, raw);
            }
        }
        buffer[count++] = static_cast<char>(c);
    }
    if (count == 0 && std::ferror(raw)) return -1;
    return static_cast<ssize_t>(count);
}

int CloseText(void* cookie) { return std::fclose(static_cast<std::FILE*>(cookie)); }

std::FILE* Fail(int error)
{
    errno = error;
    return nullptr;
}

}  // namespace

std::FILE* _fsopen(const char* filename, const char* mode, int shflag)
{
    if (filename == nullptr || mode == nullptr || shflag != _SH_DENYNO) return Fail(EINVAL);
    const bool text = std::strcmp(mode, "r") == 0 || std::strcmp(mode, "rt") == 0;
    if (!text && std::strcmp(mode, "rb") != 0) return Fail(EINVAL);

    const auto path = sim::MapWindowsPath(filename);
    if (!path) return Fail(ENOENT);
    std::FILE* raw = std::fopen(path->c_str(), "rbe");
    if (raw == nullptr) return nullptr;
    struct stat status {};
    if (fstat(fileno(raw), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(raw);
        return Fail(EACCES);
    }
    if (!text) return raw;

    const cookie_io_functions_t functions{ReadText, nullptr, nullptr, CloseText};
    std::FILE* stream = fopencookie(raw, "r", functions);
    if (stream == nullptr) {
        const int error = errno;
        std::fclose(raw);
        return Fail(error);
    }
    return stream;
}
