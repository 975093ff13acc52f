#!/usr/bin/env bash
# Configures and builds the Windows build in BUILD_DIR (default: build) with the local test
# update hosts compiled in. Usage: scripts/configure.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
source "$root/scripts/test-hosts.sh"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DORVANE_PRIMARY_HOST="$ORVANE_TEST_PRIMARY_HOST" \
  -DORVANE_FALLBACK_HOST="$ORVANE_TEST_FALLBACK_HOST" \
  -DORVANE_THIRD_HOST="$ORVANE_TEST_THIRD_HOST" >/dev/null
cmake --build "$build"
