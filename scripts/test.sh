#!/usr/bin/env bash
# Builds everything and runs every test. Usage: scripts/test.sh [preset]   (default: debug)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
