// sensorctl: a client of driver-host (see --help and commands.h).
#include "common/signal_watch.h"
#include "sensorctl/commands.h"
#include "sensorctl/ctl_options.h"
#include "sensorctl/printer.h"

int main(int argc, char** argv)
{
    apps::SignalWatch signals;  // before any other thread, so that every thread inherits the block
    sensorctl::CtlOptions options;
    if (const auto exitCode = sensorctl::ParseCtlOptions(argc, argv, &options)) return *exitCode;
    sensorctl::Printer printer(options.json);
    return sensorctl::RunCommand(options, printer, signals);
}
