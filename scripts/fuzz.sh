#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# every fuzzer in turn, starting from its seed corpus in tests/fuzz/corpus/<name>/.
#
# Usage: scripts/fuzz.sh [--short] [SECONDS]
#   --short   each fuzzer runs 60 seconds (what CI runs)
#   SECONDS   each fuzzer runs that long; without it, 600 seconds (10 minutes) each. For a long
#             hunt after changing a parser, give an hour or more (scripts/fuzz.sh 3600).
#
# Inputs that found new coverage are kept in build/fuzz/corpus/<name>/ and used again by the next
# run; the seed corpus is only read. A crash, a sanitizer report or a time-out stops the script
# with a failure and leaves the input in build/fuzz/artifacts/<name>/; reproduce it with
#   build/fuzz/bin/<name>_fuzzer build/fuzz/artifacts/<name>/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
for argument in "$@"; do
  case "$argument" in
    --short) seconds=60 ;;
    ''|*[!0-9]*) echo "usage: $0 [--short] [SECONDS]" >&2; exit 2 ;;
    *) seconds=$argument ;;
  esac
done

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers

shopt -s nullglob
fuzzers=(build/fuzz/bin/*_fuzzer)
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "no fuzzers were built" >&2
  exit 1
fi
for fuzzer in "${fuzzers[@]}"; do
  name=$(basename "$fuzzer" _fuzzer)
  corpus=build/fuzz/corpus/$name
  artifacts=build/fuzz/artifacts/$name
  mkdir -p "$corpus" "$artifacts"
  # A fuzzer's own options, if it has any, are in tests/fuzz/<name>.options (one line).
  options=()
  if [ -f "tests/fuzz/$name.options" ]; then read -r -a options < "tests/fuzz/$name.options"; fi
  echo "== $name: $seconds s"
  "$fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" ${options[@]+"${options[@]}"} "$corpus" "tests/fuzz/corpus/$name"
done
