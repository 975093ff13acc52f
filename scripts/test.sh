#!/usr/bin/env bash
# Sets up everything and runs every test: the Windows unit tests and the end-to-end
# scenarios, all under Wine through ctest, then the native sanitizer tests and fuzzers
# (scripts/native-tests.sh). Extra arguments go to the Wine ctest only (e.g. -R config), and
# then the native part is left out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$root/build}

source "$root/scripts/prepare.sh" "$root" "$build"
orvane_wineserver_start
trap orvane_wineserver_stop EXIT

ctest --test-dir "$build" --output-on-failure --timeout 900 "$@"

if [ $# -eq 0 ]; then
  orvane_wineserver_stop
  trap - EXIT
  bash "$root/scripts/native-tests.sh"
fi
