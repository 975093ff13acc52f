#!/usr/bin/env bash
# Sets up everything and runs every test: the Windows unit tests and the end-to-end
# scenarios, all under Wine through ctest. Extra arguments go to ctest (e.g. -R config).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$root/build}

bash "$root/scripts/setup-deps.sh"
bash "$root/scripts/configure.sh" "$build"

source "$root/scripts/wine-env.sh" "$build"
orvane_wine_prefix_ready
orvane_wineserver_start
trap orvane_wineserver_stop EXIT

ctest --test-dir "$build" --output-on-failure --timeout 900 "$@"
