#!/usr/bin/env python3
"""Lays the made files into one raw image between fillers and writes the
manifest: offset, size, extension, exact, date, state, name.

state: "whole" (the file is there in full), "broken" (its tail was overwritten
by filler inside the image), "cut" (cut off by the end of the image) or
"other" (a type the carver does not know; ext is "-").
date: the capture date as EXIF stores it (local time, "yyyy:MM:dd HH:mm:ss"),
or a creation date in UTC ("...Z"), as exiftool reads it; "-" for none."""
import os
import random
import subprocess
import sys

files_dir, image_path, manifest_path = sys.argv[1:4]
rng = random.Random(20240611)

EXT = {"aiff": "aif", "aifc": "aif"}
OTHER = {"flac", "ico", "gz"}
NOT_EXACT = {"letter.pdf", "updated.pdf"}
BROKEN = ["photo.png", "anim.gif", "progressive.jpg", "letter.docx", "song.ogg", "song.mp3",
          "letter.rtf", "bundle4.rar", "clip.mp4", "scan.tif", "bundle5.rar"]
CUT = "fast.mp4"
TEXT = ("der var engang en lille harddisk, som ingen havde taget en kopi af. "
        "en dag forsvandt mappen med billederne fra sommerhuset, og alle blev kede af det. "
        "men filerne stod der endnu, sektor for sektor, og ventede paa at blive fundet. ").encode()


def exif_date(path):
    out = subprocess.run(["exiftool", "-s3", "-DateTimeOriginal", "-ModifyDate", path],
                         capture_output=True, text=True).stdout.split("\n")
    dates = [line.strip() for line in out if line.strip()]
    return dates[0] if dates else "-"


def movie_date(path):
    out = subprocess.run(["exiftool", "-s3", "-api", "QuickTimeUTC", "-d", "%Y-%m-%dT%H:%M:%SZ",
                          "-QuickTime:CreateDate", path],
                         capture_output=True, text=True, env=dict(os.environ, TZ="UTC")).stdout.strip()
    # A creation time of 0 (1 January 1904) means none.
    return out if out and not out.startswith(("0000", "1904-01-01T00:00:00")) else "-"


def scrubbed_random(n):
    # No ASCII (so no textual magic) and no 0xFF (so no JPEG or MPEG sync).
    data = bytearray(rng.randbytes(n))
    for i, b in enumerate(data):
        if 0x20 <= b <= 0x7E or b < 0x20 and b in (0x0A, 0x0D):
            b |= 0x80
        if b == 0xFF:
            b = 0xFE
        data[i] = b
    return bytes(data)


def filler(kind, n):
    if kind == 0:
        return bytes(n)
    if kind == 1:
        return (TEXT * (n // len(TEXT) + 1))[:n]
    return scrubbed_random(n)


names = sorted(os.listdir(files_dir))
rng.shuffle(names)
names.remove(CUT)
image = bytearray()
rows = []
for i, name in enumerate(names + [CUT]):
    image += filler(i % 3, rng.randint(700, 2600))
    if i % 2 == 0:
        image += bytes(-len(image) % 512)
    elif len(image) % 512 == 0:
        image += filler(1, rng.randint(1, 511))
    offset = len(image)
    path = os.path.join(files_dir, name)
    data = open(path, "rb").read()
    ext = name.rsplit(".", 1)[1]
    ext = EXT.get(ext, ext)
    date = "-"
    if ext in ("jpg",):
        date = exif_date(path)
    elif ext in ("mp4", "mov", "m4a", "m4v", "3gp", "cr3", "heic", "avif"):
        date = movie_date(path)
    state = "whole"
    if ext in OTHER:
        state, ext, date = "other", "-", "-"
    if name in BROKEN:
        state = "broken"
        keep = len(data) * 2 // 3
        data = data[:keep] + scrubbed_random(len(data) - keep)
    if name == CUT:
        state = "cut"
        data = data[:len(data) - len(data) // 4]
    image += data
    exact = "0" if name in NOT_EXACT else "1"
    size = os.path.getsize(path)
    rows.append(f"{offset}\t{size}\t{ext}\t{exact}\t{date}\t{state}\t{name}")

open(image_path, "wb").write(image)
with open(manifest_path, "w") as m:
    m.write("# Carving fixture carver.img (made by make.sh). size is the whole file's size, also for\n")
    m.write("# broken and cut rows; date is EXIF local time or UTC with Z, as exiftool reads it.\n")
    m.write("offset\tsize\text\texact\tdate\tstate\tname\n")
    m.write("\n".join(rows) + "\n")
print(f"{len(rows)} files, image {len(image)} bytes")
