#!/usr/bin/env bash
# The main job on a sample disk image: scan it, then recover its files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
"$root/scripts/build.sh" build
work=$(mktemp -d)
zstd -q -d -f "$root/Tests/Fixtures/fat16/fat16.img.zst" -o "$work/sample.img"
"$root/build/sovanta-cli" scan "$work/sample.img"
"$root/build/sovanta-cli" recover "$work/sample.img" "$work/recovered" --deleted || true
"$root/build/sovanta-cli" recover "$work/sample.img" "$work/recovered"
echo "Gendannede filer: $work/recovered"
