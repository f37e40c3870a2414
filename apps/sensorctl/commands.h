// sensorctl's commands. Each connects to the host, does its work, leaves the host as it found it
// (withdraws its report interval wish, unsubscribes and disconnects on every way out after it
// connected), and returns the exit code (ctl_exit.h). Failures are printed on standard error.
//
// Thread safety: run by main's thread; the signal watch may interrupt a command's wait.
#pragma once

#include "common/signal_watch.h"
#include "sensorctl/ctl_options.h"
#include "sensorctl/printer.h"

namespace sensorctl {

int RunCommand(const CtlOptions& options, Printer& printer, apps::SignalWatch& signals);

}  // namespace sensorctl
