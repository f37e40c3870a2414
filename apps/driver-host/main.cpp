// driver-host: hosts the thermal sensor driver on a simulated machine and serves sensor clients on
// a local socket (see --help and host_run.h).
#include <malloc.h>

#include "common/signal_watch.h"
#include "driver-host/host_options.h"
#include "driver-host/host_run.h"

int main(int argc, char** argv)
{
    // Every host thread that allocates would get a malloc arena of its own, and each keeps what a
    // burst of requests left in it; two arenas keep the host's memory flat.
    mallopt(M_ARENA_MAX, 2);
    apps::SignalWatch signals;  // before any other thread, so that every thread inherits the block
    driver_host::HostOptions options;
    if (const auto exitCode = driver_host::ParseHostOptions(argc, argv, &options)) return *exitCode;
    return driver_host::RunHost(options, signals);
}
