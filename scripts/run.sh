#!/usr/bin/env bash
# Builds the release preset and runs the driver host on the embedded simulated machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/bin/driver-host "$@"
