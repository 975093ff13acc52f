#!/usr/bin/env bash
# Extraction throughput of ExtractZip (under Wine) against Info-ZIP unzip on the same archive
# of about 200 MB in about 2,000 files, measured in the same run. Run by hand, not by ctest.
# Usage: tests/bench/extract_bench.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
runs=${2:-3}

[ -f "$build/build.ninja" ] || bash "$root/scripts/configure.sh" "$build"
cmake --build "$build" --target extract_bench >/dev/null

source "$root/scripts/wine-env.sh" "$build"
orvane_wine_prefix_ready
orvane_wineserver_start || true  # one may already run for this prefix
trap orvane_wineserver_stop EXIT

/usr/bin/python3 "$root/tests/bench/extract_bench.py" \
  --bench-exe "$build/src/package/extract_bench.exe" --work "$build/bench" --runs "$runs"
