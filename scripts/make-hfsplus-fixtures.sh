#!/usr/bin/env bash
# Copies the HFS+ and HFSX test images from the shared fixture set into
# Tests/Fixtures. The journaled volume's 14 MiB recording is random data that
# does not compress; its two extents (blocks 375-1282 and 1379-4066, 4096-byte
# blocks) are zeroed in the committed copy, which keeps every structure of the
# volume and every other file byte for byte. The manifest keeps the original
# sha256 of that file; the tests compare only its size and placement.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
shared=${1:-/work/shared/fixtures}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for name in hfsplus_gpt hfsplus_journaled hfsplus_macos_sample hfsx_casesensitive hfsplus_xorriso_iso hfsplus_udif; do
    out="$root/Tests/Fixtures/$name"
    mkdir -p "$out"
    for suffix in manifest.tsv tsk.txt notes.txt; do
        cp "$shared/$name/$name.$suffix" "$out/"
    done
done
cp "$shared/hfsplus_udif/hfsplus_udif.dmg" "$root/Tests/Fixtures/hfsplus_udif/"
for name in hfsplus_gpt hfsplus_macos_sample hfsx_casesensitive hfsplus_xorriso_iso; do
    cp "$shared/$name/$name.img.zst" "$root/Tests/Fixtures/$name/"
done

img="$work/hfsplus_journaled.img"
zstd -q -d -f "$shared/hfsplus_journaled/hfsplus_journaled.img.zst" -o "$img"
dd if=/dev/zero of="$img" bs=4096 seek=375 count=908 conv=notrunc status=none
dd if=/dev/zero of="$img" bs=4096 seek=1379 count=2688 conv=notrunc status=none
zstd -q -19 -f "$img" -o "$root/Tests/Fixtures/hfsplus_journaled/hfsplus_journaled.img.zst"
