// Feeds arbitrary bytes to the machine file's parser, and each of their lines to the machine
// command parser. Nothing is applied. Every input must end without a crash, a sanitizer report or
// a hang, and an error must name a line of the input in one line of text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/machine.h"
#include "sim/machine_control.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    int lines = 1;
    for (const char c : text) lines += c == '\n';

    const sim::ParsedMachine parsed = sim::ParseMachine(text);
    if (parsed.machine) {
        if (!parsed.error.empty() || parsed.errorLine != 0) std::abort();
        // Each WMI instance and registry value takes a line of its own.
        if (parsed.machine->wmiInstances.size() + parsed.machine->registry.size() > static_cast<std::size_t>(lines)) {
            std::abort();
        }
    } else {
        if (parsed.errorLine < 1 || parsed.errorLine > lines) std::abort();
        if (parsed.error.rfind("line " + std::to_string(parsed.errorLine) + ": ", 0) != 0) std::abort();
        if (parsed.error.find('\n') != std::string::npos) std::abort();
    }

    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string error = sim::CheckMachineCommand(text.substr(start, end - start));
        if (error.find('\n') != std::string::npos) std::abort();
        start = end + 1;
    }
    return 0;
}
