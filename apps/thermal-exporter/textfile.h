// Writing the metrics for a node agent's textfile collector: the agent may read the file at any
// moment, so it must see the old file or the new one, never a part of either.
//
// Thread safety: keeps no state; one writer per path at a time.
#pragma once

#include <string>
#include <string_view>

namespace exporter {

// Writes `text` to PATH.tmp, flushes it to disk and renames it over `path` (mode 0644). Returns
// why it could not (the file is then as it was), or an empty string.
std::string WriteFileAtomically(const std::string& path, std::string_view text);

}  // namespace exporter
