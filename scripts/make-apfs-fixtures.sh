#!/usr/bin/env bash
# Copies the APFS test images into Tests/Fixtures from the shared fixture set
# (argument: its folder). The images were made by mkapfs and the Linux APFS
# driver, or by macOS itself; see each NAME.notes.txt.
#
# apfs_single is committed smaller than the original: the data blocks of
# "Video/film i ét stykke.mp4" (one extent, blocks 283 to 2587, 9 MiB of
# incompressible bytes) are zero-filled. Nothing else lives in those blocks;
# the tests check that file's place, not its hash.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
shared=${1:?usage: make-apfs-fixtures.sh <shared fixtures folder>}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for name in apfs_single apfs_gpt apfs_macos_sample; do
  out="$root/Tests/Fixtures/$name"
  mkdir -p "$out"
  for f in manifest.tsv tsk.txt libyal.txt notes.txt; do
    [ -f "$shared/$name/$name.$f" ] && cp "$shared/$name/$name.$f" "$out/"
  done
  if [ "$name" = apfs_single ]; then
    zstd -q -d -f "$shared/$name/$name.img.zst" -o "$tmp/$name.img"
    dd if=/dev/zero of="$tmp/$name.img" bs=4096 seek=283 count=2305 conv=notrunc status=none
    zstd -q -19 -f "$tmp/$name.img" -o "$out/$name.img.zst"
  else
    cp "$shared/$name/$name.img.zst" "$out/"
  fi
  chmod 0644 "$out"/*
done
