#!/usr/bin/env bash
# Builds and runs every test: a normal build, then one under AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$root/scripts/build.sh" build
(cd "$root/build" && ctest --output-on-failure -j "$jobs")
"$root/scripts/build.sh" build-asan -DSOVANTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DSOVANTA_BUILD_BENCHMARKS=OFF
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")
