#!/usr/bin/env python3
"""Write fuzz seeds from unpacked fixture images.

usage: make-seeds.py IMAGE_DIR OUT_DIR [DISKUTIL]

File-system and partition targets read the sparse encoding of FuzzTargets.cpp:
u64 image size, then pieces of u64 offset, u32 length and the bytes. Only the
non-zero 4 KiB blocks go in, the structures first, and each seed stays below
about 1 MiB so the fuzzer keeps its speed; minimise the result with -merge=1.

ntfsrecord gets the FILE records of the NTFS images (a mode byte, an offset
byte, the record); mapfile gets GNU ddrescue's mapfiles of a small copy and
ddrescuelog's of block lists (when installed) behind a u64 map size; disklist gets the recorded disk
tool answers of Tests/Fixtures/disklist and, given the path of the disk tool
stand-in (Platform/diskutil), its own answers, parted by "%%" lines.
"""
import os
import struct
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

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


def ntfs_records(image, per_image=40):
    """Distinct FILE records of an image, in-use and deleted ones alike."""
    seen, out = set(), []
    for off in range(0, len(image) - 1024, 512):
        if image[off:off + 4] != b'FILE':
            continue
        size = struct.unpack_from('<I', image, off + 28)[0]
        if size not in (1024, 4096):
            continue
        rec = image[off:off + size]
        if rec in seen:
            continue
        seen.add(rec)
        out.append((off, rec))
        if len(out) >= per_image:
            break
    return out


def ddrescue_mapfiles():
    """Mapfiles of GNU ddrescue: a whole copy, a cut one, a part, and made from block lists."""
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, 'in')
        with open(source, 'wb') as f:
            f.write(os.urandom(300 * 1024))
        runs = [('whole', []), ('cut', ['-s', '100KiB']), ('inner', ['-i', '64KiB', '-s', '37KiB']),
                ('reverse', ['-R', '-s', '20000'])]
        for name, extra in runs:
            mapfile = os.path.join(tmp, name + '.map')
            try:
                subprocess.run(['ddrescue', '-q', '-f'] + extra + [source, os.path.join(tmp, name), mapfile],
                               check=True, capture_output=True)
            except (OSError, subprocess.CalledProcessError):
                continue
            out.append((name, open(mapfile, 'rb').read()))
        # Bad, non-trimmed and non-scraped areas, as ddrescuelog makes them from block lists.
        for name, extra, blocks in [('bad', ['-b', '512', '-c-+', '-s', '256KiB'], b'3\n4\n5\n17\n200\n'),
                                    ('trim', ['-b', '4096', '-c*/'], b'3\n4\n9\n'),
                                    ('scrape', ['-b', '512', '-c/?', '-s', '300KiB'], b'0\n1\n99\n')]:
            mapfile = os.path.join(tmp, name + '.map')
            try:
                subprocess.run(['ddrescuelog'] + extra + [mapfile], input=blocks, check=True,
                               capture_output=True, timeout=10)
            except (OSError, subprocess.CalledProcessError, subprocess.TimeoutExpired):
                continue
            out.append((name, open(mapfile, 'rb').read()))
    return out


def disklist_answers(diskutil):
    """Seeds of the disk-list target: the recorded answers, and the stand-in's."""
    recorded = os.path.join(REPO, 'Tests', 'Fixtures', 'disklist')
    out = []

    def read(name):
        path = os.path.join(recorded, name)
        return open(path, 'rb').read() if os.path.exists(path) else None

    listed = read('list.plist')
    if listed is not None:
        infos = [read('info-%s.plist' % d) for d in ('disk0', 'disk4', 'disk5')]
        out.append(('recorded', b'\n%%\n'.join([listed] + [i for i in infos if i is not None])))
        out.append(('recorded-container', b'\n%%\n'.join([listed, read('info-disk3s1s1.plist') or b''])))
    if diskutil:
        def run(*args):
            r = subprocess.run([diskutil] + list(args), capture_output=True)
            return r.stdout if r.returncode == 0 else None
        listed = run('list', '-plist')
        if listed:
            import plistlib
            disks = [d.get('DeviceIdentifier') for d in plistlib.loads(listed).get('AllDisksAndPartitions', [])
                     if 'APFSPhysicalStores' not in d]
            infos = [run('info', '-plist', d) for d in disks if d]
            out.append(('standin', b'\n%%\n'.join([listed] + [i for i in infos if i])))
    return out


def main_more():
    src, out = sys.argv[1], sys.argv[2]

    def put(target, name, data):
        d = os.path.join(out, target)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, name), 'wb') as f:
            f.write(data)

    for name in ['ntfs', 'ntfs_compressed', 'ntfs_attrlist', 'ntfs_bigcluster']:
        path = os.path.join(src, name + '.img')
        if not os.path.exists(path):
            continue
        image = open(path, 'rb').read()
        for i, (off, rec) in enumerate(ntfs_records(image)):
            size_mode = 0 if len(rec) == 1024 else 1
            number = (off // len(rec)) & 31
            mode = size_mode | (4 | number << 3 if i % 2 else 0)
            put('ntfsrecord', '%s-%d' % (name, i), bytes([mode, 0]) + rec)
    for name, text in ddrescue_mapfiles():
        put('mapfile', 'ddrescue-' + name, struct.pack('<Q', 300 * 1024) + text)
    for name, data in disklist_answers(sys.argv[3] if len(sys.argv) > 3 else None):
        put('disklist', name, data)


main()
main_more()
