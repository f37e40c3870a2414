// What the exit status of a client program (sensorctl, thermal-exporter) means; sensorctl's --help
// and the README list them.
#pragma once

namespace client {

enum ExitCode : int {
    kExitOk = 0,           // the command did what it was asked
    kExitFailed = 1,       // the request failed; the HRESULT is printed
    kExitUsage = 2,        // the command line is wrong
    kExitUnreachable = 3,  // the host or its device cannot be reached (no socket, nobody listening, no
                           // permission, the connection was lost, or the device is removed)
};

// Not an exit status: a command's wait was cut short by SIGINT or SIGTERM; each command says what
// that means for it.
inline constexpr int kExitInterrupted = -1;

}  // namespace client
