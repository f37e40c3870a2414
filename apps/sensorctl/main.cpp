// sensorctl: a client of driver-host (see --help and commands.h).
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/signal_watch.h"
#include "sensorctl/commands.h"
#include "sensorctl/ctl_exit.h"
#include "sensorctl/ctl_options.h"
#include "sensorctl/printer.h"

namespace {

// Ends the program as a filter whose reader went away: by SIGPIPE, quietly (the shell sees
// 128 + 13), after the command left the host as it found it.
[[noreturn]] void EndByBrokenPipe()
{
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    std::raise(SIGPIPE);
    std::_Exit(128 + SIGPIPE);  // not reached
}

}  // namespace

int main(int argc, char** argv)
{
    apps::SignalWatch signals;  // before any other thread, so that every thread inherits the block
    sensorctl::CtlOptions options;
    if (const auto exitCode = sensorctl::ParseCtlOptions(argc, argv, &options)) return *exitCode;
    sensorctl::Printer printer(options.json        ? sensorctl::Printer::Output::kJson
                               : options.valueOnly ? sensorctl::Printer::Output::kValue
                                                   : sensorctl::Printer::Output::kText);
    const int exitCode = sensorctl::RunCommand(options, printer, signals);
    if (const int error = printer.OutputError(); error != 0) {
        if (error == EPIPE) EndByBrokenPipe();
        std::fprintf(stderr, "sensorctl: standard output cannot be written: %s\n", std::strerror(error));
        return sensorctl::kExitFailed;
    }
    return exitCode;
}
