// What sensorctl's exit status means (also in its --help and in the README): the client programs'
// statuses.
#pragma once

#include "client/exit_codes.h"

namespace sensorctl {

using client::ExitCode;
using client::kExitFailed;
using client::kExitInterrupted;
using client::kExitOk;
using client::kExitUnreachable;
using client::kExitUsage;

}  // namespace sensorctl
