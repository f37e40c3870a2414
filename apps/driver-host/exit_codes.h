// What driver-host's exit status means (also in its --help and in the README).
#pragma once

namespace driver_host {

enum ExitCode : int {
    kExitOk = 0,             // ran and shut down cleanly after SIGINT or SIGTERM (or --help, --version)
    kExitDriverFailed = 1,   // loading the module, adding or starting the device, or the release failed
    kExitUsage = 2,          // the command line is wrong
    kExitMachine = 3,        // the machine file or the state directory cannot be used (or is another host's)
    kExitSocket = 4,         // the socket cannot be served (another host is live there, no permission)
};

}  // namespace driver_host
