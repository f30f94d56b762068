#!/usr/bin/env bash
# Makes the exFAT volume for bench-ExFATScan: 100,000 small files in 100
# folders of 1,000, every tenth file deleted again, written by mkfs.exfat and
# exfat-fuse through a loop device. Needs root (losetup, FUSE).
#   scripts/make-exfat-bench.sh [image path]   (default /tmp/sovanta-bench/exfat100k.img)
set -euo pipefail
image=${1:-/tmp/sovanta-bench/exfat100k.img}
folders=100
per_folder=1000
mkdir -p "$(dirname "$image")"
rm -f "$image"
truncate -s 1G "$image"
mkfs.exfat -c 4096 -L BENCH "$image" >/dev/null
loop=$(losetup --find --show "$image")
mnt=$(mktemp -d)
cleanup() {
  umount "$mnt" 2>/dev/null || true
  losetup -d "$loop" 2>/dev/null || true
  rmdir "$mnt" 2>/dev/null || true
}
trap cleanup EXIT
mount.exfat-fuse -o big_writes "$loop" "$mnt" 2>/dev/null || mount.exfat-fuse "$loop" "$mnt"
for ((d = 0; d < folders; d++)); do
  dir="$mnt/mappe $(printf %03d $d)"
  mkdir "$dir"
  (
    cd "$dir"
    for ((f = 0; f < per_folder; f++)); do
      printf 'fil %d i mappe %d\n' "$f" "$d" > "billede_$(printf %04d $f).jpg"
    done
    for ((f = 0; f < per_folder; f += 10)); do
      rm "billede_$(printf %04d $f).jpg"
    done
  )
done
sync
umount "$mnt"
echo "$image: $((folders * per_folder)) files, $((folders * per_folder / 10)) of them deleted"
