#!/usr/bin/env python3
"""Write fuzz seeds from unpacked fixture images.

usage: make-seeds.py IMAGE_DIR OUT_DIR

File-system and partition targets read the sparse encoding of FuzzTargets.cpp:
u64 image size, then pieces of u64 offset, u32 length and the bytes. Only the
non-zero 4 KiB blocks go in, the structures first, and each seed stays below
about 1 MiB so the fuzzer keeps its speed; minimise the result with -merge=1.
"""
import os
import struct
import sys

BLOCK = 4096
CAP = 1 << 20


def blocks(image, limit=None):
    end = len(image) if limit is None else min(limit, len(image))
    for off in range(0, end, BLOCK):
        b = image[off:off + BLOCK]
        if b.count(0) != len(b):
            yield off, b


def sparse(image, size=None, cap=CAP, first=()):
    """Encode: the blocks named in `first`, then blocks in order, up to cap."""
    out = bytearray(struct.pack('<Q', len(image) if size is None else size))
    seen = set()
    order = [o for o in first if 0 <= o < len(image)] + [o for o, _ in blocks(image)]
    for off in order:
        if off in seen:
            continue
        b = image[off:off + BLOCK]
        if b.count(0) == len(b):
            continue
        if len(out) + 12 + len(b) > cap:
            break
        seen.add(off)
        out += struct.pack('<QI', off, len(b)) + b
    return bytes(out)


def structure_blocks(image):
    """Blocks holding NTFS records, index buffers, HFS+/APFS nodes: wanted first."""
    picks = []
    for off, b in blocks(image):
        if b[:4] in (b'FILE', b'INDX', b'RCRD', b'RSTR'):
            picks.append(off)
        elif b[32:36] in (b'NXSB', b'APSB'):
            picks.append(off)
    return picks


def main():
    src, out = sys.argv[1], sys.argv[2]

    def img(name):
        path = os.path.join(src, name + '.img')
        return open(path, 'rb').read() if os.path.exists(path) else None

    def put(target, name, data):
        d = os.path.join(out, target)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, name), 'wb') as f:
            f.write(data)

    volumes = {
        'fat': ['fat12', 'fat16', 'fat32', 'superfloppy_fat32', 'damage_fat32_root_destroyed'],
        'exfat': ['exfat'],
        'ntfs': ['ntfs', 'ntfs_compressed'],
        'hfsplus': ['hfsplus_macos_sample', 'hfsx_casesensitive'],
    }
    for target, names in volumes.items():
        for name in names:
            image = img(name)
            if image is None:
                continue
            put(target, name, sparse(image, first=[0] + structure_blocks(image)))
            put('bootsector', name, image[:BLOCK])
            put('partitions', name, sparse(image, cap=64 << 10))
    for name in ['apfs_macos_sample', 'apfs_single', 'apfs_gpt']:
        image = img(name)
        if image is None:
            continue
        if name == 'apfs_gpt':
            put('partitions', name, sparse(image, cap=64 << 10, first=[len(image) - BLOCK]))
            continue
        head = image[:2 << 20]   # the APFS target lays out at most 2 MiB
        put('apfs', name, sparse(head))
        put('bootsector', name, image[:BLOCK])
    for name in ['gpt_4k_sectors', 'gpt_empty', 'gpt_fat32_ntfs_exfat', 'gpt_primary_header_zeroed',
                 'mbr_extended', 'hfsplus_gpt']:
        image = img(name)
        if image is None:
            continue
        tail = [len(image) - BLOCK * i for i in range(1, 9)]
        put('partitions', name, sparse(image, cap=96 << 10, first=tail))
    image = img('carver')
    if image is not None:
        manifest = os.path.join(src, 'carver.manifest.tsv')
        offsets = []
        if os.path.exists(manifest):
            for line in open(manifest):
                if line[:1].isdigit():
                    offsets.append(int(line.split('\t')[0]))
        for i, off in enumerate(offsets[:40]):
            start = off - off % 512
            put('carver', 'carver-%d' % i, image[start:start + (32 << 10)])


main()
