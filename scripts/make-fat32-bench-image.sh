#!/usr/bin/env bash
# Makes a FAT32 image for the quick-scan benchmark: 100,000 files (default) in
# 200 folders, half of them with long names holding Danish letters, and every
# tenth file deleted again. Usage: make-fat32-bench-image.sh <image> [files]
# Needs mkfs.fat (dosfstools) and mtools; writes only the image and a
# temporary folder.
set -euo pipefail
image=${1:?image path}
files=${2:-100000}
folders=200
per=$(( (files + folders - 1) / folders ))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One cluster of 512 bytes per file keeps the image small.
rm -f "$image"
truncate -s 256M "$image"
mkfs.fat -F 32 -s 1 -n BENCH "$image" >/dev/null

tree="$work/tree"
mkdir -p "$tree"
n=0
for ((d = 0; d < folders; d++)); do
    printf -v dir '%s/mappe_%03d' "$tree" "$d"
    mkdir "$dir"
    for ((f = 0; f < per && n < files; f++, n++)); do
        if ((f % 2)); then
            printf -v name 'Rødgrød med fløde nummer %06d.txt' "$n"
        else
            printf -v name 'F%06d.TXT' "$n"
        fi
        printf 'fil %d\n' "$n" >"$dir/$name"
    done
done

export MTOOLS_SKIP_CHECK=1
mcopy -s -i "$image" "$tree"/* ::/
# Every tenth file of each folder is deleted again (F?????0.TXT).
for ((d = 0; d < folders; d++)); do
    mdel -i "$image" "$(printf '::/mappe_%03d/F?????0.TXT' "$d")" 2>/dev/null || true
done
echo "$image: $n files in $folders folders"
