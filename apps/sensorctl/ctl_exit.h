// What sensorctl's exit status means (also in its --help and in the README).
#pragma once

namespace sensorctl {

enum ExitCode : int {
    kExitOk = 0,           // the command did what it was asked
    kExitFailed = 1,       // the request failed; the HRESULT is printed
    kExitUsage = 2,        // the command line is wrong
    kExitUnreachable = 3,  // the host cannot be reached (no socket, nobody listening, no permission,
                           // or the connection was lost)
};

}  // namespace sensorctl
