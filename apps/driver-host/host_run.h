// The driver-host program's life: prepare the simulated machine, load the driver and start its
// device, serve clients until SIGINT or SIGTERM, then release everything in order.
//
//   1. machine (file or embedded default); the state directory, taken for this host alone, and its
//      files (one that cannot be read stops the host; a damaged one gives way to its previous
//      generation); the socket's path checked; trace session. What cannot be used is found here,
//      before the load.
//   2. load the module (about 5 s: the thermal map settles), add the device, start it (D0)
//   3. serve clients on the socket; run simulation commands; log each client's connect and
//      disconnect, each idle and wake, power-source switch and radio change
//   4. on a signal: close the socket (every client's file is cleaned up), remove the device (the
//      sensor becomes not available, acquisition stops and its threads end, the hardware is
//      released), unload the module. A signal before the module is loaded ends the host at once.
//
// Returns the exit code (exit_codes.h). Thread safety: called once, by main.
#pragma once

#include "common/signal_watch.h"
#include "driver-host/host_options.h"

namespace driver_host {

int RunHost(const HostOptions& options, apps::SignalWatch& signals);

}  // namespace driver_host
