// Waits for a freshly started device to idle for the first time.
//
// The device's first start starts no acquisition: only a return from low power does. So a client
// that connects before the device first idled would keep it in D0 with no readings. driver-host
// therefore serves clients only after the first idle (when the user idle setting is on), and does
// the same after add-device. The wait is short: the driver idles the device after 100 ms.
//
// Thread safety: any thread; it only reads the host's state.
#pragma once

#include "common/signal_watch.h"
#include "driver-host/host_log.h"
#include "host/driver_host.h"

namespace driver_host {

// True once the device idled (the host's state observer logs the idle); false (logged) when it did
// not within a few seconds, or the user idle setting is off; false at once when `signals` (may be
// null) has received a signal.
bool WaitForFirstIdle(const platform::host::DriverHost& host, HostLog& log, const apps::SignalWatch* signals = nullptr);

}  // namespace driver_host
