#!/usr/bin/env bash
# A test image for the command-line tool's interrupts:
# bigfile_fat16, a 2 GiB FAT16 volume (64 KiB clusters) holding one file of
#   zeros, stor.bin, 2,000 MiB, written with mtools. Its data are holes in the
#   image, so it packs and unpacks small; copying it out takes long enough to
#   interrupt a recovery in the middle of a file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$root/Tests/Fixtures/bigfile_fat16"

img="$work/bigfile_fat16.img"
truncate -s 2G "$img"
mkfs.fat -F 16 -s 128 -n STORFIL "$img" >/dev/null
truncate -s 2000M "$work/stor.bin"
MTOOLS_SKIP_CHECK=1 mcopy -i "$img" "$work/stor.bin" ::stor.bin
fallocate --dig-holes "$img"
zstd -q -19 -f "$img" -o "$root/Tests/Fixtures/bigfile_fat16/bigfile_fat16.img.zst"
