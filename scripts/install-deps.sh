#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing. The programs
# (apps/) also need CLI11 for their command lines and nlohmann-json for their JSON output;
# driver-host needs libsystemd (found through pkg-config) to talk to the service manager, and the
# tests use systemd's tools (systemd-analyze, systemd-socket-activate) on the installed units.
# thermal-exporter needs cpp-httplib, and its tests a real Prometheus server and promtool.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev libsystemd-dev pkg-config systemd libcpp-httplib-dev prometheus)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
