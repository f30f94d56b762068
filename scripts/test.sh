#!/usr/bin/env bash
# Builds and runs every test: a normal build (strict warnings as errors), then one under AddressSanitizer
# and UndefinedBehaviorSanitizer; then the tests that use threads (label
# "threads") under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
# Under CI (CI=true, from a clean checkout) the builds carry line tables only,
# all that the sanitizers' and the tests' reports use, instead of full debug
# information, which costs a third of the compile time; a developer's folders
# keep full debug information.
normal=() debug=()
if [ "${CI:-}" = true ]; then
  normal=("-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
  debug=("-DCMAKE_C_FLAGS_DEBUG=-g1" "-DCMAKE_CXX_FLAGS_DEBUG=-g1")
fi
# The normal build is held to the strict warnings, as errors.
"$root/scripts/build.sh" build -DSOVANTA_STRICT_WARNINGS=ON -DSOVANTA_WERROR=ON "${normal[@]}"
(cd "$root/build" && ctest --output-on-failure -j "$jobs")
"$root/scripts/build.sh" build-asan -DSOVANTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DSOVANTA_BUILD_BENCHMARKS=OFF \
  "${debug[@]}"
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")
# Only the programs whose tests carry the label, and what they need.
SOVANTA_BUILD_TARGETS=sovanta-thread-tests "$root/scripts/build.sh" build-tsan -DSOVANTA_SANITIZE=thread \
  -DCMAKE_BUILD_TYPE=Debug -DSOVANTA_BUILD_BENCHMARKS=OFF "${debug[@]}"
# Without address randomization: this ThreadSanitizer cannot map its shadow
# memory on kernels that randomize more address bits than it expects.
(cd "$root/build-tsan" && TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R \
  ctest --output-on-failure -j "$jobs" -L threads)

# SOVANTA_FUZZ_SECONDS=N (1 to 30) also builds the libFuzzer programs (clang)
# and runs each for N seconds from its corpus, at most as many at once as
# there are cores. Inputs that fail are kept in build-fuzz/findings.
if [ -n "${SOVANTA_FUZZ_SECONDS:-}" ]; then
  seconds=$(( SOVANTA_FUZZ_SECONDS < 1 ? 1 : (SOVANTA_FUZZ_SECONDS > 30 ? 30 : SOVANTA_FUZZ_SECONDS) ))
  "$root/scripts/build.sh" build-fuzz -DSOVANTA_BUILD_FUZZERS=ON -DSOVANTA_SANITIZE=ON -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DSOVANTA_BUILD_TESTS=OFF -DSOVANTA_BUILD_BENCHMARKS=OFF
  findings="$root/build-fuzz/findings"
  rm -rf "$findings" && mkdir -p "$findings"
  fuzz_one() {
    local program=$1 target=${1##*/fuzz-}
    local work="$findings/$target.corpus"
    local folders=("$work")
    mkdir -p "$work"
    # New inputs go to the first folder only; the committed corpus is only read.
    [ -d "$root/Fuzz/corpus/$target" ] && folders+=("$root/Fuzz/corpus/$target")
    # 512 MB, so that a forged size that makes a reader allocate what the
    # source never held is a finding. The sanitizer's quarantine of freed
    # memory is kept at 64 MB so that it does not fill that room by itself.
    if ASAN_OPTIONS=quarantine_size_mb=64 "$program" "${folders[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=512 \
        -artifact_prefix="$findings/$target-" >"$findings/$target.log" 2>&1; then
      rm -rf "$work" "$findings/$target.log"
    else
      echo "fuzz-$target failed: $findings/$target.log"; tail -n 30 "$findings/$target.log"; return 1
    fi
  }
  export -f fuzz_one
  export root seconds findings
  ls "$root"/build-fuzz/Fuzz/fuzz-* | xargs -P "$jobs" -I{} bash -c 'fuzz_one "$@"' _ {}
fi
