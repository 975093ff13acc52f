#!/usr/bin/env bash
# Benchmark of the update path: sets up everything, then measures the real Updater.exe under
# Wine against the local update hosts and its baselines (curl, unzip, cp -r, a trivial Windows
# program) in the same run, and prints one table (tests/bench/update_bench.py). Not part of
# scripts/test.sh. Extra arguments go to the harness (e.g. --sizes 20 --runs 1).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$root/build}

source "$root/scripts/prepare.sh" "$root" "$build"
cmake --build "$build" --target bench_trivial >/dev/null

/usr/bin/python3 "$root/tests/bench/update_bench.py" --build-dir "$build" "$@" </dev/null
