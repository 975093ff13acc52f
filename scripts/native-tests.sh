#!/usr/bin/env bash
# Builds the platform-independent code natively with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (tests/native), then runs its unit tests and each libFuzzer target
# for ORVANE_FUZZ_SECONDS (default 60) over the seed corpus. Any sanitizer report, failed test
# or fuzzer finding fails the script. Extra arguments go to ctest (e.g. -L native to skip the
# fuzzers). Build folder: ORVANE_NATIVE_BUILD_DIR (default build-native).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_NATIVE_BUILD_DIR:-$root/build-native}
seconds=${ORVANE_FUZZ_SECONDS:-60}

bash "$root/scripts/setup-deps.sh"
source "$root/scripts/test-hosts.sh"
CC=clang CXX=clang++ cmake -S "$root/tests/native" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug \
  -DORVANE_FUZZ_SECONDS="$seconds" \
  -DORVANE_PRIMARY_HOST="$ORVANE_TEST_PRIMARY_HOST" \
  -DORVANE_FALLBACK_HOST="$ORVANE_TEST_FALLBACK_HOST" \
  -DORVANE_THIRD_HOST="$ORVANE_TEST_THIRD_HOST" >/dev/null
cmake --build "$build"

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure "$@"

# What each fuzzer did, from libFuzzer's final statistics.
awk '/^[0-9]+\/[0-9]+ Test: fuzz_/ { name = $3 }
     /^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE/ { if (name) print name ": " $0 }' \
  "$build/Testing/Temporary/LastTest.log" 2>/dev/null || true
