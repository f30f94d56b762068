#!/usr/bin/env bash
# FAT test images made with mkfs.fat and mtools (no root needed):
# fat16_moved_folder, a 4 MiB FAT16 volume in which the folder test/1/11,
#   holding files and a subfolder, was moved to test/2/11 with mmove. The move
#   leaves a deleted entry in test/1 that still points at the folder's first
#   cluster, now held by the live test/2/11. The manifest lists what mdir and
#   The Sleuth Kit's fls show: everything under test/2/11 is live; the deleted
#   entry is an empty deleted folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
# Every time mkfs.fat and mtools write is 2024-03-14 11:01:08 UTC.
export SOURCE_DATE_EPOCH=1710414068 TZ=UTC

name=fat16_moved_folder
out="$root/Tests/Fixtures/$name"
mkdir -p "$out"
img="$work/$name.img"
truncate -s 4M "$img"
mkfs.fat --invariant -F 16 -s 1 -n FLYTTET -i 5A100017 "$img" >/dev/null

printf 'hej\n' > "$work/1.txt"
printf 'Indholdet af en flyttet mappe bliver liggende.\n' > "$work/noter.txt"
head -c 3000 /dev/zero | tr '\0' 'x' > "$work/stor.txt"
mmd -i "$img" ::test ::test/1 ::test/2 ::test/1/11 ::test/1/11/under
mcopy -i "$img" "$work/1.txt" ::test/1/11/1.txt
mcopy -i "$img" "$work/noter.txt" ::test/1/11/noter.txt
mcopy -i "$img" "$work/stor.txt" ::test/1/11/under/stor.txt
mmove -i "$img" ::test/1/11 ::test/2/11

sha() { sha256sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
t=2024-03-14T11:01:08
{
  printf 'path\tsize\tsha256\tstatus\tmtime\tfragments\tnote\n'
  printf 'test/\t-\t-\texisting\t%s\t-\tdirectory\n' "$t"
  printf 'test/1/\t-\t-\texisting\t%s\t-\tdirectory\n' "$t"
  printf 'test/2/\t-\t-\texisting\t%s\t-\tdirectory\n' "$t"
  printf 'test/1/11/\t-\t-\tdeleted\t%s\t-\tthe entry mmove left behind; its cluster is test/2/11'"'"'s\n' "$t"
  printf 'test/2/11/\t-\t-\texisting\t%s\t-\tmoved folder\n' "$t"
  printf 'test/2/11/under/\t-\t-\texisting\t%s\t-\tdirectory\n' "$t"
  printf 'test/2/11/1.txt\t%s\t%s\texisting\t%s\t1\tmoved with its folder\n' "$(size "$work/1.txt")" "$(sha "$work/1.txt")" "$t"
  printf 'test/2/11/noter.txt\t%s\t%s\texisting\t%s\t1\tmoved with its folder\n' \
    "$(size "$work/noter.txt")" "$(sha "$work/noter.txt")" "$t"
  printf 'test/2/11/under/stor.txt\t%s\t%s\texisting\t%s\t1\tmoved with its folder\n' \
    "$(size "$work/stor.txt")" "$(sha "$work/stor.txt")" "$t"
} > "$out/$name.manifest.tsv"
zstd -q -19 -f "$img" -o "$out/$name.img.zst"
