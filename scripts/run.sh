#!/usr/bin/env bash
# Builds the release preset, starts driver-host on the embedded simulated machine and shows live
# readings with "sensorctl watch". Ctrl-C stops the watch, then the host (which releases the driver
# and unloads it).
#
# Usage: scripts/run.sh [driver-host options]     e.g. scripts/run.sh --trace info
# The host's socket is private to this run; its whole log is kept in the run's directory (printed
# at the end). The state directory is the host's default (~/.local/state/thermal-driver), so the
# radio state set in one run is there in the next.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target driver-host sensorctl   # and the driver module

bin=build/release/bin
run_dir=$(mktemp -d "${TMPDIR:-/tmp}/thermal-run.XXXXXX")
socket=$run_dir/host.sock
log=$run_dir/host.log

# The host runs in a session of its own, so that Ctrl-C reaches only the watch; the host is
# stopped afterwards with SIGTERM, once the watch has unsubscribed and disconnected.
setsid "$bin/driver-host" --socket "$socket" "$@" >"$log" 2>&1 &
host=$!
host_status=0

stop_host() {
  trap - EXIT
  if kill -0 "$host" 2>/dev/null; then
    kill -TERM "$host"
  fi
  wait "$host" || host_status=$?
  # The shutdown as the host logged it.
  sed -n '/shutting down/,$p' "$log" | sed 's/^/driver-host: /'
  echo "The host's whole log: $log"
}
trap stop_host EXIT
# Ctrl-C ends the watch (which stops by itself); the script then goes on to stop the host.
trap ':' INT

# The host's log up to its "ready" line (loading takes about 5 s: the thermal map settles).
while IFS= read -r line; do
  printf 'driver-host: %s\n' "$line"
  [[ $line == *"ready;"* ]] && break
done < <(tail -n +1 -f --pid="$host" "$log")
if ! kill -0 "$host" 2>/dev/null; then
  wait "$host" && status=0 || status=$?
  echo "driver-host stopped before it was ready (exit $status)" >&2
  exit "$status"
fi

echo
echo "Live readings (sensorctl --socket $socket watch); Ctrl-C stops."
echo "The first client wakes the idle device: the first reading comes after about 5.3 s."
"$bin/sensorctl" --socket "$socket" watch || true
stop_host
exit "$host_status"
