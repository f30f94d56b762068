#!/usr/bin/env bash
# Makes Tests/Fixtures/ntfs_compressed: a small NTFS volume whose files ntfs-3g
# compressed with LZNT1, with every kind of compression unit: compressed
# (some clusters allocated), stored raw (incompressible, all 16 allocated) and
# sparse (all zeros, none allocated). Needs root (loop device, FUSE mount).
# Writes the image (zstd), a manifest (path, size, sha256) and The Sleuth
# Kit's fsstat and istat of each file, whose cluster lists give the run lists.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/Tests/Fixtures/ntfs_compressed"
work=$(mktemp -d)
mnt="$work/mnt"
trap 'mountpoint -q "$mnt" && umount "$mnt"; rm -rf "$work"' EXIT
mkdir -p "$out" "$mnt"

img="$work/ntfs_compressed.img"
truncate -s 8M "$img"
mkntfs -F -Q -q -c 4096 -L KOMPRIMERET "$img"
ntfs-3g -o compression "$img" "$mnt"
mkdir "$mnt/Komprimeret"
# New files inherit the folder's compressed attribute.
setfattr -n system.ntfs_attrib_be -v 0x00000810 "$mnt/Komprimeret"

# Deterministic content: text compresses; pseudo-random bytes do not.
# (Their writers end by SIGPIPE, which pipefail must not see.)
text() ( set +o pipefail; yes "Linje $1: Sovanta gendanner data fra beskadigede diske; æøå ÆØÅ." | head -c "$2" )
noise() ( set +o pipefail; openssl enc -aes-128-ctr -K 00112233445566778899aabbccddeeff -iv 0 -nosalt </dev/zero 2>/dev/null | head -c "$1" )
{
    text a 65536       # unit 0: compressed
    noise 65536        # unit 1: stored raw
    head -c 131072 /dev/zero  # units 2 and 3: sparse
    text b 40000       # unit 4, cut short: compressed last unit
} >"$mnt/Komprimeret/blandet.bin"
noise 70000 >"$mnt/Komprimeret/stoej.bin"  # raw unit, then a short raw tail
text c 300 >"$mnt/Komprimeret/lille.txt"   # small: may stay resident
sync
# The writers of the pipes above may take a moment to let go of the mount.
for _ in $(seq 20); do umount "$mnt" 2>/dev/null && break; sleep 0.5; done
mountpoint -q "$mnt" && { echo "could not unmount $mnt" >&2; exit 1; }

{
    printf 'path\tsize\tsha256\tmft\n'
    for f in blandet.bin stoej.bin lille.txt; do
        inode=$(ifind -n "Komprimeret/$f" "$img")
        size=$(istat "$img" "$inode" | sed -n 's/.*\$DATA.*size: \([0-9]*\).*/\1/p' | head -1)
        sum=$(icat "$img" "$inode" | sha256sum | cut -d' ' -f1)
        printf 'Komprimeret/%s\t%s\t%s\t%s\n' "$f" "$size" "$sum" "$inode"
    done
} >"$out/ntfs_compressed.manifest.tsv"
{
    echo "## fsstat ntfs_compressed.img"
    fsstat "$img"
    tail -n +2 "$out/ntfs_compressed.manifest.tsv" | while IFS=$'\t' read -r path _ _ inode; do
        echo
        echo "## istat ntfs_compressed.img $inode   ($path)"
        istat "$img" "$inode"
    done
} >"$out/ntfs_compressed.tsk.txt"
zstd -q -19 -f "$img" -o "$out/ntfs_compressed.img.zst"
echo "$out"
