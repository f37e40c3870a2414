// Feeds arbitrary bytes to the thermal map's file parser as a stream. The parser must end every
// input without a crash, a sanitizer report or a hang, and keep keys unique (a map does).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "acquisition/thermal_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (stream == nullptr) return 0;
    std::map<int, double> map;
    CThermalMap::ReadMapStream(stream, map);
    std::fclose(stream);

    // Every line adds at most one key, and a line ends at LF or at the end of the input.
    std::size_t lines = 1;
    for (std::size_t i = 0; i < size; ++i) lines += data[i] == '\n';
    if (map.size() > lines) std::abort();
    return 0;
}
