#!/usr/bin/env bash
# Makes the NTFS image for bench-NTFSScan: mkntfs + ntfs-3g (needs root:
# FUSE), 100 folders of 1,000 files each (one in ten of 8 KiB, the rest small
# enough to stay in their MFT records), plus a few deleted files.
# DELETED_FOLDERS=N then deletes the last N folders with their files, which
# leaves their records behind as deleted ones (the listing's other layout);
# SIZE sets the image's size (default 2G; a million files want 8G).
# Usage: make-ntfs-bench-image.sh [image] (default /tmp/sovanta-bench/ntfs-100k.img)
set -euo pipefail
img=${1:-/tmp/sovanta-bench/ntfs-100k.img}
folders=${FOLDERS:-100}
per=${PER_FOLDER:-1000}
deleted=${DELETED_FOLDERS:-0}
mkdir -p "$(dirname "$img")"
mnt=$(mktemp -d)
cleanup() {
    for _ in $(seq 40); do mountpoint -q "$mnt" || break; umount "$mnt" 2>/dev/null || sleep 0.5; done
    rmdir "$mnt"
}
trap cleanup EXIT
rm -f "$img"
truncate -s "${SIZE:-2G}" "$img"
mkntfs -F -Q -q -c 4096 -L BENCH "$img"
ntfs-3g "$img" "$mnt"
big=$(printf 'Sovanta benchmark data %08d\n' $(seq 1 256))  # 8 KiB of text (32 × 256 bytes)
for d in $(seq -w 1 "$folders"); do
    mkdir "$mnt/mappe $d"
    for i in $(seq -w 1 "$per"); do
        # printf is a shell builtin: no process per file.
        if [ $((10#$i % 10)) -eq 0 ]; then
            printf '%s' "$big" >"$mnt/mappe $d/fil $i.txt"
        else
            printf 'fil %s i mappe %s\n' "$i" "$d" >"$mnt/mappe $d/fil $i.txt"
        fi
    done
done
for i in $(seq 1 100); do printf '%s' "$big" >"$mnt/slettet $i.txt"; done
rm "$mnt"/slettet*.txt
for d in $(seq $((folders - deleted + 1)) "$folders"); do
    rm -r "$mnt/mappe $(printf "%0${#folders}d" "$d")"
done
sync
echo "$img"
