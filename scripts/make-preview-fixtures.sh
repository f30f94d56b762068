#!/usr/bin/env bash
# Makes the small pictures the thumbnail tests decode (Tests/Fixtures/preview):
# a JPEG whose EXIF orientation turns it upright, a PNG, a HEIC, a TIFF and a
# WebP (whose decoders are Qt's image-format plug-ins), and a JPEG that breaks
# off after its header. Needs ImageMagick and libheif's heif-enc
# (Debian: imagemagick, libheif-examples).
set -euo pipefail
out=$(cd "$(dirname "$0")/.." && pwd)/Tests/Fixtures/preview
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Stored 120x60, left half red and right half blue; orientation 6 (turn 90°
# clockwise) shows it 60x120 with red on top.
convert -size 60x60 xc:red -size 60x60 xc:blue +append -strip -quality 90 "$work/wide.jpg"
# An EXIF segment holding only the orientation, put right after the start marker.
python3 - "$work/wide.jpg" "$out/turned.jpg" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:2] == b"\xff\xd8"
tiff = b"MM\x00\x2a" + struct.pack(">I", 8) + struct.pack(">H", 1) + struct.pack(">HHIHH", 0x0112, 3, 1, 6, 0) + struct.pack(">I", 0)
payload = b"Exif\x00\x00" + tiff
segment = b"\xff\xe1" + struct.pack(">H", len(payload) + 2) + payload
open(sys.argv[2], "wb").write(data[:2] + segment + data[2:])
PY

# 200x100, green with a white square: a thumbnail of 50 is 50x25.
convert -size 200x100 xc:green -fill white -draw "rectangle 20,20 60,60" "$out/plain.png"

# 128x64 HEIC (from true-colour input: heif-enc misreads palette PNGs), left half yellow, right half black, with 8 and 10 bits a channel.
convert -size 64x64 xc:yellow -size 64x64 xc:black +append -depth 8 "PNG24:$work/heif8.png"
convert -size 64x64 xc:yellow -size 64x64 xc:black +append -depth 16 "PNG48:$work/heif16.png"
heif-enc -q 90 -o "$out/photo.heic" "$work/heif8.png"
heif-enc -q 90 -b 10 -o "$out/photo-10bit.heic" "$work/heif16.png"

# 90x45, left half red and right half blue: an 8-bit LZW-compressed TIFF as
# scanners write them, and a lossless WebP.
convert -size 45x45 xc:red -size 45x45 xc:blue +append -depth 8 -type TrueColor -compress lzw "$out/scan.tif"
convert -size 45x45 xc:red -size 45x45 xc:blue +append -define webp:lossless=true "$out/image.webp"

# A JPEG cut off after its first 200 bytes, then noise.
head -c 200 "$out/turned.jpg" > "$out/broken.jpg"
head -c 800 /dev/urandom >> "$out/broken.jpg"

ls -l "$out"
