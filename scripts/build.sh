#!/usr/bin/env bash
# Configures and builds into the given folder (default: build); extra CMake options follow.
# SOVANTA_BUILD_TARGETS (space-separated) builds only those targets and what they need.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
shift || true
cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >/dev/null
if [ -n "${SOVANTA_BUILD_TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$root/$dir" --target $SOVANTA_BUILD_TARGETS
else
  cmake --build "$root/$dir"
fi
