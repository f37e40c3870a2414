// The device's property store file in the state directory (sim/state_directory.h), checked by a
// host before it loads its driver: a damaged file is set aside and its previous generation
// restored (or the store starts empty), as a device's first opening of the store would do, so the
// host can tell people before the driver runs; a file that cannot be read is left alone, and the
// host should not go on.
//
//   const platform::host::PropertyFileCheck check = platform::host::CheckDevicePropertyFile();
//   if (check.load.outcome == sim::StateFileOutcome::kUnreadable) { report(check.load.problem); stop; }
//
// Thread safety: any thread; call it before a device opens its store.
#pragma once

#include <map>
#include <string>

#include "platform/types.h"
#include "sim/state_directory.h"

namespace platform::host {

struct PropertyFileCheck {
    sim::StateFileLoad load;                  // kMissing too when no state directory is set
    std::map<std::u16string, ULONG> numbers;  // the 32-bit unsigned values the store holds now, by name
};

PropertyFileCheck CheckDevicePropertyFile();

}  // namespace platform::host
