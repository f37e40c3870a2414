// Writes arbitrary bytes to a file of the simulated Windows directory and reads it back through a
// text-mode _fsopen stream, in reads of a size taken from the input. What comes back must be the
// bytes with each CR LF turned into LF, and nothing else changed.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/crt/stdio.h"
#include "sim/windows_directory.h"

namespace {

std::string g_directory;

void RemoveDirectory() { std::filesystem::remove_all(g_directory); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "text_stream_fuzzer_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    g_directory = pattern;
    sim::SetWindowsDirectory(g_directory);
    std::atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* file = std::fopen((g_directory + "/input.ini").c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    std::string expected;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n') continue;
        expected += static_cast<char>(data[i]);
    }

    std::FILE* stream = _fsopen("\\Windows\\input.ini", "r", _SH_DENYNO);
    if (stream == nullptr) std::abort();
    const std::size_t chunk = size > 0 ? data[0] % 64 + 1 : 1;
    std::string text;
    std::string buffer(chunk, '\0');
    std::size_t count;
    while ((count = std::fread(buffer.data(), 1, chunk, stream)) > 0) text.append(buffer, 0, count);
    if (std::ferror(stream)) std::abort();
    std::fclose(stream);

    if (text != expected) std::abort();
    return 0;
}
